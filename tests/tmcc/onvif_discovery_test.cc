// WS-Discovery in the enumeration client, over multicast on loopback: a
// simulated camera answering the group, and a hostile peer that answers with
// another probe's MessageID, names another host in its XAddrs and announces
// itself unasked. The program runs in a network namespace of its own (the
// group's port is shared machine-wide), with multicast routed over loopback.
// Without one it fails rather than probe the machine's networks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "devicelib/tmcc_errors.h"
#include "simulator/simulator.h"
#include "support/private_network.h"
#include "support/wait.h"
#include "tmcc/common/enum_client.h"
#include "tmcc/onvif/codec/discovery.h"
#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/onvif_discovery_record.h"

namespace dl = qrv::devicelib;
namespace ov = qrv::tmcc::onvif;
using qrv::test::WaitUntil;
using namespace std::chrono_literals;

namespace {

// Multicast over loopback. The route names its source: loopback's address is
// of host scope, so a link route would otherwise send from 0.0.0.0, which a
// camera cannot answer.
bool RouteMulticast(std::string* why) {
  if (std::system("ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo src 127.0.0.1") !=
      0) {
    *why = "cannot route multicast over loopback (ip link / ip route)";
    return false;
  }
  return true;
}

// Before main, so every thread of the program starts inside the namespace.
std::string gNetworkError;
const bool gPrivateNetwork =
    qrv::test::EnterPrivateNetwork(&gNetworkError) && RouteMulticast(&gNetworkError);

struct Found {
  std::mutex mutex;
  std::map<std::string, int> count;  // identity -> reports
  std::map<std::string, dl::ServerInfoRecord> last;
  int Count(const std::string& id) {
    std::lock_guard lock(mutex);
    return count.count(id) ? count[id] : 0;
  }
  dl::ServerInfoRecord Last(const std::string& id) {
    std::lock_guard lock(mutex);
    return last[id];
  }
};

int32_t QRV_CALLBACK OnServer(dl::ServerInfoRecord* info, void* context) {
  auto* found = static_cast<Found*>(context);
  std::lock_guard lock(found->mutex);
  const std::string id(info->identity, ::strnlen(info->identity, sizeof(info->identity)));
  found->count[id]++;
  found->last[id] = *info;
  return 1;
}

// Hears WS-Discovery probes on the group and lets a script answer each one
// from 127.0.0.77. Stops when told to, or after 30 s at the latest.
class HostilePeer {
 public:
  using Send = std::function<void(const std::string& xml)>;
  using Script = std::function<void(const ov::ProbeRequest& probe, const Send& send)>;

  explicit HostilePeer(Script script) : script_(std::move(script)) {
    listen_ = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(ov::kDiscoveryPort);
    inet_pton(AF_INET, std::string(ov::kDiscoveryAddress).c_str(), &sa.sin_addr);
    ip_mreq join{};
    join.imr_multiaddr = sa.sin_addr;
    inet_pton(AF_INET, "127.0.0.1", &join.imr_interface);
    ready_ = bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
             setsockopt(listen_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof(join)) == 0;
    send_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.77", &own.sin_addr);
    ready_ = ready_ && bind(send_, reinterpret_cast<sockaddr*>(&own), sizeof(own)) == 0;
    thread_ = std::thread([this] { Run(); });
  }
  ~HostilePeer() {
    stop_ = true;
    thread_.join();
    close(listen_);
    close(send_);
  }
  bool ready() const { return ready_; }
  int probesHeard() const { return probes_.load(); }
  // A datagram to the last prober, unasked.
  void SendUnasked(const std::string& xml) {
    std::lock_guard lock(mutex_);
    sendto(send_, xml.data(), xml.size(), 0, reinterpret_cast<sockaddr*>(&prober_),
           sizeof(prober_));
  }

 private:
  void Run() {
    const auto end = std::chrono::steady_clock::now() + 30s;
    std::vector<char> buffer(ov::kMaxDiscoveryBytes);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      pollfd p{listen_, POLLIN, 0};
      if (poll(&p, 1, 20) != 1) continue;
      sockaddr_in from{};
      socklen_t length = sizeof(from);
      const ssize_t n = recvfrom(listen_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &length);
      if (n <= 0) continue;
      auto probe = ov::ParseProbe(std::string_view(buffer.data(), static_cast<size_t>(n)));
      if (!probe) continue;
      {
        std::lock_guard lock(mutex_);
        prober_ = from;
      }
      ++probes_;
      script_(*probe, [&](const std::string& xml) {
        sendto(send_, xml.data(), xml.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof(from));
      });
    }
  }

  Script script_;
  int listen_ = -1;
  int send_ = -1;
  bool ready_ = false;
  std::mutex mutex_;
  sockaddr_in prober_{};
  std::atomic<bool> stop_{false};
  std::atomic<int> probes_{0};
  std::thread thread_;
};

ov::DiscoveredDevice Camera(const std::string& endpoint, std::vector<std::string> xaddrs,
                            std::vector<std::string> scopes = {}) {
  ov::DiscoveredDevice d;
  d.endpoint = endpoint;
  d.types = {{std::string(ov::ns::kNetwork), "NetworkVideoTransmitter"}};
  d.xaddrs = std::move(xaddrs);
  d.scopes = std::move(scopes);
  return d;
}

// A device's Hello that even claims to relate to our probe: still no answer.
std::string Hello(const std::string& endpoint, const std::string& relatesTo) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>)"
         R"(<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope" )"
         R"(xmlns:a="http://schemas.xmlsoap.org/ws/2004/08/addressing" )"
         R"(xmlns:d="http://schemas.xmlsoap.org/ws/2005/04/discovery" )"
         R"(xmlns:dn="http://www.onvif.org/ver10/network/wsdl"><s:Header>)"
         R"(<a:MessageID>urn:uuid:00000000-0000-4000-8000-0000000000f1</a:MessageID>)"
         "<a:RelatesTo>" +
         relatesTo +
         R"(</a:RelatesTo><a:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</a:To>)"
         R"(<a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Hello</a:Action>)"
         R"(</s:Header><s:Body><d:Hello><a:EndpointReference><a:Address>)" +
         endpoint +
         R"(</a:Address></a:EndpointReference><d:Types>dn:NetworkVideoTransmitter</d:Types>)"
         R"(<d:XAddrs>http://127.0.0.77/onvif</d:XAddrs><d:MetadataVersion>1</d:MetadataVersion>)"
         R"(</d:Hello></s:Body></s:Envelope>)";
}

// The enumeration client as the library runs it.
struct Enumeration {
  Enumeration() { client->SetCallback(OnServer, &found); }
  ~Enumeration() { client->Shutdown(); }
  std::shared_ptr<qrv::tmcc::EnumClient> client = std::make_shared<qrv::tmcc::EnumClient>();
  Found found;
};

std::string Text(const char* field, size_t size) {
  return std::string(field, ::strnlen(field, size));
}

class OnvifDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gPrivateNetwork) << gNetworkError; }
};

TEST(OnvifServerInfo, TakesTheSendersAddressAndOnlyItsOwnXAddrsPort) {
  auto camera = Camera(
      "urn:uuid:" + std::string(80, 'e'),
      {"http://10.9.9.9:8888/onvif/device_service", "http://127.0.0.40:8080/onvif/device_service"},
      {"onvif://www.onvif.org/name/Front", "onvif://www.onvif.org/hardware/Box%20X"});
  auto info = qrv::tmcc::OnvifServerInfo(camera, "127.0.0.40");
  EXPECT_EQ(Text(info.address, sizeof(info.address)), "127.0.0.40");
  EXPECT_EQ(info.controlPort, 8080);
  EXPECT_EQ(info.streamPort, 554);
  EXPECT_EQ(Text(info.model, sizeof(info.model)), "Box X");
  EXPECT_EQ(Text(info.identity, sizeof(info.identity)), camera.endpoint.substr(0, 63));
  // No XAddr of the sender's: the standard port, whatever the others name.
  camera.xaddrs = {"http://10.9.9.9:8888/x", "http://127.0.0.40.evil:81/x", "garbage"};
  camera.scopes = {"onvif://www.onvif.org/name/Front"};
  info = qrv::tmcc::OnvifServerInfo(camera, "127.0.0.40");
  EXPECT_EQ(info.controlPort, 80);
  EXPECT_EQ(Text(info.model, sizeof(info.model)), "Front");
  camera.xaddrs = {"https://127.0.0.40/onvif/device_service"};
  EXPECT_EQ(qrv::tmcc::OnvifServerInfo(camera, "127.0.0.40").controlPort, 443);
  EXPECT_EQ(Text(info.address, sizeof(info.address)), "127.0.0.40");
}

TEST_F(OnvifDiscoveryTest, CamerasAnsweringTheGroupAreReportedOncePerRoundBesideNativeDevices) {
  qrv::sim::Simulator sim;
  qrv::sim::DeviceConfig c;
  c.address = "127.0.0.40";
  c.identity = "SN-native-40";
  c.model = "QRV-CAM";
  c.onvifPort = 8080;
  c.onvifMulticast = true;
  std::string error;
  ASSERT_NE(sim.AddDevice(c, &error), nullptr) << error;
  const std::string endpoint = "urn:uuid:51525600-0000-4000-8000-00007f000028";

  Enumeration e;
  Found& found = e.found;
  ASSERT_EQ(e.client->Start(), dl::kOk);
  ASSERT_TRUE(WaitUntil([&] { return found.Count(endpoint) == 1; }, 5s));
  ASSERT_TRUE(WaitUntil([&] { return found.Count(c.identity) == 1; }, 5s));
  const auto info = found.Last(endpoint);
  EXPECT_EQ(Text(info.address, sizeof(info.address)), "127.0.0.40");
  EXPECT_EQ(info.controlPort, 8080);
  EXPECT_EQ(info.streamPort, 554);
  EXPECT_EQ(Text(info.model, sizeof(info.model)), "QRV-CAM");
  // Three probes a round, each answered: still one report; a new round
  // reports it again.
  const auto roundEnd = std::chrono::steady_clock::now() + 3500ms;
  EXPECT_FALSE(WaitUntil([&] { return found.Count(endpoint) > 1; },
                         std::chrono::duration_cast<std::chrono::milliseconds>(
                             roundEnd - std::chrono::steady_clock::now())));
  ASSERT_EQ(e.client->Refresh(), dl::kOk);
  EXPECT_TRUE(WaitUntil([&] { return found.Count(endpoint) == 2; }, 5s));
  EXPECT_EQ(e.client->refusedAnswers(), 0u);
}

TEST_F(OnvifDiscoveryTest, OnlyAnswersToOurProbeCountAndAtTheAddressTheyCameFrom) {
  const std::string wrongRelation = "urn:uuid:00000000-0000-4000-8000-0000000000a1";
  const std::string elsewhere = "urn:uuid:00000000-0000-4000-8000-0000000000a2";
  const std::string announced = "urn:uuid:00000000-0000-4000-8000-0000000000a3";
  HostilePeer peer([&](const ov::ProbeRequest& probe, const HostilePeer::Send& send) {
    // Another probe's MessageID: refused.
    send(ov::BuildProbeMatches("urn:uuid:m1", "urn:uuid:not-the-probe",
                               {Camera(wrongRelation, {"http://127.0.0.77/onvif"})}));
    // Our probe, but the XAddrs name a host of the peer's choosing.
    send(ov::BuildProbeMatches("urn:uuid:m2", probe.messageId,
                               {Camera(elsewhere, {"http://10.9.9.9:8888/onvif/device_service"})}));
    // A Hello, even one naming our probe.
    send(Hello(announced, probe.messageId));
    // Not XML at all.
    send("\x01\x02 not a soap envelope");
  });
  ASSERT_TRUE(peer.ready());

  Enumeration e;
  ASSERT_EQ(e.client->Start(), dl::kOk);
  ASSERT_TRUE(WaitUntil([&] { return e.found.Count(elsewhere) == 1; }, 5s));
  const auto info = e.found.Last(elsewhere);
  EXPECT_EQ(Text(info.address, sizeof(info.address)), "127.0.0.77");
  EXPECT_EQ(info.controlPort, 80);

  // All three probes of the round heard and answered: three datagrams
  // refused for each, and the repeats of the good answer not reported.
  ASSERT_TRUE(WaitUntil([&] { return e.client->refusedAnswers() >= 9; }, 5s))
      << e.client->refusedAnswers();
  EXPECT_EQ(peer.probesHeard(), 3);
  // A Hello sent later, unasked.
  peer.SendUnasked(Hello(announced, ""));
  ASSERT_TRUE(WaitUntil([&] { return e.client->refusedAnswers() >= 10; }, 5s));
  EXPECT_EQ(e.found.Count(wrongRelation), 0);
  EXPECT_EQ(e.found.Count(announced), 0);
  EXPECT_EQ(e.found.Count(elsewhere), 1);
}

TEST_F(OnvifDiscoveryTest, NativeDiscoveryGoesOnWhenTheProbeCannotBeSent) {
  qrv::sim::Simulator sim;
  qrv::sim::DeviceConfig c;
  c.address = "127.0.0.41";
  c.identity = "SN-native-41";
  std::string error;
  ASSERT_NE(sim.AddDevice(c, &error), nullptr) << error;
  Enumeration e;
  // The socket may not broadcast: every send of the WS-Discovery probe fails.
  e.client->SetOnvifTarget({asio::ip::address_v4::broadcast(), ov::kDiscoveryPort});
  ASSERT_EQ(e.client->Start(), dl::kOk);
  EXPECT_TRUE(WaitUntil([&] { return e.found.Count(c.identity) == 1; }, 5s));
  ASSERT_EQ(e.client->Refresh(), dl::kOk);
  EXPECT_TRUE(WaitUntil([&] { return e.found.Count(c.identity) == 2; }, 5s));
}

}  // namespace
