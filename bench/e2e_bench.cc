// End-to-end benchmark: prints a table, asserts nothing.
//
// (a) Receive and record one stream pushed as fast as a simulated device can
//     send it (replay flood), through our device library and the plug-in into
//     a .264 file; next to it, the same bytes from a plain TCP sender received
//     by ffmpeg (-c copy) and by a plain recv+write loop (the physical limit).
// (b) Scale: 256 slots streaming in real time, recording to files: CPU of the
//     host process per second of video, frames lost, peak memory, and the
//     host callback's delivery delay.
//
// The simulated devices run in child processes, so the CPU and memory
// figures are the host's alone (plug-in, device library, host callbacks).
#include <arpa/inet.h>
#include <netinet/in.h>
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
#include <string>
#include <vector>

#include "host/kit/annexb_scan.h"
#include "host/kit/media_probe.h"
#include "host/kit/plugin_host.h"
#include "host/kit/requests.h"
#include "host/sim/fleet.h"

namespace {

using namespace qrv::host;
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

double ThreadCpu() {
  rusage r{};
  getrusage(RUSAGE_THREAD, &r);
  return CpuSeconds(r);
}

// ---- simulated devices in a child process, driven by text lines on pipes ----

struct SimChild {
  pid_t pid = -1;
  FILE* to = nullptr;
  FILE* from = nullptr;
};

// Forks before the parent has threads. The child starts the fleet, answers
// "ok", and on "stop" prints the frames each device sent, then stops.
SimChild StartSimChild(const FleetOptions& options) {
  int down[2];
  int up[2];
  if (pipe(down) != 0 || pipe(up) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(down[1]);
    close(up[0]);
    FILE* in = fdopen(down[0], "r");
    FILE* out = fdopen(up[1], "w");
    std::string error;
    auto fleet = Fleet::Start(options, &error);
    if (!fleet) {
      std::fprintf(out, "error %s\n", error.c_str());
      std::fflush(out);
      _exit(1);
    }
    std::fprintf(out, "ok\n");
    std::fflush(out);
    char line[64];
    while (std::fgets(line, sizeof line, in) != nullptr) {
      if (std::strncmp(line, "stop", 4) == 0) {
        // Counts first, then stop: nothing is sent after the count is taken
        // because the simulator is stopped before the parent reads it.
        std::vector<uint64_t> sent(fleet->size());
        fleet->simulator().Stop();
        for (size_t i = 0; i < fleet->size(); ++i) {
          for (const auto& s : fleet->device(i).Observe().streams) sent[i] += s.frames;
        }
        for (uint64_t n : sent) std::fprintf(out, "%llu\n", static_cast<unsigned long long>(n));
        std::fflush(out);
      } else if (std::strncmp(line, "exit", 4) == 0) {
        break;
      }
    }
    _exit(0);
  }
  close(down[0]);
  close(up[1]);
  SimChild child;
  child.pid = pid;
  child.to = fdopen(down[1], "w");
  child.from = fdopen(up[0], "r");
  return child;
}

bool WaitReady(SimChild& child) {
  char line[512];
  if (std::fgets(line, sizeof line, child.from) == nullptr) return false;
  if (std::strncmp(line, "ok", 2) != 0) {
    std::fprintf(stderr, "simulator: %s", line);
    return false;
  }
  return true;
}

std::vector<uint64_t> StopAndCount(SimChild& child, size_t devices) {
  std::fprintf(child.to, "stop\n");
  std::fflush(child.to);
  std::vector<uint64_t> sent;
  char line[64];
  while (sent.size() < devices && std::fgets(line, sizeof line, child.from) != nullptr) {
    sent.push_back(std::strtoull(line, nullptr, 10));
  }
  return sent;
}

void EndChild(SimChild& child) {
  if (child.pid <= 0) return;
  std::fprintf(child.to, "exit\n");
  std::fflush(child.to);
  int status = 0;
  waitpid(child.pid, &status, 0);
  child.pid = -1;
}

// ---- host side ----

// Per stream: frames and bytes seen by the host callback and each video
// frame's arrival time. One writer (the stream's library thread).
struct StreamProbe {
  std::atomic<uint64_t> frames{0};
  std::atomic<uint64_t> bytes{0};
  std::vector<int64_t> arrivals;  // ns since the bench started, type 2 only
  size_t capacity = 0;
  std::vector<uint8_t> kept;  // the first keepLimit bytes delivered (headers and media)
  size_t keepLimit = 0;
};

Clock::time_point g_start;

int32_t QRV_CALLBACK OnStreamData(int32_t type, const uint8_t* data, uint32_t length,
                                  StreamFrameInfo, uintptr_t user) {
  auto* probe = reinterpret_cast<StreamProbe*>(user);
  probe->bytes.fetch_add(length, std::memory_order_relaxed);
  if (probe->kept.size() + length <= probe->keepLimit && type != kStreamDataOther) {
    probe->kept.insert(probe->kept.end(), data, data + length);
  }
  if (type == kStreamDataVideo) {
    uint64_t n = probe->frames.load(std::memory_order_relaxed);
    if (n < probe->capacity) {
      probe->arrivals[n] =
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - g_start).count();
    }
    probe->frames.store(n + 1, std::memory_order_release);
  }
  return 0;
}

// ---- plain TCP sender and receivers for the comparison ----

// A listening socket on 127.0.0.1 and an ephemeral port.
int ListenLoopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
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

struct Rate {
  double seconds = 0;
  double cpu = 0;
  uint64_t bytes = 0;
  double MBps() const { return seconds > 0 ? double(bytes) / seconds / 1e6 : 0; }
  double CpuPerGB() const { return bytes > 0 ? cpu / (double(bytes) / 1e9) : 0; }
};

Rate PlainReceive(const std::vector<uint8_t>& data, uint64_t total, const std::string& path) {
  uint16_t port = 0;
  int listenFd = ListenLoopback(&port);
  pid_t sender = StartSender(listenFd, data, total);
  close(listenFd);
  Rate rate;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<char> buffer(256 * 1024);
  FILE* out = std::fopen(path.c_str(), "wb");
  double cpu0 = ThreadCpu();
  auto t0 = Clock::now();
  if (out != nullptr && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    for (;;) {
      ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      std::fwrite(buffer.data(), 1, static_cast<size_t>(n), out);
      rate.bytes += static_cast<uint64_t>(n);
    }
  }
  if (out != nullptr) std::fclose(out);
  rate.seconds = Seconds(Clock::now() - t0);
  rate.cpu = ThreadCpu() - cpu0;
  close(fd);
  waitpid(sender, nullptr, 0);
  return rate;
}

Rate FfmpegReceive(const std::vector<uint8_t>& data, uint64_t total, const std::string& path) {
  uint16_t port = 0;
  int listenFd = ListenLoopback(&port);
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
  waitpid(sender, nullptr, 0);
  return rate;
}

// ---- the two runs ----

struct Options {
  std::string plugin;
  std::string dir = "/dev/shm/qrv-e2e-bench";  // tmpfs: the disk is not what is measured
  double floodSeconds = 3;
  double scaleSeconds = 10;
  int streams = 256;
  int width = 1920;
  int height = 1080;
  int fps = 25;
};

void PrintRate(const char* name, const Rate& r, double limit) {
  std::printf("  %-34s %9.1f MB/s %8.2f CPU s/GB %10.1f MB   %5.2f x plain\n", name, r.MBps(),
              r.CpuPerGB(), double(r.bytes) / 1e6, limit > 0 ? r.MBps() / limit : 0);
}

bool RunFlood(const Options& options, PluginHost& plugin, SimChild& child, const Fleet* /*unused*/,
              const Credentials& device) {
  Requests requests(plugin.access());
  Reply login = requests.Login(device);
  if (!login.ok()) {
    std::printf("flood login failed: %d (%s)\n", login.code,
                DescribeExecuteResult(login.code).c_str());
    return false;
  }
  int32_t slot = login.OutputInt("LOGINID");
  StreamProbe probe;
  probe.keepLimit = 64u << 20;
  probe.kept.reserve(probe.keepLimit);
  plugin.access().SetStreamDataCallback(static_cast<uint32_t>(slot), &OnStreamData,
                                        reinterpret_cast<uintptr_t>(&probe));
  std::string base = options.dir + "/flood";
  requests.StartRecording(slot, base);
  double cpu0 = ProcessCpu();
  auto t0 = Clock::now();
  Reply open = requests.OpenStream(slot, device, 0);
  // Let it run: the bench's only pause, bounded by the chosen duration.
  std::vector<uint64_t> unused;
  {
    auto end = t0 + std::chrono::milliseconds(static_cast<int64_t>(options.floodSeconds * 1000));
    while (Clock::now() < end) {
      fd_set none;
      FD_ZERO(&none);
      timeval tick{0, 100000};
      select(0, nullptr, nullptr, nullptr, &tick);
    }
  }
  requests.CloseStream(slot);
  Rate plugin264;
  plugin264.seconds = Seconds(Clock::now() - t0);
  plugin264.cpu = ProcessCpu() - cpu0;
  requests.StopRecording(slot);
  requests.Logout(slot);
  std::error_code ec;
  std::string path = base + ".264";
  plugin264.bytes = std::filesystem::file_size(path, ec);
  // Delivered to the host callback; the same as recorded when the recording
  // opened at the stream's first key frame.
  Rate delivered = plugin264;
  delivered.bytes = probe.bytes.load();
  if (!open.ok() || probe.kept.empty()) {
    std::printf("flood stream: open %d, nothing delivered\n", open.code);
    return false;
  }
  uint64_t total = std::max<uint64_t>(plugin264.bytes, delivered.bytes);
  // The flood device has done its part; ended, it takes no CPU from the
  // comparison runs on this 2-core machine.
  EndChild(child);
  // Each run writes to tmpfs; a finished recording goes first so every run
  // starts with the same free memory.
  std::filesystem::remove(path, ec);
  Rate plain = PlainReceive(probe.kept, total, options.dir + "/plain.264");
  std::filesystem::remove(options.dir + "/plain.264", ec);
  Rate ffmpeg = FfmpegReceive(probe.kept, total, options.dir + "/ffmpeg.264");
  std::printf("\n(a) receive and record one stream as fast as it comes (%.0f s, loopback TCP)\n",
              options.floodSeconds);
  PrintRate("plain recv + fwrite loop", plain, plain.MBps());
  PrintRate("plug-in + device library -> .264", plugin264, plain.MBps());
  PrintRate("  of which delivered to the host", delivered, plain.MBps());
  if (plugin264.bytes + (64u << 10) < delivered.bytes) {
    std::printf(
        "  NOTE: the recording holds less than was delivered (it opens only at a key frame\n"
        "        after a cached stream header)\n");
  }
  PrintRate("ffmpeg -f h264 -i tcp:// -c copy", ffmpeg, plain.MBps());
  std::printf("  plug-in / ffmpeg throughput: %.2f x; CPU per GB plug-in / ffmpeg: %.2f\n",
              ffmpeg.MBps() > 0 ? plugin264.MBps() / ffmpeg.MBps() : 0,
              ffmpeg.CpuPerGB() > 0 ? plugin264.CpuPerGB() / ffmpeg.CpuPerGB() : 0);
  std::printf(
      "  (plug-in CPU is the whole host process: device library threads, plug-in, file writes;\n"
      "   the sending device runs in another process)\n");
  std::filesystem::remove(options.dir + "/plain.264", ec);
  std::filesystem::remove(options.dir + "/ffmpeg.264", ec);
  std::filesystem::remove(path, ec);
  return true;
}

bool RunScale(const Options& options, PluginHost& plugin, SimChild& child,
              const std::vector<Credentials>& devices) {
  Requests requests(plugin.access());
  const size_t n = devices.size();
  std::vector<int32_t> slots(n, -1);
  std::vector<StreamProbe> probes(n);
  const size_t capacity = static_cast<size_t>((options.scaleSeconds + 10) * options.fps) + 64;
  int failures = 0;
  for (size_t i = 0; i < n; ++i) {
    Reply login = requests.Login(devices[i]);
    if (!login.ok()) {
      ++failures;
      continue;
    }
    slots[i] = login.OutputInt("LOGINID");
    probes[i].arrivals.assign(capacity, 0);
    probes[i].capacity = capacity;
    plugin.access().SetStreamDataCallback(static_cast<uint32_t>(slots[i]), &OnStreamData,
                                          reinterpret_cast<uintptr_t>(&probes[i]));
    requests.StartRecording(slots[i], options.dir + "/scale-" + std::to_string(i));
  }
  double cpu0 = ProcessCpu();
  auto t0 = Clock::now();
  for (size_t i = 0; i < n; ++i) {
    if (slots[i] >= 0 && !requests.OpenStream(slots[i], devices[i], 0).ok()) ++failures;
  }
  auto end = t0 + std::chrono::milliseconds(static_cast<int64_t>(options.scaleSeconds * 1000));
  while (Clock::now() < end) {
    timeval tick{0, 100000};
    select(0, nullptr, nullptr, nullptr, &tick);
  }
  std::vector<uint64_t> sent = StopAndCount(child, n);
  auto stopAt = Clock::now();
  // Frames already on the way still arrive; wait for them (bounded).
  auto deadline = stopAt + std::chrono::seconds(15);
  for (;;) {
    bool all = true;
    for (size_t i = 0; i < n && i < sent.size(); ++i) {
      all = all && probes[i].frames.load(std::memory_order_acquire) >= sent[i];
    }
    if (all || Clock::now() > deadline) break;
    timeval tick{0, 20000};
    select(0, nullptr, nullptr, nullptr, &tick);
  }
  double wall = Seconds(Clock::now() - t0);
  double cpu = ProcessCpu() - cpu0;
  for (size_t i = 0; i < n; ++i) {
    if (slots[i] < 0) continue;
    requests.CloseStream(slots[i]);
    requests.StopRecording(slots[i]);
    requests.Logout(slots[i]);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);

  uint64_t sentTotal = 0, deliveredTotal = 0, inFiles = 0, bytes = 0;
  int emptyFiles = 0;
  std::vector<double> delays;
  const double period = 1.0 / options.fps;
  for (size_t i = 0; i < n; ++i) {
    uint64_t delivered = probes[i].frames.load();
    sentTotal += i < sent.size() ? sent[i] : 0;
    deliveredTotal += delivered;
    std::string path = options.dir + "/scale-" + std::to_string(i) + ".264";
    if (auto file = ReadFileBytes(path)) {
      uint64_t pictures = ScanAnnexB(*file).pictures;
      inFiles += pictures;
      bytes += file->size();
      if (pictures == 0) ++emptyFiles;
    }
    std::error_code ec;
    std::filesystem::remove(path, ec);
    // Frames leave the device on a fixed cadence: frame k at t0 + k * period.
    // The delay of frame k is its arrival minus that schedule, with t0 taken
    // from the stream's fastest frame, so it is the delay beyond the best case.
    // A new viewer first gets the frames since the last IDR in a burst, so
    // the first two GOPs (50 frames each) are left out.
    size_t count = std::min<size_t>(delivered, probes[i].capacity);
    const size_t skip = 2 * 50;
    double best = 1e300;
    for (size_t k = skip; k < count; ++k)
      best = std::min(best, probes[i].arrivals[k] / 1e9 - k * period);
    for (size_t k = skip; k < count; ++k)
      delays.push_back(probes[i].arrivals[k] / 1e9 - k * period - best);
  }
  std::sort(delays.begin(), delays.end());
  auto pct = [&](double p) {
    return delays.empty() ? 0 : delays[static_cast<size_t>(p * (delays.size() - 1))];
  };
  double videoSeconds = Seconds(stopAt - t0);
  std::printf(
      "\n(b) %zu slots streaming %dx%d at %d fps in real time for %.0f s, recording to files\n", n,
      options.width, options.height, options.fps, videoSeconds);
  std::printf("  logins or opens failed          %d\n", failures);
  std::printf("  stream bitrate                  %.2f Mbit/s each (%.1f MB recorded in all)\n",
              double(bytes) * 8 / 1e6 / videoSeconds / double(n), double(bytes) / 1e6);
  std::printf("  host CPU per second of video    %.3f CPU s (%.1f %% of one core)\n", cpu / wall,
              100 * cpu / wall);
  std::printf("  frames sent / delivered / in files  %llu / %llu / %llu  -> lost %lld\n",
              static_cast<unsigned long long>(sentTotal),
              static_cast<unsigned long long>(deliveredTotal),
              static_cast<unsigned long long>(inFiles),
              static_cast<long long>(sentTotal) - static_cast<long long>(inFiles));
  std::printf("  recordings that never opened     %d of %zu\n", emptyFiles, n);
  std::printf("  peak memory (maxrss)            %.1f MB\n", double(usage.ru_maxrss) / 1024);
  std::printf(
      "  callback delay beyond the best  median %.2f ms, p99 %.2f ms, max %.2f ms (%zu frames)\n",
      pct(0.5) * 1e3, pct(0.99) * 1e3, pct(1.0) * 1e3, delays.size());
  return failures == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"e2e_bench: the plug-in's receive-and-record throughput and its scale, end to end"};
  app.add_option("--plugin", options.plugin,
                 "Plug-in library (default: ../lib beside this program)");
  app.add_option("--dir", options.dir, "Folder for the recordings (removed afterwards)");
  app.add_option("--flood-seconds", options.floodSeconds, "Duration of run (a)")
      ->check(CLI::Range(0.5, 60.0));
  app.add_option("--scale-seconds", options.scaleSeconds, "Duration of run (b)")
      ->check(CLI::Range(1.0, 600.0));
  app.add_option("--streams", options.streams, "Streams in run (b)")->check(CLI::Range(1, 256));
  app.add_option("--width", options.width, "Picture width in run (b)");
  app.add_option("--height", options.height, "Picture height in run (b)");
  CLI11_PARSE(app, argc, argv);
  std::filesystem::create_directories(options.dir);
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }

  // Devices first, while this process has no threads to fork around.
  FleetOptions flood;
  flood.baseAddress = ProcessLoopbackBase(3);
  flood.count = 1;
  flood.replay = true;
  flood.flood = true;
  flood.answerDiscovery = false;
  flood.media.width = 1920;
  flood.media.height = 1080;
  flood.identityPrefix = "BENCH-FLOOD-";
  FleetOptions scale;
  scale.baseAddress = ProcessLoopbackBase(4);
  scale.count = options.streams;
  scale.replay = true;
  scale.answerDiscovery = false;
  scale.media.width = options.width;
  scale.media.height = options.height;
  scale.media.fps = options.fps;
  scale.identityPrefix = "BENCH-SCALE-";
  SimChild floodChild = StartSimChild(flood);
  SimChild scaleChild = StartSimChild(scale);
  if (!WaitReady(floodChild) || !WaitReady(scaleChild)) return 1;

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
  Credentials floodDevice{LoopbackAddress(flood.baseAddress, 0), flood.user, flood.password,
                          flood.controlPort};
  bool ok = RunFlood(options, *plugin, floodChild, nullptr, floodDevice);
  std::vector<Credentials> devices;
  for (int i = 0; i < options.streams; ++i) {
    devices.push_back(
        {LoopbackAddress(scale.baseAddress, i), scale.user, scale.password, scale.controlPort});
  }
  ok = RunScale(options, *plugin, scaleChild, devices) && ok;
  plugin.reset();
  EndChild(floodChild);
  EndChild(scaleChild);
  return ok ? 0 : 1;
}
