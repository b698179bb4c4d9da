#include "tmcc/native/connection/frame_reader.h"

#include <algorithm>
#include <cstring>

namespace qrv::tmcc::connection {

namespace pr = qrv::tmcc::protocol;

namespace {
// The smallest read worth a system call.
constexpr size_t kMinRead = 4 * 1024;

// Size of the frame at `at` once its header is in, else 0. Next() has already
// judged that header, so the length is within the bounds.
size_t FrameSizeAt(const uint8_t* at, size_t held) {
  if (held < pr::kFrameHeaderSize) return 0;
  const uint8_t* h = at + 12;
  const uint32_t length = h[0] | (h[1] << 8) | (h[2] << 16) | (static_cast<uint32_t>(h[3]) << 24);
  return pr::kFrameHeaderSize + length;
}
}  // namespace

FrameReader::FrameReader(size_t initial, uint32_t maxPayload)
    : buffer_(std::max(initial, kMinRead)), data_(buffer_.data()), maxPayload_(maxPayload) {}

std::span<uint8_t> FrameReader::Space(std::span<uint8_t> shared) {
  if (lent_ && !failed_ && shared.data() == data_) {
    // Still the caller's: a frame begun in it is completed there, when it fits,
    // without a copy to the own buffer and a read of just its rest.
    const size_t held = end_ - begin_;
    const size_t frame = FrameSizeAt(data_ + begin_, held);
    if (held < shared.size() && frame <= shared.size()) {
      if (begin_ > 0) std::memmove(data_, data_ + begin_, held);
      begin_ = 0;
      end_ = held;
      return shared.subspan(held);
    }
  }
  Release();
  const size_t held = end_ - begin_;
  if (held == 0 && !failed_ && !shared.empty()) {
    lent_ = true;
    data_ = shared.data();
    begin_ = end_ = 0;
    return shared;
  }
  // After an error the held bytes are no frame to size reads by.
  const size_t frame = failed_ ? 0 : FrameSizeAt(buffer_.data() + begin_, held);
  const size_t wanted = frame > 0 ? frame : kMinRead;
  if (buffer_.size() - begin_ < wanted || buffer_.size() - end_ < kMinRead) {
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, held);
      begin_ = 0;
      end_ = held;
    }
  }
  // Kept once grown (at most one largest frame): a stream's key frames would
  // otherwise cost an allocation each.
  if (buffer_.size() < wanted) buffer_.resize(wanted);
  if (buffer_.size() == end_) buffer_.resize(buffer_.size() + kMinRead);
  data_ = buffer_.data();
  size_t room = buffer_.size() - end_;
  if (frame > 0 && !shared.empty()) room = std::min(room, begin_ + frame - end_);
  return {buffer_.data() + end_, room};
}

pr::DecodeResult FrameReader::Next() {
  pr::DecodeResult r;
  if (failed_) {
    r.status = pr::DecodeStatus::kError;
    return r;
  }
  r = pr::DecodeFrame(std::span<const uint8_t>(data_ + begin_, end_ - begin_), maxPayload_);
  if (r.status == pr::DecodeStatus::kError) {
    failed_ = true;
  } else if (r.status == pr::DecodeStatus::kFrame) {
    begin_ += r.consumed;
    if (begin_ == end_) begin_ = end_ = 0;  // the payload stays in place until Space()
  }
  return r;
}

void FrameReader::Release() {
  if (!lent_) return;
  lent_ = false;
  const uint8_t* from = data_ + begin_;
  const size_t held = failed_ ? 0 : end_ - begin_;
  begin_ = 0;
  end_ = held;
  if (held > 0) {
    // Less than one frame once Next() has said kNeedMore; Space() grows the
    // buffer to the whole frame when the next read needs it.
    if (buffer_.size() < held) buffer_.resize(std::max(held, kMinRead));
    std::memcpy(buffer_.data(), from, held);
  }
  data_ = buffer_.data();
}

}  // namespace qrv::tmcc::connection
