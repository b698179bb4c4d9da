// Feeds arbitrary bytes to the framed connection's receive side (the frame
// reader) in pieces of varying size, as socket reads would arrive, into a
// shared buffer that is overwritten after some reads (as another connection
// would after a wake-up) or into the reader's own, and checks it yields exactly the frames the
// decoder finds in the whole input, and that its buffer never outgrows one
// largest frame.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tmcc/native/codec/frame.h"
#include "tmcc/native/connection/frame_reader.h"

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

  FrameReader reader(4096, maxPayload);
  // A third of the inputs read into the own buffer only, as a connection
  // without a shared buffer would.
  std::vector<uint8_t> shared(seed % 3 == 0 ? 0 : 64 + (seed >> 1) % 20000);
  size_t found = 0;
  bool error = false;
  for (size_t at = 0; at < input.size() && !error;) {
    auto space = reader.Space(shared);
    Check(!space.empty());
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
      ++found;
    }
    // Between wake-ups the shared buffer goes to other connections; within
    // one, the reader keeps it.
    if (seed & 0x100) {
      reader.Release();
      std::fill(shared.begin(), shared.end(), uint8_t{0xA5});
    }
    const size_t largest = pr::kFrameHeaderSize + std::min<size_t>(maxPayload, 28 + (4u << 20));
    Check(reader.Capacity() <= std::max<size_t>(4096, largest) + 4096);
  }
  Check(found == expected.size());
  Check(error == expectError);
  return 0;
}
