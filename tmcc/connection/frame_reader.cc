#include "tmcc/connection/frame_reader.h"

#include <algorithm>
#include <cstring>

namespace qrv::tmcc::connection {

namespace pr = qrv::tmcc::protocol;

namespace {
// The smallest read worth a system call.
constexpr size_t kMinRead = 4 * 1024;
}  // namespace

FrameReader::FrameReader(size_t initial, uint32_t maxPayload)
    : buffer_(std::max(initial, kMinRead)), maxPayload_(maxPayload) {}

std::span<uint8_t> FrameReader::Space() {
  const size_t held = end_ - begin_;
  // Size of the frame being received, once its header is in (Next() has
  // already judged that header, so its length is within the bounds).
  size_t wanted = kMinRead;
  if (held >= pr::kFrameHeaderSize) {
    const uint8_t* h = buffer_.data() + begin_ + 12;
    const uint32_t length = h[0] | (h[1] << 8) | (h[2] << 16) | (static_cast<uint32_t>(h[3]) << 24);
    wanted = pr::kFrameHeaderSize + length;
  }
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
  return {buffer_.data() + end_, buffer_.size() - end_};
}

pr::DecodeResult FrameReader::Next() {
  pr::DecodeResult r;
  if (failed_) {
    r.status = pr::DecodeStatus::kError;
    return r;
  }
  r = pr::DecodeFrame(std::span<const uint8_t>(buffer_.data() + begin_, end_ - begin_),
                      maxPayload_);
  if (r.status == pr::DecodeStatus::kError) {
    failed_ = true;
  } else if (r.status == pr::DecodeStatus::kFrame) {
    begin_ += r.consumed;
    if (begin_ == end_) begin_ = end_ = 0;  // the payload stays in place until Space()
  }
  return r;
}

}  // namespace qrv::tmcc::connection
