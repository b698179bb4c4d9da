// Discovery against a hostile peer on the network: a program of our own that
// hears the probes on the discovery port and answers with forged probe ids,
// stale ones and a flood of guesses. Only answers to the probe the library
// sent are reported. The program runs in a network namespace of its own, so
// its forgeries reach no other program on the machine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_errors.h"
#include "support/private_network.h"
#include "support/wait.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"
#include "tmcc/native/codec/parsers.h"

namespace dl = qrv::devicelib;
namespace pr = qrv::tmcc::protocol;
using qrv::test::WaitUntil;
using namespace std::chrono_literals;

namespace {

// Before main, so every thread of the program starts inside the namespace.
std::string gNetworkError;
const bool gPrivateNetwork = qrv::test::EnterPrivateNetwork(&gNetworkError);

struct Found {
  std::mutex mutex;
  std::map<std::string, int> count;  // identity -> reports
  int Count(const std::string& id) {
    std::lock_guard lock(mutex);
    auto it = count.find(id);
    return it == count.end() ? 0 : it->second;
  }
};

int32_t QRV_CALLBACK OnServer(dl::ServerInfoRecord* info, void* context) {
  auto* found = static_cast<Found*>(context);
  std::lock_guard lock(found->mutex);
  found->count[std::string(info->identity, ::strnlen(info->identity, sizeof(info->identity)))]++;
  return 1;
}

// The hostile peer: hears every probe on the discovery port and lets a script
// answer it. Stops when told to, or after 30 s at the latest.
class SpoofingPeer {
 public:
  // Called for each probe heard: (probe id, request id, send function).
  using Send = std::function<void(uint32_t requestId, const pr::ProbeAnswer&)>;
  using Script = std::function<void(uint32_t probeId, uint32_t requestId, const Send&)>;

  explicit SpoofingPeer(Script script) : script_(std::move(script)) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    setsockopt(fd_, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(pr::kDiscoveryPort);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    thread_ = std::thread([this] { Run(); });
  }
  ~SpoofingPeer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  bool bound() const { return bound_; }
  int probesHeard() const { return probes_.load(); }

 private:
  void Run() {
    const auto end = std::chrono::steady_clock::now() + 30s;
    std::vector<uint8_t> buffer(2048);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) != 1) continue;
      sockaddr_in from{};
      socklen_t length = sizeof(from);
      const ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &length);
      if (n <= 0) continue;
      auto r = pr::DecodeFrame(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
      if (r.status != pr::DecodeStatus::kFrame || r.frame.type != pr::MessageType::kProbe) continue;
      auto probe = pr::ParseProbe(r.frame.payload);
      if (!probe) continue;
      ++probes_;
      script_(probe->probeId, r.frame.requestId,
              [&](uint32_t requestId, const pr::ProbeAnswer& answer) {
                std::vector<uint8_t> frame;
                if (!pr::BuildProbeAnswer(frame, requestId, answer)) return;
                sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&from),
                       sizeof(from));
              });
    }
  }

  Script script_;
  int fd_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> probes_{0};
  std::thread thread_;
};

pr::ProbeAnswer Answer(uint32_t probeId, const std::string& identity) {
  pr::ProbeAnswer a;
  a.probeId = probeId;
  a.controlPort = 6001;
  a.streamPort = 6002;
  a.model = "QRV";
  a.identity = identity;
  a.address = "127.0.0.2";
  a.mask = "255.0.0.0";
  a.gateway = "127.0.0.1";
  return a;
}

class DiscoverySpoofTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gPrivateNetwork) << gNetworkError; }
};

TEST_F(DiscoverySpoofTest, OnlyAnswersToTheProbeSentAreReported) {
  std::mutex mutex;
  std::vector<uint32_t> probeIds;  // one entry per round, as the peer heard them
  int probesOfLastRound = 0;
  SpoofingPeer peer([&](uint32_t id, uint32_t requestId, const SpoofingPeer::Send& send) {
    uint32_t previous = 0;
    {
      std::lock_guard lock(mutex);
      if (probeIds.empty() || probeIds.back() != id) {
        probeIds.push_back(id);
        probesOfLastRound = 0;
      }
      ++probesOfLastRound;
      if (probeIds.size() >= 2) previous = probeIds[probeIds.size() - 2];
    }
    // Forged first: a later real answer then proves they were judged.
    send(id + 1, Answer(id + 1, "FORGED-NEXT"));
    send(requestId, Answer(id ^ 0x100u, "FORGED-PAYLOAD-ID"));
    send(requestId ^ 0x100u, Answer(id, "FORGED-REQUEST-ID"));
    send(0, Answer(0, "FORGED-ZERO"));
    if (previous != 0) send(previous, Answer(previous, "FORGED-OLD-ROUND"));
    send(requestId, Answer(id, "REAL"));
  });
  ASSERT_TRUE(peer.bound());

  Found found;
  const int32_t h = TMCC_Init(dl::kClientEnumeration);
  ASSERT_GT(h, 0);
  TMCC_RegisterEnumServerCallBack(h, OnServer, &found);
  ASSERT_EQ(TMCC_StartEnum(h), dl::kOk);
  ASSERT_TRUE(WaitUntil([&] { return found.Count("REAL") == 1; }, 5s));
  ASSERT_EQ(TMCC_RefreshEnum(h), dl::kOk);
  ASSERT_TRUE(WaitUntil([&] { return found.Count("REAL") == 2; }, 5s));
  // Every probe of the second round answered, the old round's id included.
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::lock_guard lock(mutex);
        return probeIds.size() == 2 && probesOfLastRound == 3;
      },
      5s));
  EXPECT_EQ(TMCC_StopEnum(h), dl::kOk);  // no report after this returns
  EXPECT_EQ(TMCC_Done(h), dl::kOk);

  std::lock_guard lock(found.mutex);
  EXPECT_EQ(found.count.size(), 1u) << "forged answers were reported";
  EXPECT_EQ(found.count["REAL"], 2);
  std::lock_guard ids(mutex);
  ASSERT_EQ(probeIds.size(), 2u);
  EXPECT_NE(probeIds[0], probeIds[1]) << "a new round sends a new probe id";
}

TEST_F(DiscoverySpoofTest, AHundredThousandGuessedProbeIdsReportNothing) {
  constexpr int kGuesses = 100000;
  std::atomic<int> rounds{0};
  std::atomic<bool> floodSent{false};
  SpoofingPeer peer([&](uint32_t id, uint32_t requestId, const SpoofingPeer::Send& send) {
    if (rounds.fetch_add(1) == 0) {
      // A peer that cannot see the probe can only guess its id.
      std::mt19937 random(12345);
      for (int n = 0; n < kGuesses; ++n) {
        uint32_t guess = static_cast<uint32_t>(random());
        if (guess == id) ++guess;
        send(guess, Answer(guess, "GUESS-" + std::to_string(n)));
      }
      floodSent = true;
    }
    send(requestId, Answer(id, "REAL"));
  });
  ASSERT_TRUE(peer.bound());

  Found found;
  const int32_t h = TMCC_Init(dl::kClientEnumeration);
  ASSERT_GT(h, 0);
  TMCC_RegisterEnumServerCallBack(h, OnServer, &found);
  ASSERT_EQ(TMCC_StartEnum(h), dl::kOk);
  ASSERT_TRUE(WaitUntil([&] { return floodSent.load(); }, 30s));
  // The flood may outlast the first round or crowd its real answers out of
  // the socket's buffer; a real answer in a round after it was sent shows
  // that every guess before it was judged.
  const int before = found.Count("REAL");
  ASSERT_EQ(TMCC_RefreshEnum(h), dl::kOk);
  ASSERT_TRUE(WaitUntil([&] { return found.Count("REAL") > before; }, 5s));
  EXPECT_EQ(TMCC_StopEnum(h), dl::kOk);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
  std::lock_guard lock(found.mutex);
  EXPECT_EQ(found.count.size(), 1u) << "a guessed probe id was reported";
}

}  // namespace
