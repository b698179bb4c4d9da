// Server answers delivered on the test double's library thread, and refresh.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "devicelib/tmcc_records.h"
#include "events/discovery.h"
#include "events/event_service.h"
#include "tests/events/event_sink.h"
#include "tests/events/service_fixture.h"
#include "tests/fake_tmcc/fake_tmcc.h"

namespace qrv::events {
namespace {

using devicelib::ServerInfoRecord;
using test::Sink;

ServerInfoRecord Answer(const std::string& identity, const std::string& address,
                        uint16_t port = 8000) {
  ServerInfoRecord info;
  std::memset(&info, 0, sizeof(info));
  info.size = sizeof(info);
  std::memcpy(info.identity, identity.data(), std::min(identity.size(), sizeof(info.identity)));
  std::memcpy(info.address, address.data(), std::min(address.size(), sizeof(info.address)));
  std::memcpy(info.mask, "255.255.255.0", 13);
  info.controlPort = port;
  return info;
}

class DiscoveryTest : public test::StartedServiceTest {
 protected:
  int32_t Fire(ServerInfoRecord info) { return fake_tmcc::FireServerInfo(Discovery(), &info); }
  static std::string AddressOf(const DiscoveryRecord& record) {
    return std::string(record.address, ::strnlen(record.address, sizeof(record.address)));
  }
};

TEST_F(DiscoveryTest, EachIdentityIsReportedOnceUntilARefresh) {
  EXPECT_EQ(Fire(Answer("SN-1", "10.2.0.1")), 1);
  EXPECT_EQ(Fire(Answer("SN-1", "10.2.0.99", 9000)), 1);  // same identity, other fields
  EXPECT_EQ(Fire(Answer("SN-2", "10.2.0.1")), 1);         // other identity, same fields
  EXPECT_EQ(Fire(Answer("sn-1", "10.2.0.3")), 1);         // letter case counts
  auto found = Sink().discoveries.Events();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(AddressOf(found[0]), "10.2.0.1");
  EXPECT_EQ(found[0].port, 8000);
  EXPECT_EQ(AddressOf(found[1]), "10.2.0.1");
  EXPECT_EQ(AddressOf(found[2]), "10.2.0.3");

  // A refresh the library refuses still forgets what was reported.
  fake_tmcc::SetResult("TMCC_RefreshEnum", -1);
  EXPECT_EQ(RefreshDiscovery(), 1);
  const auto refreshes = fake_tmcc::CallsNamed("TMCC_RefreshEnum");
  ASSERT_EQ(refreshes.size(), 1u);
  EXPECT_EQ(refreshes[0].args.at(0), Discovery());

  EXPECT_EQ(Fire(Answer("SN-1", "10.2.0.7")), 1);
  found = Sink().discoveries.Events();
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(AddressOf(found[3]), "10.2.0.7");
}

// Identities come from the network: a flood of invented ones must not grow
// the set of reported identities past its cap. The identities seen longest
// ago make room; recently seen ones stay reported once.
TEST_F(DiscoveryTest, ReportedIdentitiesAreCappedDroppingTheLongestUnseen) {
  auto* service = EventServiceInstance();
  const size_t cap = DiscoveredSet::kMaxIdentities;
  const auto fire = [&](int n) {
    ServerInfoRecord info = Answer("SPOOF-" + std::to_string(n), "10.9.0.1");
    return DiscoveryEnumCallback(&info, service);
  };
  constexpr int kFlood = 100000;
  for (int n = 0; n < kFlood; ++n) ASSERT_EQ(fire(n), 1);
  EXPECT_EQ(Sink().discoveries.Events().size(), size_t{kFlood});
  {
    platform::ScopedLock lock(&service->lock);
    EXPECT_EQ(service->discoveredSet.size(), cap);
  }
  fire(kFlood - 1);  // seen just now: still remembered, not reported again
  EXPECT_EQ(Sink().discoveries.Events().size(), size_t{kFlood});
  fire(0);  // dropped long ago: reported again
  EXPECT_EQ(Sink().discoveries.Events().size(), size_t{kFlood} + 1);

  // Seeing an identity again keeps it: the one not seen for longest goes.
  DiscoveredSet set(3);
  set.Insert("a");
  set.Insert("b");
  set.Insert("c");
  EXPECT_TRUE(set.Touch("a"));
  set.Insert("d");
  EXPECT_EQ(set.size(), 3u);
  EXPECT_EQ(set.count("b"), 0u);
  EXPECT_EQ(set.count("a") + set.count("c") + set.count("d"), 3u);
  set.clear();
  EXPECT_TRUE(set.empty());
}

TEST_F(DiscoveryTest, AnswerWithoutAddressIsNeitherReportedNorRemembered) {
  EXPECT_EQ(Fire(Answer("SN-3", "")), 1);
  EXPECT_TRUE(Sink().discoveries.Events().empty());
  EXPECT_EQ(Fire(Answer("SN-3", "10.2.0.4")), 1);
  ASSERT_EQ(Sink().discoveries.Events().size(), 1u);
}

TEST_F(DiscoveryTest, IdentityWithoutNulEndsWithItsField) {
  // Two answers whose 64 identity bytes agree and whose following bytes (the
  // MAC address) differ are one device.
  ServerInfoRecord first = Answer("", "10.2.0.5");
  std::memset(first.identity, 'Q', sizeof(first.identity));
  first.mac[0] = 'a';
  ServerInfoRecord second = first;
  second.mac[0] = 'b';
  EXPECT_EQ(Fire(first), 1);
  EXPECT_EQ(Fire(second), 1);
  EXPECT_EQ(Sink().discoveries.Events().size(), 1u);
}

TEST_F(DiscoveryTest, NullArgumentsAndThrowingHostsAreContained) {
  ServerInfoRecord info = Answer("SN-4", "10.2.0.6");
  EXPECT_EQ(DiscoveryEnumCallback(nullptr, service_), 1);
  EXPECT_EQ(DiscoveryEnumCallback(&info, nullptr), 1);
  EXPECT_TRUE(Sink().discoveries.Events().empty());

  // A host that throws: the answer is not remembered, so it comes again.
  Sink().discoveries.Hook([](const DiscoveryRecord&) { throw std::runtime_error("host failure"); });
  EXPECT_EQ(Fire(info), 1);
  Sink().discoveries.Hook(nullptr);
  EXPECT_EQ(Fire(info), 1);
  EXPECT_EQ(Sink().discoveries.Events().size(), 2u);
  EXPECT_EQ(Fire(info), 1);
  EXPECT_EQ(Sink().discoveries.Events().size(), 2u);
}

}  // namespace
}  // namespace qrv::events
