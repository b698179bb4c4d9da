// The alarm listener while the process has no descriptor left: failed accepts
// back off instead of spinning, and accepting resumes once descriptors free.
// Lowers the process's descriptor limit, so it runs as a program of its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"
#include "support/wait.h"
#include "tests/hostile/hostile_peer.h"
#include "tests/tmcc/loopback.h"
#include "tmcc/native/alarm_listener.h"

namespace qrv::hostile {
namespace {

namespace dl = qrv::devicelib;
using qrv::test::LoopbackAddress;
using qrv::test::WaitUntil;

std::atomic<int> delivered{0};
int32_t CountAlarm(int32_t, dl::AlarmMessage*, void*) {
  ++delivered;
  return 0;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(AlarmPort, ExhaustedDescriptorsCostLittleCpuAndAcceptingResumes) {
  const auto ip = LoopbackAddress(1);
  auto listener = std::make_shared<tmcc::AlarmListener>();
  listener->SetCallback(CountAlarm, nullptr);
  ASSERT_EQ(listener->Start(0, asio::ip::make_address(ip)), dl::kOk);
  const uint16_t port = listener->port();

  // Sockets made first, connected after the limit: connect needs no descriptor.
  constexpr int kPeers = 70;
  std::vector<int> peers;
  for (int i = 0; i < kPeers; ++i) peers.push_back(socket(AF_INET, SOCK_STREAM, 0));
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit tight = old;
  tight.rlim_cur = 48;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
  for (int fd : peers) connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));

  ASSERT_TRUE(
      WaitUntil([&] { return listener->counts().acceptErrors > 0; }, std::chrono::seconds(5)));
  // A property over a window, not a timing: CPU time well under a tenth of wall time.
  const double cpu0 = CpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  WaitUntil([] { return false; }, std::chrono::seconds(2));
  const double cpu = CpuSeconds() - cpu0;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  EXPECT_LT(cpu, 0.1 * wall) << "cpu " << cpu << " s over " << wall << " s";
  EXPECT_LT(listener->counts().acceptErrors, 200u);

  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  for (int fd : peers) close(fd);
  // Descriptors are back: a device's alarm gets in.
  EXPECT_TRUE(SendAlarm(ip, port, LoopbackAddress(2), {1, 3, 1, ""}, std::chrono::seconds(5)));
  EXPECT_TRUE(WaitUntil([] { return delivered.load() == 1; }, std::chrono::seconds(5)));
  listener->Shutdown();
}

// Two shortages with accepting in between: the first runs long enough for
// the pause to reach its ceiling, the second starts again at the shortest.
// The test itself holds the descriptors, so the listener has no connection to
// shed and only its pause decides when it tries again.
TEST(AlarmPort, ASecondDescriptorShortageStartsAgainAtTheShortestPause) {
  const auto ip = LoopbackAddress(3);
  auto listener = std::make_shared<tmcc::AlarmListener>();
  listener->SetCallback(CountAlarm, nullptr);
  ASSERT_EQ(listener->Start(0, asio::ip::make_address(ip)), dl::kOk);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(listener->port());
  inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  const int probe = open("/dev/null", O_RDONLY);
  ASSERT_GE(probe, 0);
  close(probe);
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(probe) + 64;
  ASSERT_LE(tight.rlim_cur, old.rlim_cur);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);

  std::vector<int> peers, fillers;
  // Peers made first, every descriptor left then taken, then the peers
  // connect (connect needs no descriptor).
  auto shortage = [&] {
    for (int i = 0; i < 4; ++i) peers.push_back(socket(AF_INET, SOCK_STREAM, 0));
    for (int i = 0; i < 128; ++i) {
      const int fd = open("/dev/null", O_RDONLY);
      if (fd < 0) break;
      fillers.push_back(fd);
    }
    for (int fd : peers) connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  };
  auto release = [](std::vector<int>& fds) {
    for (int fd : fds) close(fd);
    fds.clear();
  };

  shortage();
  EXPECT_TRUE(WaitUntil([&] { return listener->counts().acceptPauseMs == 1000; },
                        std::chrono::seconds(10)));
  EXPECT_EQ(listener->counts().acceptErrorSpells, 1u);
  EXPECT_EQ(listener->counts().spellFirstPauseMs, 50u);
  release(fillers);
  EXPECT_TRUE(WaitUntil([&] { return listener->counts().accepted == 4; }, std::chrono::seconds(5)));
  release(peers);
  EXPECT_TRUE(WaitUntil([&] { return listener->connections() == 0; }, std::chrono::seconds(5)));

  shortage();
  EXPECT_TRUE(WaitUntil([&] { return listener->counts().acceptErrorSpells == 2; },
                        std::chrono::seconds(10)));
  EXPECT_EQ(listener->counts().spellFirstPauseMs, 50u);

  release(fillers);
  release(peers);
  EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  listener->Shutdown();
}

}  // namespace
}  // namespace qrv::hostile
