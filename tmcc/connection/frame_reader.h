// The receive side of a framed connection, without any networking: a
// reusable buffer that socket reads fill and that frames are decoded from in
// place. Pure, so the fuzz target drives exactly the code the connections run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tmcc/protocol/frame.h"

namespace qrv::tmcc::connection {

class FrameReader {
 public:
  // initial: the buffer's size to start with (reads are at most this large
  // while frames are smaller). maxPayload: the receiver's own bound on a
  // frame's payload, on top of the per-type bounds.
  FrameReader(size_t initial, uint32_t maxPayload);

  // Where the next read may write: never empty. Grows the buffer only to hold
  // one whole frame whose header has arrived, so memory per connection stays
  // within the initial size or one largest frame (plus a minimum read).
  std::span<uint8_t> Space();
  // n bytes were written into the span Space() returned.
  void Commit(size_t n) { end_ += n; }

  // The next whole frame; its payload points into the buffer and stays valid
  // until the next call of Space(). kNeedMore when no whole frame is held,
  // kError when the held bytes are not a valid frame (then keep returning it).
  protocol::DecodeResult Next();

  // Bytes of a frame begun but not complete.
  size_t Pending() const { return end_ - begin_; }
  size_t Capacity() const { return buffer_.size(); }
  uint32_t maxPayload() const { return maxPayload_; }

 private:
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  uint32_t maxPayload_;
  bool failed_ = false;
};

}  // namespace qrv::tmcc::connection
