// End-to-end benchmark: prints tables, asserts nothing.
//
// (a) One stream pushed as fast as a simulated device can send it (replay
//     flood), received and recorded through the plug-in and our device
//     library, against a plain epoll recv + write loop receiving the same
//     device's stream, and ffmpeg (-c copy) receiving the same H.264 bytes.
//     The plug-in and the plain loop take turns in short pairs, so the
//     machine's slow minutes hit both sides of a pair alike; printed are the
//     median of the pairs' ratios and how far they spread.
// (b) Many slots streaming in real time (by default 256 x 4 Mbit/s 1080p at
//     25 fps), recording to files: frames sent = delivered = in files, host
//     CPU per byte against a plain epoll loop receiving the same streams from
//     the same kind of devices, peak memory, and the callback delay.
// (c) As (b), with one stream's host callback blocking 1 s on every 25th
//     packet and one stream's callback sleeping before every packet (its
//     recording write waits behind it): what the other streams and the two
//     stalled ones lose, and their delay against (b). Frames the devices sent
//     are waited for (bounded) after the devices stop sending; those still on
//     their way then are counted as in flight, apart from the lost ones.
//
// Every simulated device fleet and the plain loop run in child processes
// (this program started again with a child-mode argument), so the CPU and
// memory figures of the plug-in runs are the host process's alone.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devicelib/tmcc_extensions.h"
#include "host/kit/annexb_scan.h"
#include "host/kit/media_probe.h"
#include "host/kit/plugin_host.h"
#include "host/kit/requests.h"
#include "host/kit/spread.h"
#include "host/sim/fleet.h"
#include "tmcc/native/codec/auth.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"
#include "tmcc/native/codec/parsers.h"

extern char** environ;

namespace {

using namespace qrv::host;
namespace proto = qrv::tmcc::protocol;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double CpuSeconds(const rusage& r) {
  return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double ProcessCpu() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return CpuSeconds(r);
}

// Waits without busy looping; the bench's only pauses, each bounded.
void Pause(std::chrono::milliseconds d) {
  std::this_thread::sleep_for(d);
}

// Peak resident memory since the last ResetPeakMemory (kB), from /proc.
long ProcStatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
      return std::strtol(line.c_str() + n + 1, nullptr, 10);
  }
  return -1;
}

void ResetPeakMemory() {
  // "5" resets the peak resident set size (VmHWM) to the current one.
  std::ofstream("/proc/self/clear_refs") << "5";
}

// The device library's network-thread figures, when the library the
// plug-in loaded offers them.
std::optional<qrv::devicelib::NetworkPoolStats> LibraryPoolStats() {
  void* library = dlopen("libtmControlClient.so.1", RTLD_LAZY | RTLD_NOLOAD);
  if (library == nullptr) library = dlopen("libtmControlClient.so", RTLD_LAZY | RTLD_NOLOAD);
  if (library == nullptr) return std::nullopt;
  std::optional<qrv::devicelib::NetworkPoolStats> stats;
  auto get = reinterpret_cast<qrv::devicelib::GetNetworkPoolStatsFunction>(
      dlsym(library, qrv::devicelib::kGetNetworkPoolStatsName));
  qrv::devicelib::NetworkPoolStats s;
  if (get != nullptr && get(&s) == 0) stats = s;
  dlclose(library);
  return stats;
}

void PrintPoolStats(const std::optional<qrv::devicelib::NetworkPoolStats>& before,
                    const std::optional<qrv::devicelib::NetworkPoolStats>& after) {
  if (!after) {
    std::printf("  device library network threads: not reported by this library\n");
    return;
  }
  std::printf(
      "  device library: %u network threads now (%u kept free of host callbacks); "
      "%llu added while callbacks held threads, %llu left again, in this run\n",
      after->threads, after->freeThreads,
      static_cast<unsigned long long>(after->added - (before ? before->added : 0)),
      static_cast<unsigned long long>(after->retired - (before ? before->retired : 0)));
}

// ---- child processes: this program again, in a child mode, on two pipes ----

struct Child {
  pid_t pid = -1;
  FILE* to = nullptr;
  FILE* from = nullptr;

  bool Send(const std::string& line) {
    if (to == nullptr) return false;
    std::fprintf(to, "%s\n", line.c_str());
    return std::fflush(to) == 0;
  }
  std::optional<std::string> Line() {
    char buffer[512];
    if (from == nullptr || std::fgets(buffer, sizeof buffer, from) == nullptr) return std::nullopt;
    return std::string(buffer);
  }
  void End() {
    if (pid <= 0) return;
    Send("exit");
    if (to) std::fclose(to);
    if (from) std::fclose(from);
    to = from = nullptr;
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  ~Child() { End(); }
};

// Starts this program with `args`; the child's stdin and stdout are the
// pipes. posix_spawn, because this process has threads by then; the child
// closes every other descriptor so it holds none of the plug-in's sockets.
std::unique_ptr<Child> Spawn(const std::vector<std::string>& args) {
  int down[2], up[2];
  if (pipe2(down, O_CLOEXEC) != 0) return nullptr;
  if (pipe2(up, O_CLOEXEC) != 0) {
    close(down[0]);
    close(down[1]);
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, down[0], 0);
  posix_spawn_file_actions_adddup2(&actions, up[1], 1);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<std::string> all{"/proc/self/exe"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  auto child = std::make_unique<Child>();
  const int error =
      posix_spawn(&child->pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(down[0]);
  close(up[1]);
  if (error != 0) {
    close(down[1]);
    close(up[0]);
    return nullptr;
  }
  child->to = fdopen(down[1], "w");
  child->from = fdopen(up[0], "r");
  return child;
}

// A fleet of devices in a child; answers "ok" when they listen. On "stop" the
// devices send no more frames but keep their connections, so frames already
// queued still arrive; then it prints per device "sent dropped": the video
// frames sent and those the device left out because the viewer fell behind.
// The connections close on "exit".
int SimChildMain(const FleetOptions& options) {
  std::string error;
  auto fleet = Fleet::Start(options, &error);
  if (!fleet) {
    std::printf("error %s\n", error.c_str());
    return 1;
  }
  std::printf("ok\n");
  std::fflush(stdout);
  char line[64];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    if (std::strncmp(line, "stop", 4) == 0) {
      // Stopped before counting: no frame is counted after the count is
      // taken.
      for (size_t i = 0; i < fleet->size(); ++i) fleet->device(i).StopMedia();
      for (size_t i = 0; i < fleet->size(); ++i) {
        uint64_t sent = 0, dropped = 0;
        for (const auto& s : fleet->device(i).Observe().streams) {
          sent += s.frames;
          dropped += s.framesDropped;
        }
        std::printf("%llu %llu\n", static_cast<unsigned long long>(sent),
                    static_cast<unsigned long long>(dropped));
      }
      std::fflush(stdout);
    } else if (std::strncmp(line, "exit", 4) == 0) {
      break;
    }
  }
  return 0;
}

std::unique_ptr<Child> StartFleet(const FleetOptions& o) {
  auto child = Spawn({"--child-fleet", o.baseAddress, std::to_string(o.count),
                      std::to_string(o.media.width), std::to_string(o.media.height),
                      std::to_string(o.media.fps), std::to_string(o.media.gop),
                      std::to_string(o.media.bitrateKbps), o.flood ? "1" : "0"});
  if (!child) return nullptr;
  auto line = child->Line();
  if (!line || line->compare(0, 2, "ok") != 0) {
    std::fprintf(stderr, "simulated devices did not start: %s", line ? line->c_str() : "-\n");
    return nullptr;
  }
  return child;
}

struct DeviceCounts {
  uint64_t sent = 0;
  uint64_t dropped = 0;
};

std::vector<DeviceCounts> StopFleet(Child& child, size_t devices) {
  child.Send("stop");
  std::vector<DeviceCounts> counts;
  while (counts.size() < devices) {
    auto line = child.Line();
    if (!line) break;
    DeviceCounts c;
    char* end = nullptr;
    c.sent = std::strtoull(line->c_str(), &end, 10);
    c.dropped = std::strtoull(end, nullptr, 10);
    counts.push_back(c);
  }
  return counts;
}

// ---- the plain loop: stream sessions, then recv + write, one epoll thread ----

// Reads exactly one frame (blocking); false on error or close.
bool ReadFrame(int fd, std::vector<uint8_t>& bytes, proto::FrameView& frame) {
  bytes.resize(proto::kFrameHeaderSize);
  if (recv(fd, bytes.data(), bytes.size(), MSG_WAITALL) != ssize_t(bytes.size())) return false;
  uint32_t length = 0;
  std::memcpy(&length, bytes.data() + 12, 4);  // little-endian hosts only
  if (length > 4096) return false;             // hello and login result are small
  bytes.resize(proto::kFrameHeaderSize + length);
  if (length > 0 &&
      recv(fd, bytes.data() + proto::kFrameHeaderSize, length, MSG_WAITALL) != ssize_t(length))
    return false;
  auto decoded = proto::DecodeFrame(bytes, 4096);
  if (decoded.status != proto::DecodeStatus::kFrame) return false;
  frame = decoded.frame;
  return true;
}

// Connects a stream session the way the device library does (greeting, login
// with proof, result), then leaves the connection to the caller: the device
// sends the stream header and video from then on.
int OpenPlainStream(const std::string& address, uint16_t port, const std::string& user,
                    const std::string& password) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  timeval timeout{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::vector<uint8_t> bytes;
  proto::FrameView frame;
  bool ok = inet_pton(AF_INET, address.c_str(), &addr.sin_addr) == 1 &&
            connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ReadFrame(fd, bytes, frame) && frame.type == proto::MessageType::kServerHello;
  auto hello = ok ? proto::ParseServerHello(frame.payload) : std::nullopt;
  ok = hello.has_value();
  proto::Login login;
  if (ok) {
    login.purpose = proto::Purpose::kStream;
    login.user = user;
    ok = proto::MakeNonce(login.clientNonce);
    login.proof = proto::ComputeClientProof(password, hello->serverNonce, login.clientNonce,
                                            login.purpose, 0, user);
    std::vector<uint8_t> out;
    ok = ok && proto::BuildLogin(out, 1, login) &&
         send(fd, out.data(), out.size(), MSG_NOSIGNAL) == ssize_t(out.size());
  }
  ok = ok && ReadFrame(fd, bytes, frame) && frame.type == proto::MessageType::kLoginResult;
  auto result = ok ? proto::ParseLoginResult(frame.payload) : std::nullopt;
  if (!result || result->status != proto::LoginStatus::kAccepted) {
    close(fd);
    return -1;
  }
  timeval none{0, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Commands: "run BASE COUNT PORT USER PASSWORD SECONDS DIR"; answers
// "done BYTES CPU WALL FAILED". CPU is this process's, from before the first
// connect to the last write, as the plug-in run counts from its first open.
int PlainChildMain() {
  char line[1024];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    char base[64], user[64], password[64], dir[512];
    int count = 0, port = 0;
    double seconds = 0;
    if (std::sscanf(line, "run %63s %d %d %63s %63s %lf %511s", base, &count, &port, user, password,
                    &seconds, dir) != 7) {
      if (std::strncmp(line, "exit", 4) == 0) break;
      continue;
    }
    const double cpu0 = ProcessCpu();
    const auto t0 = Clock::now();
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> sockets, files;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
      int fd =
          OpenPlainStream(LoopbackAddress(base, i), static_cast<uint16_t>(port), user, password);
      if (fd < 0) {
        ++failed;
        continue;
      }
      std::string path = std::string(dir) + "/plain-" + std::to_string(i) + ".bin";
      int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u32 = static_cast<uint32_t>(sockets.size());
      epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
      sockets.push_back(fd);
      files.push_back(file);
    }
    std::vector<uint8_t> ping;
    proto::BuildPing(ping, 0);
    std::vector<char> buffer(256 * 1024);
    std::vector<epoll_event> events(64);
    uint64_t bytes = 0;
    const auto end =
        t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto nextPing = t0 + std::chrono::seconds(1);
    for (;;) {
      const auto now = Clock::now();
      if (now >= end) break;
      if (now >= nextPing) {
        // The devices drop a viewer that says nothing for 10 s.
        for (int fd : sockets) send(fd, ping.data(), ping.size(), MSG_NOSIGNAL);
        nextPing += std::chrono::seconds(1);
      }
      const auto wait = std::min(end, nextPing) - now;
      const int n =
          epoll_wait(epoll, events.data(), int(events.size()),
                     int(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()) + 1);
      for (int k = 0; k < n; ++k) {
        const uint32_t i = events[size_t(k)].data.u32;
        // Drain what is there: one read of up to 256 KiB, one write of it.
        for (;;) {
          ssize_t got = recv(sockets[i], buffer.data(), buffer.size(), 0);
          if (got <= 0) {
            if (got == 0) epoll_ctl(epoll, EPOLL_CTL_DEL, sockets[i], nullptr);
            break;
          }
          bytes += uint64_t(got);
          if (write(files[i], buffer.data(), size_t(got)) != got) ++failed;
          if (size_t(got) < buffer.size()) break;
        }
      }
    }
    for (size_t i = 0; i < sockets.size(); ++i) {
      close(sockets[i]);
      close(files[i]);
    }
    close(epoll);
    const double cpu = ProcessCpu() - cpu0;
    const double wall = Seconds(Clock::now() - t0);
    for (int i = 0; i < count; ++i) {
      std::error_code ec;
      std::filesystem::remove(std::string(dir) + "/plain-" + std::to_string(i) + ".bin", ec);
    }
    std::printf("done %llu %.6f %.6f %d\n", static_cast<unsigned long long>(bytes), cpu, wall,
                failed);
    std::fflush(stdout);
  }
  return 0;
}

struct Rate {
  double seconds = 0;
  double cpu = 0;
  uint64_t bytes = 0;
  double MBps() const { return seconds > 0 ? double(bytes) / seconds / 1e6 : 0; }
  double CpuPerGB() const { return bytes > 0 ? cpu / (double(bytes) / 1e9) : 0; }
  double MBperCpuSecond() const { return cpu > 0 ? double(bytes) / cpu / 1e6 : 0; }
};

struct PlainRun {
  Rate rate;
  int failed = 0;
};

std::optional<PlainRun> RunPlain(Child& plain, const FleetOptions& fleet, double seconds,
                                 const std::string& dir) {
  plain.Send("run " + fleet.baseAddress + " " + std::to_string(fleet.count) + " " +
             std::to_string(proto::kStreamPort) + " " + fleet.user + " " + fleet.password + " " +
             std::to_string(seconds) + " " + dir);
  auto line = plain.Line();
  PlainRun run;
  unsigned long long bytes = 0;
  if (!line || std::sscanf(line->c_str(), "done %llu %lf %lf %d", &bytes, &run.rate.cpu,
                           &run.rate.seconds, &run.failed) != 4)
    return std::nullopt;
  run.rate.bytes = bytes;
  return run;
}

// ---- host side ----

// Per stream, written by the one thread delivering the stream at a time and
// read by the main thread after the run (or for progress). Plain loads and
// stores, no read-modify-write: the callback pays what a plain loop pays
// for counting, plus one clock read per video frame for the delay figure.
struct StreamProbe {
  std::atomic<uint64_t> packets{0};
  std::atomic<uint64_t> frames{0};
  std::atomic<uint64_t> bytes{0};
  std::vector<int64_t> arrivals;  // ns since g_start, video frames only
  // The stalled streams of run (c).
  int sleepEvery = 0;  // sleep on every n-th packet (0: never)
  int sleepMs = 0;
};

Clock::time_point g_start;

inline void Count(std::atomic<uint64_t>& counter, uint64_t n) {
  counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

int32_t QRV_CALLBACK OnFloodData(int32_t, const uint8_t*, uint32_t length, StreamFrameInfo,
                                 uintptr_t user) {
  Count(reinterpret_cast<StreamProbe*>(user)->bytes, length);
  return 0;
}

int32_t QRV_CALLBACK OnScaleData(int32_t type, const uint8_t*, uint32_t length, StreamFrameInfo,
                                 uintptr_t user) {
  auto* probe = reinterpret_cast<StreamProbe*>(user);
  const uint64_t packet = probe->packets.load(std::memory_order_relaxed) + 1;
  probe->packets.store(packet, std::memory_order_relaxed);
  if (probe->sleepEvery > 0 && packet % uint64_t(probe->sleepEvery) == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(probe->sleepMs));
  Count(probe->bytes, length);
  if (type == kStreamDataVideo) {
    const uint64_t n = probe->frames.load(std::memory_order_relaxed);
    if (n < probe->arrivals.size()) {
      probe->arrivals[n] =
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - g_start).count();
    }
    probe->frames.store(n + 1, std::memory_order_release);
  }
  return 0;
}

// ---- ffmpeg for comparison in run (a) ----

int ListenLoopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 1) != 0) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

// Forks a sender that accepts one connection and sends `total` bytes taken
// from `data` round and round, then closes. Only system calls in the child.
pid_t StartSender(int listenFd, const std::vector<uint8_t>& data, uint64_t total) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = accept(listenFd, nullptr, nullptr);
    uint64_t sent = 0;
    size_t at = 0;
    while (fd >= 0 && sent < total) {
      size_t chunk = std::min<uint64_t>(data.size() - at, total - sent);
      chunk = std::min<size_t>(chunk, 256 * 1024);
      ssize_t n = write(fd, data.data() + at, chunk);
      if (n <= 0) break;
      sent += static_cast<uint64_t>(n);
      at = (at + static_cast<size_t>(n)) % data.size();
    }
    if (fd >= 0) close(fd);
    _exit(0);
  }
  return pid;
}

std::optional<Rate> FfmpegReceive(const std::vector<uint8_t>& data, uint64_t total,
                                  const std::string& path) {
  uint16_t port = 0;
  int listenFd = ListenLoopback(&port);
  if (listenFd < 0) return std::nullopt;
  pid_t sender = StartSender(listenFd, data, total);
  close(listenFd);
  Rate rate;
  std::string url = "tcp://127.0.0.1:" + std::to_string(port);
  auto t0 = Clock::now();
  pid_t ffmpeg = fork();
  if (ffmpeg == 0) {
    execlp("ffmpeg", "ffmpeg", "-loglevel", "error", "-y", "-f", "h264", "-i", url.c_str(), "-c",
           "copy", "-f", "h264", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(ffmpeg, &status, 0, &usage);
  rate.seconds = Seconds(Clock::now() - t0);
  rate.cpu = CpuSeconds(usage);
  std::error_code ec;
  rate.bytes = std::filesystem::file_size(path, ec);
  std::filesystem::remove(path, ec);
  waitpid(sender, nullptr, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return rate;
}

// ---- the runs ----

struct Options {
  std::string plugin;
  std::string dir = "/dev/shm/qrv-e2e-bench";  // tmpfs: the disk is not what is measured
  std::string runs = "abc";
  double floodSeconds = 0.5;  // run (a): each leg of a pair
  int floodPairs = 20;
  double scaleSeconds = 10;
  double drainSeconds = 30;  // runs (b), (c): the longest wait for frames on their way
  int streams = 256;
  int width = 1920;
  int height = 1080;
  int fps = 25;
  int bitrateKbps = 4000;
  int blockEvery = 25;  // run (c): stream 0 blocks on every n-th packet ...
  int blockMs = 1000;   // ... for this long
  int slowMs = 50;      // run (c): stream 1 sleeps this long before every packet
};

Credentials DeviceOf(const FleetOptions& f, int i) {
  return {LoopbackAddress(f.baseAddress, i), f.user, f.password, f.controlPort};
}

// One line of run (a): median throughput and CPU per byte, and the median
// MB per CPU second with the middle half and the extremes of the legs.
void PrintRate(const char* name, const std::vector<Rate>& rates, double plainMBperCpuSecond) {
  std::vector<double> mbps, cpuPerGB, perCpu;
  for (const auto& r : rates) {
    mbps.push_back(r.MBps());
    cpuPerGB.push_back(r.CpuPerGB());
    perCpu.push_back(r.MBperCpuSecond());
  }
  const Spread s = SpreadOf(perCpu);
  std::printf(
      "  %-34s %7.1f MB/s %5.2f CPU s/GB %7.1f MB/CPU s (middle half %.0f-%.0f, all %.0f-%.0f)"
      " %5.2f x plain\n",
      name, SpreadOf(mbps).median, SpreadOf(cpuPerGB).median, s.median, s.lowerQuartile,
      s.upperQuartile, s.min, s.max, plainMBperCpuSecond > 0 ? s.median / plainMBperCpuSecond : 0);
}

// One leg of run (a) through the plug-in: the device's flood recorded into a
// .264 file for `seconds`. CPU is the whole host process's from the open to
// the close. The first recording's start is kept in `h264` for ffmpeg.
std::optional<Rate> RecordFloodLeg(Requests& requests, int32_t slot, const Credentials& device,
                                   const Options& options, std::vector<uint8_t>& h264) {
  const std::string base = options.dir + "/flood";
  Reply record = requests.StartRecording(slot, base);
  const double cpu0 = ProcessCpu();
  const auto t0 = Clock::now();
  Reply open = requests.OpenStream(slot, device, 0);
  Pause(std::chrono::milliseconds(static_cast<int64_t>(options.floodSeconds * 1000)));
  requests.CloseStream(slot);
  Rate recorded;
  recorded.seconds = Seconds(Clock::now() - t0);
  recorded.cpu = ProcessCpu() - cpu0;
  requests.StopRecording(slot);
  const std::string path = base + ".264";
  std::error_code ec;
  recorded.bytes = std::filesystem::file_size(path, ec);
  if (!record.ok() || !open.ok() || recorded.bytes == 0 || recorded.cpu <= 0) {
    std::printf("flood stream: recording %d, open %d, nothing recorded\n", record.code, open.code);
    std::filesystem::remove(path, ec);
    return std::nullopt;
  }
  if (h264.empty()) {
    std::ifstream in(path, std::ios::binary);
    h264.resize(std::min<uint64_t>(recorded.bytes, 64u << 20));
    in.read(reinterpret_cast<char*>(h264.data()), std::streamsize(h264.size()));
  }
  // tmpfs pages count against the sandbox's memory: every leg starts empty.
  std::filesystem::remove(path, ec);
  return recorded;
}

bool RunFlood(const Options& options, PluginHost& plugin, Child& plainChild) {
  FleetOptions flood;
  flood.baseAddress = ProcessLoopbackBase(3);
  flood.count = 1;
  flood.replay = true;
  flood.flood = true;
  flood.answerDiscovery = false;
  flood.media = {1920, 1080, 25, 50, options.bitrateKbps};
  auto fleet = StartFleet(flood);
  if (!fleet) return false;
  const Credentials device = DeviceOf(flood, 0);
  Requests requests(plugin.access());
  Reply login = requests.Login(device);
  if (!login.ok()) {
    std::printf("flood login failed: %d (%s)\n", login.code,
                DescribeExecuteResult(login.code).c_str());
    return false;
  }
  const int32_t slot = login.OutputInt("LOGINID");
  StreamProbe probe;
  plugin.access().SetStreamDataCallback(static_cast<uint32_t>(slot), &OnFloodData,
                                        reinterpret_cast<uintptr_t>(&probe));
  std::vector<Rate> plugins, plains, ffmpegs;
  std::vector<double> ratios, overheads;
  std::vector<uint8_t> h264;  // the first recording's start, for ffmpeg
  uint64_t firstRecording = 0;
  bool ok = true;
  for (int pair = 0; pair < options.floodPairs && ok; ++pair) {
    // Each side goes first in every other pair: a machine getting faster or
    // slower over a pair favours neither.
    const bool pluginFirst = pair % 2 == 0;
    std::optional<Rate> recorded, plain;
    for (int leg = 0; leg < 2 && ok; ++leg) {
      if ((leg == 0) == pluginFirst) {
        recorded = RecordFloodLeg(requests, slot, device, options, h264);
        ok = recorded.has_value();
      } else {
        auto run = RunPlain(plainChild, flood, options.floodSeconds, options.dir);
        ok = run && run->failed == 0 && run->rate.cpu > 0 && run->rate.bytes > 0;
        if (ok) {
          plain = run->rate;
        } else {
          std::printf("plain loop failed\n");
        }
      }
    }
    if (!ok) break;
    if (firstRecording == 0) firstRecording = recorded->bytes;
    plugins.push_back(*recorded);
    plains.push_back(*plain);
    ratios.push_back(recorded->MBperCpuSecond() / plain->MBperCpuSecond());
    // The plug-in's CPU per byte beyond the plain loop's, in per cent.
    overheads.push_back((recorded->CpuPerGB() / plain->CpuPerGB() - 1) * 100);
    std::printf("  (a) pair %2d, %s first: plug-in %.1f MB/CPU s, plain %.1f MB/CPU s -> %.2f\n",
                pair + 1, pluginFirst ? "plug-in" : "plain  ", recorded->MBperCpuSecond(),
                plain->MBperCpuSecond(), ratios.back());
    std::fflush(stdout);
  }
  requests.Logout(slot);
  // ffmpeg apart from the pairs, which it would only spread further apart.
  for (int run = 0; ok && run < std::min(3, options.floodPairs); ++run) {
    auto ffmpeg = FfmpegReceive(h264, std::min<uint64_t>(firstRecording, 1u << 30),
                                options.dir + "/ffmpeg.264");
    if (!ffmpeg) break;
    ffmpegs.push_back(*ffmpeg);
  }
  fleet->End();
  if (!ok) return false;

  std::vector<double> plainPerCpu;
  for (const auto& r : plains) plainPerCpu.push_back(r.MBperCpuSecond());
  const double plainMedian = SpreadOf(plainPerCpu).median;
  std::printf(
      "\n(a) one stream as fast as it comes, 1080p, loopback TCP: %d pairs of %.1f s legs, the "
      "plug-in and the plain loop going first in turn; medians\n",
      options.floodPairs, options.floodSeconds);
  PrintRate("plain epoll recv + write loop", plains, plainMedian);
  PrintRate("plug-in + device library -> .264", plugins, plainMedian);
  if (!ffmpegs.empty()) {
    PrintRate("ffmpeg -f h264 -i tcp:// -c copy", ffmpegs, plainMedian);
  } else {
    std::printf("  ffmpeg: not available\n");
  }
  const Spread ratio = SpreadOf(ratios);
  const Spread overhead = SpreadOf(overheads);
  std::printf(
      "  plug-in MB per CPU second / plain loop's, per pair: median %.2f, middle half %.2f-%.2f, "
      "all %.2f-%.2f (%zu pairs)\n",
      ratio.median, ratio.lowerQuartile, ratio.upperQuartile, ratio.min, ratio.max, ratio.count);
  std::printf(
      "  plug-in CPU per byte beyond the plain loop's, per pair: median %+.1f %%, middle half "
      "%+.1f %% to %+.1f %%\n",
      overhead.median, overhead.lowerQuartile, overhead.upperQuartile);
  std::printf(
      "  (plug-in CPU: the whole host process, library threads, plug-in, file writes;\n"
      "   plain loop CPU: its process, socket reads and file writes of the same device's bytes)\n");
  return true;
}

// A stream's video frames at the end of a run. A frame the device counted as
// sent that had not reached the host when the wait for it ended is in
// flight (the device's queue or the sockets still hold it), not lost; lost
// are the frames the device left out and those delivered but missing from
// the recording.
struct FrameFate {
  uint64_t inFlight = 0;
  int64_t lost = 0;
};

FrameFate FateOf(const DeviceCounts& device, uint64_t delivered, uint64_t inFile) {
  FrameFate f;
  f.inFlight = device.sent > delivered ? device.sent - delivered : 0;
  f.lost = int64_t(device.sent + device.dropped) - int64_t(inFile) - int64_t(f.inFlight);
  return f;
}

struct ScaleRun {
  int failures = 0;
  int emptyFiles = 0;
  std::vector<DeviceCounts> device;
  std::vector<uint64_t> delivered, inFiles;
  uint64_t bytes = 0;  // delivered to the host callbacks
  double cpu = 0, wall = 0, videoSeconds = 0;
  double drainSeconds = 0;  // waited for frames on their way after the devices stopped
  long peakKb = 0;
  int recordFailures = 0;
  int lossReports = 0;    // streams that lost or still awaited frames, described line by line
  std::string lossLines;  // those lines, printed with the run's figures
  std::optional<qrv::devicelib::NetworkPoolStats> statsBefore, statsAfter;
  std::vector<std::vector<double>> delays;  // per stream, seconds beyond its best
};

ScaleRun RunScaleOnce(const Options& options, PluginHost& plugin, const FleetOptions& fleetOptions,
                      bool stalls) {
  ScaleRun run;
  auto fleet = StartFleet(fleetOptions);
  if (!fleet) {
    run.failures = -1;
    return run;
  }
  const size_t n = size_t(fleetOptions.count);
  Requests requests(plugin.access());
  std::vector<int32_t> slots(n, -1);
  std::vector<StreamProbe> probes(n);
  const size_t capacity = static_cast<size_t>((options.scaleSeconds + 20) * options.fps) + 64;
  if (stalls) {
    probes[0].sleepEvery = options.blockEvery;
    probes[0].sleepMs = options.blockMs;
    if (n > 1) {
      probes[1].sleepEvery = 1;
      probes[1].sleepMs = options.slowMs;
    }
  }
  for (size_t i = 0; i < n; ++i) {
    Reply login = requests.Login(DeviceOf(fleetOptions, int(i)));
    if (!login.ok()) {
      ++run.failures;
      continue;
    }
    slots[i] = login.OutputInt("LOGINID");
    probes[i].arrivals.assign(capacity, 0);
    plugin.access().SetStreamDataCallback(static_cast<uint32_t>(slots[i]), &OnScaleData,
                                          reinterpret_cast<uintptr_t>(&probes[i]));
    Reply record = requests.StartRecording(slots[i], options.dir + "/scale-" + std::to_string(i));
    if (!record.ok() && ++run.recordFailures <= 3) {
      std::printf("  stream %zu: starting the recording failed: %d (%s)\n", i, record.code,
                  DescribeExecuteResult(record.code).c_str());
    }
  }
  ResetPeakMemory();
  run.statsBefore = LibraryPoolStats();
  const double cpu0 = ProcessCpu();
  const auto t0 = Clock::now();
  for (size_t i = 0; i < n; ++i) {
    if (slots[i] >= 0 && !requests.OpenStream(slots[i], DeviceOf(fleetOptions, int(i)), 0).ok())
      ++run.failures;
  }
  Pause(std::chrono::milliseconds(static_cast<int64_t>(options.scaleSeconds * 1000)));
  run.device = StopFleet(*fleet, n);
  const auto stopAt = Clock::now();
  // The devices send nothing more but keep their connections: frames on their
  // way still arrive (a slow stream's backlog takes seconds). Wait until
  // every stream has what its device sent, or the bound passes. Polled: the
  // callbacks stay as cheap as the plain loop's counting.
  const auto deadline = stopAt + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(options.drainSeconds));
  for (;;) {
    bool all = true;
    for (size_t i = 0; i < n && i < run.device.size(); ++i)
      all = all && probes[i].frames.load(std::memory_order_acquire) >= run.device[i].sent;
    if (all || Clock::now() >= deadline) break;
    Pause(std::chrono::milliseconds(20));
  }
  run.drainSeconds = Seconds(Clock::now() - stopAt);
  run.wall = Seconds(Clock::now() - t0);
  run.cpu = ProcessCpu() - cpu0;
  run.peakKb = ProcStatusKb("VmHWM");
  run.statsAfter = LibraryPoolStats();
  run.videoSeconds = Seconds(stopAt - t0);
  for (size_t i = 0; i < n; ++i) {
    if (slots[i] < 0) continue;
    requests.CloseStream(slots[i]);
    requests.StopRecording(slots[i]);
    requests.Logout(slots[i]);
  }
  fleet->End();

  const double period = 1.0 / options.fps;
  run.delays.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t delivered = probes[i].frames.load();
    run.delivered.push_back(delivered);
    run.bytes += probes[i].bytes.load();
    const std::string path = options.dir + "/scale-" + std::to_string(i) + ".264";
    const FilePictures file = CountPicturesInFile(path);
    run.inFiles.push_back(file.pictures);
    const DeviceCounts counted = i < run.device.size() ? run.device[i] : DeviceCounts{};
    const FrameFate fate = FateOf(counted, delivered, file.pictures);
    const bool unfinished = i >= run.device.size() || fate.lost != 0 || fate.inFlight > 0;
    if (unfinished && ++run.lossReports <= 8) {
      char line[320];
      std::snprintf(line, sizeof(line),
                    "  stream %zu: sent %llu, dropped by the device %llu, delivered %llu, in file "
                    "%llu (%llu IDR, first slice type %d, %llu bytes) -> in flight %llu, lost "
                    "%lld%s\n",
                    i, static_cast<unsigned long long>(counted.sent),
                    static_cast<unsigned long long>(counted.dropped),
                    static_cast<unsigned long long>(delivered),
                    static_cast<unsigned long long>(file.pictures),
                    static_cast<unsigned long long>(file.idrPictures), file.firstVclType,
                    static_cast<unsigned long long>(file.bytes),
                    static_cast<unsigned long long>(fate.inFlight),
                    static_cast<long long>(fate.lost),
                    i < run.device.size() ? "" : " (the device's counts are missing)");
      run.lossLines += line;
    }
    if (file.pictures == 0) ++run.emptyFiles;
    std::error_code ec;
    std::filesystem::remove(path, ec);
    // Frames leave the device on a fixed cadence: frame k at t0 + k * period.
    // The delay of frame k is its arrival minus that schedule, with t0 taken
    // from the stream's fastest frame, so it is the delay beyond the best
    // case. A new viewer first gets the frames since the last IDR in a burst:
    // the first two GOPs are left out. A stream that lost frames has no
    // cadence to measure against, so it has no delay figures.
    const bool lost =
        i >= run.device.size() || run.device[i].dropped > 0 || delivered != run.device[i].sent;
    if (lost) continue;
    const size_t count = std::min<size_t>(delivered, probes[i].arrivals.size());
    const size_t skip = 2 * 50;
    double best = 1e300;
    for (size_t k = skip; k < count; ++k)
      best = std::min(best, double(probes[i].arrivals[k]) / 1e9 - double(k) * period);
    for (size_t k = skip; k < count; ++k)
      run.delays[i].push_back(double(probes[i].arrivals[k]) / 1e9 - double(k) * period - best);
  }
  return run;
}

struct Totals {
  uint64_t produced = 0, sent = 0, delivered = 0, inFiles = 0, inFlight = 0;
  int64_t lost = 0;
  size_t streamsLosing = 0, streamsInFlight = 0, streamsMeasured = 0;
  std::vector<double> delays;
  double Pct(double p) const {
    return delays.empty() ? 0 : delays[static_cast<size_t>(p * double(delays.size() - 1))];
  }
};

Totals Sum(const ScaleRun& run, size_t from, size_t to) {
  Totals t;
  for (size_t i = from; i < to && i < run.device.size(); ++i) {
    t.produced += run.device[i].sent + run.device[i].dropped;
    t.sent += run.device[i].sent;
    t.delivered += run.delivered[i];
    t.inFiles += run.inFiles[i];
    const FrameFate fate = FateOf(run.device[i], run.delivered[i], run.inFiles[i]);
    t.inFlight += fate.inFlight;
    t.lost += fate.lost;
    if (fate.lost != 0) ++t.streamsLosing;
    if (fate.inFlight > 0) ++t.streamsInFlight;
    if (!run.delays[i].empty()) ++t.streamsMeasured;
    t.delays.insert(t.delays.end(), run.delays[i].begin(), run.delays[i].end());
  }
  std::sort(t.delays.begin(), t.delays.end());
  return t;
}

void PrintFrames(const char* name, const Totals& t) {
  std::printf(
      "  %-28s frames produced %llu, sent %llu, delivered %llu, in files %llu -> lost %lld "
      "(%zu streams), in flight at the end %llu (%zu streams)\n",
      name, static_cast<unsigned long long>(t.produced), static_cast<unsigned long long>(t.sent),
      static_cast<unsigned long long>(t.delivered), static_cast<unsigned long long>(t.inFiles),
      static_cast<long long>(t.lost), t.streamsLosing, static_cast<unsigned long long>(t.inFlight),
      t.streamsInFlight);
}

void PrintDrain(const ScaleRun& run, const Options& options) {
  std::printf(
      "  waited after the devices stopped %.1f s for frames on their way (at most %.0f s)\n",
      run.drainSeconds, options.drainSeconds);
}

void PrintDelay(const char* name, const Totals& t) {
  std::printf(
      "  %-28s callback delay beyond the best: median %.2f ms, p99 %.2f ms, max %.2f ms "
      "(%zu frames of %zu streams)\n",
      name, t.Pct(0.5) * 1e3, t.Pct(0.99) * 1e3, t.Pct(1.0) * 1e3, t.delays.size(),
      t.streamsMeasured);
}

FleetOptions ScaleFleet(const Options& options, int salt) {
  FleetOptions f;
  f.baseAddress = ProcessLoopbackBase(salt);
  f.count = options.streams;
  f.replay = true;
  f.answerDiscovery = false;
  f.media = {options.width, options.height, options.fps, 50, options.bitrateKbps};
  return f;
}

bool RunScale(const Options& options, PluginHost& plugin, Child& plainChild,
              std::optional<Totals>* others) {
  const size_t n = size_t(options.streams);
  ScaleRun run = RunScaleOnce(options, plugin, ScaleFleet(options, 4), false);
  if (run.failures < 0) return false;
  // The plain loop against a fresh fleet of the same settings, same length.
  const FleetOptions plainFleet = ScaleFleet(options, 5);
  auto fleet = StartFleet(plainFleet);
  std::optional<PlainRun> plain;
  if (fleet) plain = RunPlain(plainChild, plainFleet, options.scaleSeconds, options.dir);
  if (fleet) fleet->End();

  const Totals all = Sum(run, 0, n);
  *others = Sum(run, 2, n);
  Rate rate{run.wall, run.cpu, run.bytes};
  std::printf("\n(b) %zu slots, %dx%d, %d fps, %d kbit/s each, for %.0f s, recording to files\n", n,
              options.width, options.height, options.fps, options.bitrateKbps, run.videoSeconds);
  std::printf("  logins or opens failed          %d; recordings refused %d, never opened %d\n",
              run.failures, run.recordFailures, run.emptyFiles);
  std::printf("  stream bitrate (delivered)      %.2f Mbit/s each, %.1f MB in all\n",
              double(run.bytes) * 8 / 1e6 / run.videoSeconds / double(n), double(run.bytes) / 1e6);
  PrintFrames("all streams", all);
  std::printf("%s", run.lossLines.c_str());
  PrintDrain(run, options);
  std::printf(
      "  host CPU                        %.3f CPU s per s (%.1f %% of one core), %.2f CPU "
      "s/GB\n",
      run.cpu / run.wall, 100 * run.cpu / run.wall, rate.CpuPerGB());
  if (plain) {
    std::printf(
        "  plain epoll loop, same streams  %.3f CPU s per s, %.2f CPU s/GB (%.1f MB, %d "
        "failed)\n",
        plain->rate.cpu / plain->rate.seconds, plain->rate.CpuPerGB(),
        double(plain->rate.bytes) / 1e6, plain->failed);
    std::printf("  plug-in / plain CPU per byte    %.2f\n",
                plain->rate.CpuPerGB() > 0 ? rate.CpuPerGB() / plain->rate.CpuPerGB() : 0);
  } else {
    std::printf("  plain epoll loop                failed\n");
  }
  std::printf("  peak memory (VmHWM)             %.1f MB\n", double(run.peakKb) / 1024);
  PrintPoolStats(run.statsBefore, run.statsAfter);
  PrintDelay("all streams", all);
  return run.failures == 0 && run.recordFailures == 0 && all.lost == 0 && all.inFlight == 0;
}

bool RunStalls(const Options& options, PluginHost& plugin, const std::optional<Totals>& before) {
  const size_t n = size_t(options.streams);
  if (n < 3) {
    std::printf("\n(c) needs at least 3 streams\n");
    return false;
  }
  ScaleRun run = RunScaleOnce(options, plugin, ScaleFleet(options, 6), true);
  if (run.failures < 0) return false;
  const Totals others = Sum(run, 2, n);
  const Totals blocked = Sum(run, 0, 1);
  const Totals slow = Sum(run, 1, 2);
  std::printf(
      "\n(c) as (b), stream 0's callback blocks %d ms on every %dth packet, stream 1's sleeps %d "
      "ms before every packet (and so before its recording write)\n",
      options.blockMs, options.blockEvery, options.slowMs);
  std::printf("  logins or opens failed          %d; recordings refused %d, never opened %d\n",
              run.failures, run.recordFailures, run.emptyFiles);
  PrintFrames("the other streams", others);
  PrintDelay("the other streams", others);
  if (before) {
    PrintDelay("the same streams in (b)", *before);
    std::printf("  p99 delay of the other streams: %+.2f ms against (b)\n",
                (others.Pct(0.99) - before->Pct(0.99)) * 1e3);
  }
  PrintFrames("stream 0 (blocking)", blocked);
  PrintFrames("stream 1 (slow writer)", slow);
  std::printf("%s", run.lossLines.c_str());
  PrintDrain(run, options);
  std::printf("  host process peak memory (VmHWM) %.1f MB\n", double(run.peakKb) / 1024);
  PrintPoolStats(run.statsBefore, run.statsAfter);
  return run.failures == 0 && run.recordFailures == 0;
}

FleetOptions ParseFleetArgs(char** argv) {
  FleetOptions f;
  f.baseAddress = argv[0];
  f.count = std::atoi(argv[1]);
  f.media = {std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
             std::atoi(argv[6])};
  f.flood = std::atoi(argv[7]) != 0;
  f.replay = true;
  f.answerDiscovery = false;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  // Child modes (started by this program itself).
  if (argc == 10 && std::strcmp(argv[1], "--child-fleet") == 0)
    return SimChildMain(ParseFleetArgs(argv + 2));
  if (argc == 2 && std::strcmp(argv[1], "--child-plain") == 0) return PlainChildMain();

  Options options;
  CLI::App app{"e2e_bench: the plug-in's receive-and-record throughput and its scale, end to end"};
  app.add_option("--plugin", options.plugin,
                 "Plug-in library (default: ../lib beside this program)");
  app.add_option("--dir", options.dir, "Folder for the recordings (removed afterwards)");
  app.add_option("--runs", options.runs, "Which runs: any of a, b, c (c compares with b)")
      ->check([](const std::string& s) {
        return !s.empty() && s.find_first_not_of("abc") == std::string::npos
                   ? std::string()
                   : std::string("letters a, b, c only");
      });
  app.add_option("--flood-seconds", options.floodSeconds,
                 "Run (a): length of each leg (plug-in or plain loop) of a pair")
      ->check(CLI::Range(0.2, 60.0));
  app.add_option("--pairs,--repetitions", options.floodPairs, "Run (a): pairs of legs")
      ->check(CLI::Range(1, 200));
  app.add_option("--scale-seconds", options.scaleSeconds, "Length of runs (b) and (c)")
      ->check(CLI::Range(1.0, 600.0));
  app.add_option("--drain-seconds", options.drainSeconds,
                 "Runs (b), (c): how long to wait at most, once the devices stop sending, for "
                 "the frames on their way")
      ->check(CLI::Range(0.0, 600.0));
  app.add_option("--streams", options.streams, "Streams in runs (b) and (c)")
      ->check(CLI::Range(1, 256));
  app.add_option("--width", options.width, "Picture width in runs (b) and (c)");
  app.add_option("--height", options.height, "Picture height in runs (b) and (c)");
  app.add_option("--bitrate-kbps", options.bitrateKbps, "Bitrate of every stream, kbit/s")
      ->check(CLI::Range(16, 200000));
  app.add_option("--block-ms", options.blockMs, "Run (c): how long stream 0's callback blocks")
      ->check(CLI::Range(0, 10000));
  app.add_option("--block-every", options.blockEvery, "Run (c): on every n-th packet")
      ->check(CLI::Range(1, 100000));
  app.add_option("--slow-ms", options.slowMs,
                 "Run (c): how long stream 1's callback sleeps before every packet")
      ->check(CLI::Range(0, 10000));
  CLI11_PARSE(app, argc, argv);
  std::filesystem::create_directories(options.dir);
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  auto plainChild = Spawn({"--child-plain"});
  if (!plainChild) return 1;

  std::string error;
  auto plugin =
      PluginHost::Load(options.plugin.empty() ? DefaultPluginPath() : options.plugin, &error);
  if (!plugin) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  if (plugin->Init() != 1) return 1;
  g_start = Clock::now();
  std::printf("e2e_bench: %s\n", plugin->path().c_str());
  std::fflush(stdout);
  bool ok = true;
  const auto has = [&](char run) { return options.runs.find(run) != std::string::npos; };
  if (has('a')) ok = RunFlood(options, *plugin, *plainChild) && ok;
  std::fflush(stdout);
  std::optional<Totals> others;
  if (has('b')) ok = RunScale(options, *plugin, *plainChild, &others) && ok;
  std::fflush(stdout);
  if (has('c')) ok = RunStalls(options, *plugin, others) && ok;
  plugin.reset();
  plainChild->End();
  return ok ? 0 : 1;
}
