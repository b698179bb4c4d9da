#include "tmcc/connection/frame_reader.h"

#include <algorithm>
#include <cstring>

namespace qrv::tmcc::connection {

namespace pr = qrv::tmcc::protocol;

namespace {
// The smallest read worth a system call.
constexpr size_t kMinRead = 4 * 1024;
// With nothing kept, a partial frame this small is moved back to the start
// once reads have moved this far in: a paced stream then reuses the same few
// pages instead of touching the whole buffer.
constexpr size_t kRewindAfter = 256 * 1024;
constexpr size_t kRewindMaxMove = 4 * 1024;
}  // namespace

FrameReader::FrameReader(size_t initial, uint32_t maxPayload)
    : size_(std::max(initial, kMinRead)), maxPayload_(maxPayload) {
  buffer_.reset(new uint8_t[size_]);
}

void FrameReader::Restart() {
  end_ = begin_;
  failed_ = false;
}

void FrameReader::SetStarved() {
  // A quarter of the buffer per wake keeps a lagging consumer from costing a
  // small read and a thread switch for every frame it releases.
  wakeAt_.store(released_.load(std::memory_order_acquire) + size_ / 4);
  starved_.store(true);
}

bool FrameReader::TakeStarved(uint64_t released, bool drained) {
  if (!starved_.load()) return false;
  if (!drained && released < wakeAt_.load()) return false;
  return starved_.exchange(false);
}

void FrameReader::Rebase(size_t newSize) {
  const size_t pending = end_ - begin_;
  if (newSize != size_) {
    std::unique_ptr<uint8_t[]> grown(new uint8_t[newSize]);
    std::memcpy(grown.get(), buffer_.get() + begin_, pending);
    buffer_ = std::move(grown);
    size_ = newSize;
  } else if (begin_ > 0 && pending > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, pending);
  }
  base_ += begin_;
  begin_ = 0;
  end_ = pending;
}

std::span<uint8_t> FrameReader::Space() {
  const size_t pending = end_ - begin_;
  // Size of the frame being received, once its header is in (Next() has
  // already judged that header, so its length is within the bounds).
  size_t wanted = kMinRead;
  if (pending >= pr::kFrameHeaderSize) {
    const uint8_t* h = buffer_.get() + begin_ + 12;
    const uint32_t length = h[0] | (h[1] << 8) | (h[2] << 16) | (static_cast<uint32_t>(h[3]) << 24);
    wanted = pr::kFrameHeaderSize + length;
  }

  if (!Holding()) {
    // Nothing kept: the partial frame may move and the buffer may grow.
    const bool tooShort = size_ - begin_ < wanted || size_ - end_ < kMinRead;
    const bool rewind = begin_ >= kRewindAfter && pending <= kRewindMaxMove;
    if (begin_ > 0 && (pending == 0 || tooShort || rewind)) Rebase(size_);
    // Kept once grown (at most one largest frame): a stream's key frames
    // would otherwise cost an allocation each.
    if (size_ < wanted) Rebase(wanted);
    if (size_ == end_) Rebase(size_ + kMinRead);
    return {buffer_.get() + end_, size_ - end_};
  }

  // Kept frames pin their bytes: the oldest is at `keep`.
  const uint64_t keep = released_.load(std::memory_order_acquire);
  if (wanted > size_) return {};  // grows once the consumer has caught up
  size_t limit;
  if (keep >= base_) {
    // Kept bytes lie before begin_ in this pass over the buffer: read on to
    // its end, or wrap to the start once the consumer has freed enough there.
    if (size_ - begin_ >= wanted && size_ - end_ >= kMinRead) {
      limit = size_;
    } else {
      const size_t freeAtStart = static_cast<size_t>(keep - base_);
      if (freeAtStart < std::max(wanted, pending + kMinRead)) return {};
      std::memmove(buffer_.get(), buffer_.get() + begin_, pending);
      base_ += size_;  // the skipped tail counts as consumed
      begin_ = 0;
      end_ = pending;
      limit = freeAtStart;
    }
  } else {
    // Wrapped: kept bytes of the previous pass start at keep's offset in it.
    limit = static_cast<size_t>(keep + size_ - base_);
    if (limit - begin_ < wanted || limit - end_ < kMinRead) return {};
  }
  return {buffer_.get() + end_, limit - end_};
}

pr::DecodeResult FrameReader::Next() {
  pr::DecodeResult r;
  if (failed_) {
    r.status = pr::DecodeStatus::kError;
    return r;
  }
  r = pr::DecodeFrame(std::span<const uint8_t>(buffer_.get() + begin_, end_ - begin_), maxPayload_);
  if (r.status == pr::DecodeStatus::kError) {
    failed_ = true;
  } else if (r.status == pr::DecodeStatus::kFrame) {
    begin_ += r.consumed;  // the payload stays in place until Space()
  }
  return r;
}

}  // namespace qrv::tmcc::connection
