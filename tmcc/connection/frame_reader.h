// The receive side of a framed connection, without any networking: a
// reusable buffer that socket reads fill and that frames are decoded from in
// place. Pure, so the fuzz target drives exactly the code the connections run.
//
// A receiver may keep frames after Next() returned them (a stream hands its
// packets to a delivery thread of its own): Hold() marks the frame just
// returned as kept, and the bytes of kept frames are not reused until the
// consumer releases them, in order, with Release(). The buffer then works as
// a ring: reads continue behind the kept frames and wrap to the start when
// the consumer has freed it; while too little is free, Space() is empty and
// the owner stops reading (the sender is held back by TCP).
//
//   offset 0                                                  Capacity()
//   | free or kept (wrapped) | kept frames | decoded, not kept | partial | free |
//                            ^released     ^held                ^begin    ^end
//
// Positions handed to Release() count every byte ever read (plus the
// unused tail skipped by a wrap), so they only grow.
//
// Threading: everything but Release() runs on the reader's thread (the
// connection's strand); Release() may run on any one consumer thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "tmcc/protocol/frame.h"

namespace qrv::tmcc::connection {

class FrameReader {
 public:
  // initial: the buffer's size to start with (reads are at most this large
  // while frames are smaller). maxPayload: the receiver's own bound on a
  // frame's payload, on top of the per-type bounds.
  FrameReader(size_t initial, uint32_t maxPayload);

  // Where the next read may write. Never empty while no frame is kept. Grows
  // the buffer only to hold one whole frame whose header has arrived (and
  // only while nothing is kept), so memory stays within the initial size or
  // one largest frame plus a minimum read.
  std::span<uint8_t> Space();
  // n bytes were written into the span Space() returned.
  void Commit(size_t n) { end_ += n; }

  // The next whole frame; its payload points into the buffer and stays valid
  // until the next call of Space() (or, when held, until released). kNeedMore
  // when no whole frame is held, kError when the held bytes are not a valid
  // frame (then keep returning it).
  protocol::DecodeResult Next();

  // Keeps the frame Next() just returned; its end position is Decoded().
  void Hold() { held_ = Decoded(); }
  // The consumer is done with every kept frame ending at or before end.
  // Threading: one consumer thread.
  void Release(uint64_t end) { released_.store(end, std::memory_order_release); }
  // Everything before this position is released.
  uint64_t Released() const { return released_.load(std::memory_order_acquire); }
  // Position just past the last frame Next() returned.
  uint64_t Decoded() const { return base_ + begin_; }
  // Kept frames not yet released.
  bool Holding() const { return released_.load(std::memory_order_acquire) != held_; }

  // Marks that Space() came back empty, so the consumer knows a release must
  // wake the reader: not at every frame, but once a good part of the buffer
  // is free again or the consumer has nothing left.
  void SetStarved();
  // The consumer released up to `released` (drained: it holds nothing more);
  // true, once, when the reader should be woken. Threading: the consumer.
  bool TakeStarved(uint64_t released, bool drained);

  // A new connection begins: the partial frame of the lost one is dropped,
  // kept frames stay.
  void Restart();

  // Bytes of a frame begun but not complete.
  size_t Pending() const { return end_ - begin_; }
  size_t Capacity() const { return size_; }
  uint32_t maxPayload() const { return maxPayload_; }

 private:
  // Moves the partial frame to the buffer's start (optionally into a larger
  // new buffer); nothing may be kept.
  void Rebase(size_t newSize);

  std::unique_ptr<uint8_t[]> buffer_;  // uninitialised: untouched pages cost no memory
  size_t size_;
  uint64_t base_ = 0;  // position of buffer_[0]
  size_t begin_ = 0;   // start of the bytes not yet decoded
  size_t end_ = 0;     // end of the bytes read
  uint32_t maxPayload_;
  bool failed_ = false;
  uint64_t held_ = 0;  // end of the last kept frame
  std::atomic<uint64_t> released_{0};
  std::atomic<bool> starved_{false};
  std::atomic<uint64_t> wakeAt_{0};
};

}  // namespace qrv::tmcc::connection
