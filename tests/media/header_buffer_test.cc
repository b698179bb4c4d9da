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

  // Above the bound: refused, the content kept.
  const Bytes huge = Filled(HeaderBuffer::kMaxLength + 1, 0x11);
  EXPECT_FALSE(buffer.Store(huge.data(), static_cast<uint32_t>(huge.size())));
  EXPECT_EQ(buffer.Snapshot(out), big.size());
  EXPECT_EQ(out, big);
  EXPECT_TRUE(buffer.Store(huge.data(), HeaderBuffer::kMaxLength));
  EXPECT_EQ(buffer.Capacity(), HeaderBuffer::kMaxLength);
  // Ever longer headers in small steps grow the storage a few times only,
  // so even unreclaimed outgrown storage stays under twice the bound.
  HeaderBuffer steps;
  steps.Allocate();
  for (uint32_t length = 8; length <= HeaderBuffer::kMaxLength; length += 4096 + 8) {
    ASSERT_TRUE(steps.Store(huge.data(), length));
  }
  EXPECT_LT(steps.HeldBytes(), 2 * size_t{HeaderBuffer::kMaxLength});
  EXPECT_TRUE(steps.HasOutgrown());
  steps.ReleaseOutgrown();
  EXPECT_FALSE(steps.HasOutgrown());
  EXPECT_EQ(steps.HeldBytes(), steps.Capacity());

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

// Readers announce themselves before they copy, as the packet path does; the
// writer frees outgrown storage only when it saw none. Under AddressSanitizer
// a reader still holding freed storage is reported.
TEST(HeaderBufferTest, OutgrownStorageIsFreedOnlyWithNoReaderAnnounced) {
  for (int round = 0; round < 12; ++round) {
    HeaderBuffer buffer;
    buffer.Allocate();
    std::atomic<int32_t> readers{0};
    std::atomic<bool> stop{false};
    auto read = [&] {
      Bytes out;
      while (!stop.load()) {
        readers.fetch_add(1, std::memory_order_seq_cst);
        const uint32_t length = buffer.Snapshot(out);
        readers.fetch_sub(1, std::memory_order_seq_cst);
        ASSERT_EQ(length, out.size());
        if (length > 0) {
          ASSERT_EQ(out, Filled(length, out[0])) << "torn copy";
        }
      }
    };
    std::thread a(read), b(read);
    for (uint32_t length = 4000, n = 1; length <= HeaderBuffer::kMaxLength; length *= 2, ++n) {
      const Bytes header = Filled(length + n, static_cast<uint8_t>(n));
      ASSERT_TRUE(buffer.Store(header.data(), static_cast<uint32_t>(header.size())));
      for (int tries = 0; tries < 1000 && buffer.HasOutgrown(); ++tries) {
        if (readers.load(std::memory_order_seq_cst) == 0) {
          buffer.ReleaseOutgrown();
        }
      }
    }
    stop.store(true);
    a.join();
    b.join();
    Bytes last;
    EXPECT_EQ(buffer.Snapshot(last), 1024000u + 9u);
    buffer.ReleaseOutgrown();
    EXPECT_EQ(buffer.HeldBytes(), buffer.Capacity());
  }
}

}  // namespace
}  // namespace qrv::test
