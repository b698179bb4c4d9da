// The receive side of a framed connection, without any networking: socket
// reads fill either a buffer shared by many connections (while nothing of a
// frame is held) or the reader's own buffer (to complete a frame begun), and
// frames are decoded in place from whichever holds them. Pure, so the fuzz
// target drives exactly the code the connections run.
//
// Why a shared buffer: a thread serving hundreds of streams that reads each
// into its own buffer copies from the kernel into memory long gone from the
// cache; one buffer per thread stays hot, as a plain receive loop's does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tmcc/native/codec/frame.h"

namespace qrv::tmcc::connection {

class FrameReader {
 public:
  // initial: the own buffer's size to start with. maxPayload: the receiver's
  // own bound on a frame's payload, on top of the per-type bounds.
  FrameReader(size_t initial, uint32_t maxPayload);

  // Where the next read may write: never empty.
  //  - Nothing held and `shared` not empty: `shared` itself. Call Release()
  //    before `shared` is used for anything else; until then, a frame begun in
  //    `shared` is completed in it (moved to its start) if it fits.
  //  - Otherwise the own buffer. It grows only to hold one whole frame whose
  //    header has arrived, so memory per connection stays within the initial
  //    size or one largest frame (plus a minimum read). With `shared` given,
  //    the span ends where the held frame does, so the read after it goes to
  //    the shared buffer again.
  std::span<uint8_t> Space(std::span<uint8_t> shared = {});
  // n bytes were written into the span Space() returned.
  void Commit(size_t n) { end_ += n; }

  // The next whole frame; its payload points into the buffer it arrived in
  // and stays valid until the next call of Space() or Release(). kNeedMore
  // when no whole frame is held, kError when the held bytes are not a valid
  // frame (then keep returning it). Call it until it says kNeedMore before
  // the next Space() or Release().
  protocol::DecodeResult Next();

  // Done with the shared buffer: the bytes of a frame begun in it (never more
  // than one frame, as Next() has judged its header) move to the own buffer.
  void Release();

  // Bytes of a frame begun but not complete.
  size_t Pending() const { return end_ - begin_; }
  size_t Capacity() const { return buffer_.size(); }
  uint32_t maxPayload() const { return maxPayload_; }

 private:
  std::vector<uint8_t> buffer_;
  uint8_t* data_;  // buffer_.data(), or the shared buffer while lent_
  bool lent_ = false;
  size_t begin_ = 0;
  size_t end_ = 0;
  uint32_t maxPayload_;
  bool failed_ = false;
};

}  // namespace qrv::tmcc::connection
