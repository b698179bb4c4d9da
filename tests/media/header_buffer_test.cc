// The header buffer: content, growth past its initial storage, and copies
// taken while the writer keeps replacing the content.
#include "device/header_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace qrv::test {
namespace {

using device::HeaderBuffer;
using Bytes = std::vector<uint8_t>;

Bytes Filled(size_t length, uint8_t value) {
  return Bytes(length, value);
}

TEST(HeaderBufferTest, StoresReplacesComparesAndEmpties) {
  HeaderBuffer buffer;
  EXPECT_FALSE(buffer.HasStorage());
  Bytes out{1, 2, 3};
  EXPECT_EQ(buffer.Snapshot(out), 0u);
  EXPECT_TRUE(out.empty());

  buffer.Allocate();
  EXPECT_EQ(buffer.Capacity(), HeaderBuffer::kInitialCapacity);
  // Lengths around the word size catch a lost or overrun tail.
  for (size_t length : {1u, 7u, 8u, 9u, 15u, 4095u, 4096u}) {
    Bytes data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 7 + length);
    buffer.Store(data.data(), static_cast<uint32_t>(length));
    EXPECT_EQ(buffer.Length(), static_cast<int32_t>(length));
    EXPECT_EQ(buffer.Snapshot(out), length);
    EXPECT_EQ(out, data);
    EXPECT_TRUE(buffer.Equals(data.data(), static_cast<uint32_t>(length)));
    data.back() ^= 0xFF;
    EXPECT_FALSE(buffer.Equals(data.data(), static_cast<uint32_t>(length)));
    EXPECT_FALSE(buffer.Equals(data.data(), static_cast<uint32_t>(length - 1)));
  }
  EXPECT_EQ(buffer.Capacity(), HeaderBuffer::kInitialCapacity) << "no growth up to 4096";

  buffer.Store(nullptr, 0);
  EXPECT_EQ(buffer.Length(), 0);
  EXPECT_TRUE(buffer.Equals(nullptr, 0));
  buffer.Release();
  EXPECT_FALSE(buffer.HasStorage());
  EXPECT_EQ(buffer.Length(), 0);
}

TEST(HeaderBufferTest, GrowsForALongerHeaderAndKeepsItWhole) {
  HeaderBuffer buffer;
  buffer.Allocate();
  const Bytes big = Filled(10003, 0x5A);
  buffer.Store(big.data(), static_cast<uint32_t>(big.size()));
  EXPECT_GE(buffer.Capacity(), big.size());
  Bytes out;
  EXPECT_EQ(buffer.Snapshot(out), big.size());
  EXPECT_EQ(out, big);
  EXPECT_EQ(std::memcmp(buffer.WriterData(), big.data(), big.size()), 0);

  // Storage that was never allocated grows the same way.
  HeaderBuffer fresh;
  fresh.Store(big.data(), 100);
  EXPECT_EQ(fresh.Snapshot(out), 100u);
}

TEST(HeaderBufferTest, ConcurrentCopiesAreNeverTorn) {
  HeaderBuffer buffer;
  buffer.Allocate();
  const std::vector<Bytes> headers = {Filled(64, 0xA0), Filled(4000, 0xA1), Filled(9001, 0xA2),
                                      Filled(13, 0xA3)};
  buffer.Store(headers[0].data(), static_cast<uint32_t>(headers[0].size()));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (uint64_t n = 0; !stop.load(); ++n) {
      const Bytes& header = headers[n % headers.size()];
      buffer.Store(header.data(), static_cast<uint32_t>(header.size()));
    }
  });
  Bytes out;
  for (int i = 0; i < 20000; ++i) {
    const uint32_t length = buffer.Snapshot(out);
    ASSERT_EQ(length, out.size());
    ASSERT_GE(out[0], 0xA0);
    ASSERT_LE(out[0], 0xA3);
    ASSERT_EQ(out, headers[out[0] - 0xA0]) << "torn copy at " << i;
  }
  stop.store(true);
  writer.join();
}

}  // namespace
}  // namespace qrv::test
