// The host's record of a found device, byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "events/discovery.h"

namespace qrv::events {
namespace {

using devicelib::ServerInfoRecord;

// An answer whose every byte differs from its neighbours, so a copy from the
// wrong offset shows.
ServerInfoRecord PatternedAnswer() {
  ServerInfoRecord info;
  auto* bytes = reinterpret_cast<uint8_t*>(&info);
  for (size_t i = 0; i < sizeof(info); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  return info;
}

std::vector<uint8_t> Bytes(const DiscoveryRecord& record) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  return std::vector<uint8_t>(bytes, bytes + sizeof(record));
}

std::vector<uint8_t> Slice(const void* base, size_t offset, size_t width) {
  const auto* bytes = static_cast<const uint8_t*>(base) + offset;
  return std::vector<uint8_t>(bytes, bytes + width);
}

TEST(DiscoveryRecordTest, EveryByteComesFromItsSourceOrIsFixed) {
  const ServerInfoRecord info = PatternedAnswer();
  const std::vector<uint8_t> out = Bytes(BuildDiscoveryRecord(info));
  ASSERT_EQ(out.size(), 252u);

  std::vector<uint8_t> expected(252, 0);
  auto put = [&](size_t offset, const std::vector<uint8_t>& bytes) {
    std::memcpy(expected.data() + offset, bytes.data(), bytes.size());
  };
  put(0, Slice(&info, 107, 16));
  put(16, Slice(&info, 132, 16));
  put(32, Slice(&info, 132, 16));
  put(48, Slice(&info, 101, 6));
  put(104, {0x41, 0x8f, 0x01, 0x00});  // 102209, little-endian
  put(208, {'t', 'u', 'n', 'd', 'r', 'a'});
  put(228, {'t', 'u', 'n', 'd', 'r', 'a'});
  put(248, Slice(&info, 192, 2));  // upper two bytes stay zero
  EXPECT_EQ(out, expected);
}

TEST(DiscoveryRecordTest, PortIsWidenedWithoutSign) {
  ServerInfoRecord info = PatternedAnswer();
  for (uint16_t port : {uint16_t{0}, uint16_t{8000}, uint16_t{0x8000}, uint16_t{0xffff}}) {
    info.controlPort = port;
    EXPECT_EQ(BuildDiscoveryRecord(info).port, static_cast<int32_t>(port)) << port;
  }
}

}  // namespace
}  // namespace qrv::events
