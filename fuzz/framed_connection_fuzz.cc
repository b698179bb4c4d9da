// Feeds arbitrary bytes to the framed connection's receive side (the frame
// reader) in pieces of varying size, as socket reads would arrive, and checks
// it yields exactly the frames the decoder finds in the whole input, and that
// its buffer never outgrows one largest frame. Odd seeds keep the frames and
// release them late, as a stream's delivery thread does: a kept payload must
// still hold its bytes when released.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "tmcc/connection/frame_reader.h"
#include "tmcc/protocol/frame.h"

namespace pr = qrv::tmcc::protocol;
using qrv::tmcc::connection::FrameReader;

namespace {
void Check(bool condition) {
  if (!condition) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // First byte: piece sizes; second: the receiver's payload bound.
  uint32_t seed = data[0] | 1u;
  const uint32_t maxPayload = data[1] % 2 == 0 ? UINT32_MAX : 64u * data[1];
  std::span<const uint8_t> input(data + 2, size - 2);

  // What the decoder finds in the whole input.
  std::vector<std::pair<size_t, size_t>> expected;  // offset, length
  bool expectError = false;
  for (size_t at = 0; at < input.size();) {
    auto r = pr::DecodeFrame(input.subspan(at), maxPayload);
    if (r.status == pr::DecodeStatus::kError) expectError = true;
    if (r.status != pr::DecodeStatus::kFrame) break;
    expected.emplace_back(at, r.consumed);
    at += r.consumed;
  }

  const bool keep = (data[0] & 2) != 0;
  struct Kept {
    std::span<const uint8_t> payload;
    size_t index;
    uint64_t end;
  };
  std::deque<Kept> kept;
  FrameReader reader(4096, maxPayload);
  auto release = [&](size_t n) {
    for (; n > 0 && !kept.empty(); --n, kept.pop_front()) {
      const auto& k = kept.front();
      const size_t offset = expected[k.index].first;
      Check(std::equal(k.payload.begin(), k.payload.end(),
                       input.begin() + offset + pr::kFrameHeaderSize));
      reader.Release(k.end);
    }
  };

  size_t found = 0;
  bool error = false;
  for (size_t at = 0; at < input.size() && !error;) {
    auto space = reader.Space();
    if (space.empty()) {
      Check(reader.Holding());
      release(1 + seed % 5);
      continue;
    }
    seed = seed * 1103515245u + 12345u;
    const size_t piece =
        std::min({static_cast<size_t>(1 + (seed >> 16) % 9000), space.size(), input.size() - at});
    std::copy_n(input.data() + at, piece, space.data());
    reader.Commit(piece);
    at += piece;
    while (true) {
      auto r = reader.Next();
      if (r.status == pr::DecodeStatus::kError) {
        error = true;
        break;
      }
      if (r.status == pr::DecodeStatus::kNeedMore) break;
      Check(found < expected.size());
      const auto [offset, length] = expected[found];
      Check(r.consumed == length);
      Check(std::equal(r.frame.payload.begin(), r.frame.payload.end(),
                       input.begin() + offset + pr::kFrameHeaderSize));
      if (keep) {
        reader.Hold();
        kept.push_back({r.frame.payload, found, reader.Decoded()});
      }
      ++found;
    }
    if (keep && seed % 4 == 0) release(seed % 3);
    const size_t largest = pr::kFrameHeaderSize + std::min<size_t>(maxPayload, 28 + (4u << 20));
    Check(reader.Capacity() <= std::max<size_t>(4096, largest) + 4096);
  }
  Check(found == expected.size());
  Check(error == expectError);
  return 0;
}
