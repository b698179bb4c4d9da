// qrv-recorder run as a service against simulated devices: segments that
// decode on their own and add up to what each device sent, a device that
// restarts shows as a gap and recording resumes, SIGHUP adds a device without
// touching the others, SIGTERM stops it promptly with every file complete.
// And an operator's trouble: the alarm port taken, a file a crash left
// unfinished, a second recorder on the same folder, settings changed on SIGHUP.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/kit/annexb_scan.h"
#include "host/kit/media_probe.h"
#include "host/sim/fleet.h"
#include "support/temp_dir.h"
#include "support/wait.h"

extern char** environ;

namespace qrv::e2e {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::string PluginPath() {
  const char* other = std::getenv("QRV_E2E_PLUGIN");
  return other != nullptr && *other != 0 ? other : QRV_PLUGIN_PATH;
}

// Frames a device may have queued but not yet delivered when the recorder
// logs out (200 ms of video at 25 fps).
constexpr uint64_t kInFlight = 5;

std::string DeviceName(size_t i) {
  return "cam" + std::to_string(i + 1);
}

class RecorderProcess {
 public:
  // `pluginFromConfig`: no --plugin, the configuration names it.
  bool Start(const std::string& config, const std::string& errFile, bool pluginFromConfig = false) {
    std::vector<std::string> args = {QRV_RECORDER, "--config", config};
    if (!pluginFromConfig) {
      args.push_back("--plugin");
      args.push_back(PluginPath());
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    // The simulated devices' listening sockets stay in this process: a child
    // holding copies would keep a restarted device from listening again.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
  }
  void Signal(int sig) { kill(pid_, sig); }
  // Exit status, or -1 when it did not end within `bound`.
  int WaitExit(std::chrono::milliseconds bound) {
    int status = 0;
    bool ended = test::WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, bound);
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  ~RecorderProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

 private:
  pid_t pid_ = -1;
};

// The recorder's log, read as it grows: every complete line, parsed once.
class LogTail {
 public:
  explicit LogTail(std::string path) : path_(std::move(path)) {}
  const std::vector<json>& Read() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return lines_;
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    for (size_t end; (end = chunk.find('\n', start)) != std::string::npos; start = end + 1)
      lines_.push_back(json::parse(chunk.substr(start, end - start), nullptr, false));
    offset_ += start;  // a line still being written is read again next time
    return lines_;
  }

 private:
  std::string path_;
  size_t offset_ = 0;
  std::vector<json> lines_;
};

std::vector<json> Events(const std::vector<json>& lines, const std::string& event,
                         const std::string& device = "") {
  std::vector<json> found;
  for (const auto& l : lines) {
    if (l.is_discarded() || l.value("event", "") != event) continue;
    if (!device.empty() && l.value("device", "") != device) continue;
    found.push_back(l);
  }
  return found;
}

// The device's log lines other than health, for failure messages.
std::string Story(const std::vector<json>& lines, const std::string& device) {
  std::string text;
  for (const auto& l : lines)
    if (!l.is_discarded() && l.value("device", "") == device && l.value("event", "") != "health")
      text += l.dump() + "\n";
  return text;
}

uint64_t FramesSent(sim::Device& device) {
  uint64_t frames = 0;
  for (const auto& s : device.Observe().streams) frames += s.frames;
  return frames;
}

std::string DeviceEntry(const host::Fleet& fleet, size_t i) {
  return "[[device]]\nname = \"" + DeviceName(i) + "\"\naddress = \"" + fleet.address(i) + "\"\n";
}

// An MP4 segment as ffprobe reads it: `frames` samples, the first a key
// frame, times rising about 40 ms apart (25 frames a second, as they came).
void ExpectMp4Samples(const std::string& path, uint64_t frames) {
  FILE* pipe = ::popen(("ffprobe -v error -select_streams v:0 -show_entries "
                        "packet=pts_time,flags -of csv=p=0 '" +
                        path + "'")
                           .c_str(),
                       "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::pair<double, bool>> samples;
  char line[256];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    char* comma = std::strchr(line, ',');
    if (comma != nullptr) samples.emplace_back(std::strtod(line, nullptr), comma[1] == 'K');
  }
  ::pclose(pipe);
  ASSERT_EQ(samples.size(), frames) << path;
  ASSERT_FALSE(samples.empty()) << path;
  EXPECT_TRUE(samples[0].second) << path << ": must open at a key frame";
  for (size_t k = 1; k < samples.size(); ++k)
    EXPECT_GT(samples[k].first, samples[k - 1].first) << path << " sample " << k;
  const double mean = (samples.back().first - samples[0].first) / double(samples.size() - 1);
  EXPECT_NEAR(mean, 0.040, 0.010) << path;
}

// A fleet of small simulated devices (320x180, 25 frames a second, a key
// frame every second) on this process's own loopback addresses.
std::unique_ptr<host::Fleet> StartSmallFleet(int addressBlock, size_t count,
                                             const std::string& identityPrefix) {
  host::FleetOptions options;
  options.baseAddress = host::ProcessLoopbackBase(addressBlock);
  options.count = count;
  options.identityPrefix = identityPrefix;
  options.media.width = 320;
  options.media.height = 180;
  options.media.fps = 25;
  options.media.gop = 25;
  std::string error;
  auto fleet = host::Fleet::Start(options, &error);
  EXPECT_TRUE(fleet) << error;
  return fleet;
}

TEST(Recorder, RecordsEightDevicesInSegmentsThroughARestartAReloadAndAStop) {
  auto fleet = StartSmallFleet(13, 9, "E2E-REC-");
  ASSERT_TRUE(fleet);

  test::TempDir dir;
  const std::string config = dir.File("recorder.toml");
  const std::string logPath = dir.File("recorder.jsonl");
  auto writeConfig = [&](size_t devices) {
    std::ofstream out(config + ".new");
    out << "[recorder]\noutput = \"out\"\nlog = \"recorder.jsonl\"\nhealth_interval = 1\n\n"
        << "[defaults]\nuser = \"admin\"\npassword_file = \"secret\"\nsegment = \"10s\"\n"
        << "stall_timeout = 8\n\n";
    // The ninth device records MP4 segments.
    for (size_t i = 0; i < devices; ++i)
      out << DeviceEntry(*fleet, i) << (i == 8 ? "format = \"mp4\"\n" : "") << "\n";
    out.close();
    fs::rename(config + ".new", config);
  };
  std::ofstream(dir.File("secret")) << "admin\n";
  writeConfig(8);

  RecorderProcess recorder;
  ASSERT_TRUE(recorder.Start(config, dir.File("recorder.err")));
  LogTail tail(logPath);
  auto log = [&]() -> const std::vector<json>& { return tail.Read(); };

  // Every device logs in and opens its first segment.
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        const auto& lines = log();
        for (size_t i = 0; i < 8; ++i)
          if (Events(lines, "recording", DeviceName(i)).empty()) return false;
        return true;
      },
      30s))
      << "not every device started recording";

  // Device 3 goes down for a moment, after a few seconds of recording: its
  // stream comes back by itself.
  const size_t restarted = 2;
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        auto health = Events(log(), "health", DeviceName(restarted));
        return !health.empty() && health.back()["frames_recorded"].get<uint64_t>() >= 75;
      },
      30s));
  fleet->device(restarted).Restart(500ms);
  ASSERT_TRUE(
      test::WaitUntil([&] { return !Events(log(), "gap", DeviceName(restarted)).empty(); }, 30s))
      << "no gap reported for the restarted device\n"
      << Story(log(), DeviceName(restarted));

  // A ninth device in the file, and SIGHUP.
  writeConfig(9);
  recorder.Signal(SIGHUP);
  ASSERT_TRUE(
      test::WaitUntil([&] { return !Events(log(), "recording", DeviceName(8)).empty(); }, 30s))
      << "the ninth device was not added";

  // Run until every device has finished at least one segment by duration
  // (two for the first eight).
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        const auto& lines = log();
        for (size_t i = 0; i < 9; ++i) {
          size_t done = 0;
          for (const auto& s : Events(lines, "segment", DeviceName(i)))
            if (s["ended_by"] == "duration") ++done;
          if (done < (i < 8 ? 2u : 1u)) return false;
        }
        return true;
      },
      60s))
      << "segments did not rotate";

  const auto stopAt = std::chrono::steady_clock::now();
  recorder.Signal(SIGTERM);
  const int status = recorder.WaitExit(30s);
  const auto stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - stopAt)
                          .count();
  ASSERT_EQ(status, 0) << "stop took " << stopMs << " ms";
  RecordProperty("stop_ms", std::to_string(stopMs));
  if (!kSanitized) {
    EXPECT_LT(stopMs, 2000) << "SIGTERM must end the recorder within 2 s";
  }

  const auto& lines = log();
  ASSERT_EQ(Events(lines, "stopped").size(), 1u);
  EXPECT_TRUE(Events(lines, "alarm_listener_failed").empty());
  EXPECT_EQ(Events(lines, "health", DeviceName(0)).back()["alarm_listener"], true);
  auto reloads = Events(lines, "reload");
  ASSERT_EQ(reloads.size(), 1u);
  EXPECT_EQ(reloads[0]["added"], json::array({DeviceName(8)}));
  EXPECT_EQ(reloads[0]["unchanged"], 8);

  // Every file complete: nothing left under a ".part" name.
  for (const auto& entry : fs::recursive_directory_iterator(dir.File("out")))
    EXPECT_NE(entry.path().extension(), ".part") << entry.path();

  for (size_t i = 0; i < 9; ++i) {
    const std::string name = DeviceName(i);
    auto segments = Events(lines, "segment", name);
    ASSERT_FALSE(segments.empty()) << name;
    uint64_t recorded = 0;
    for (const auto& s : segments) {
      const std::string path = s["path"];
      const uint64_t frames = s["frames"];
      EXPECT_FALSE(s.contains("error")) << s.dump();
      if (i == 8) {
        ASSERT_TRUE(path.ends_with(".mp4")) << path;
        ExpectMp4Samples(path, frames);
        recorded += frames;
        continue;
      }
      auto bytes = host::ReadFileBytes(path);
      ASSERT_TRUE(bytes) << path;
      host::AnnexBSummary scan = host::ScanAnnexB(*bytes);
      EXPECT_TRUE(scan.parameterSetsFirst) << path;
      EXPECT_EQ(scan.firstVclType, 5) << path << ": must open at an IDR";
      EXPECT_EQ(scan.pictures, frames) << path;
      host::ProbeResult probe = host::ProbeH264File(path);
      ASSERT_TRUE(probe.ran) << probe.error;
      EXPECT_EQ(probe.decodedFrames, static_cast<int64_t>(frames)) << path;
      recorded += frames;
    }
    // What the recorder received in all: frames arrived after the check
    // above too, so this is at least what the device had sent by then.
    auto summary = Events(lines, "device_stopped", name);
    ASSERT_EQ(summary.size(), 1u) << name;
    const uint64_t received = summary[0]["frames"];
    const uint64_t skipped = summary[0]["frames_skipped"];
    EXPECT_EQ(summary[0]["frames_lost"], 0) << name;
    EXPECT_EQ(recorded + skipped, received) << name << ": every frame received is in one segment";
    EXPECT_EQ(summary[0]["frames_recorded"].get<uint64_t>(), recorded) << name;
    auto gaps = Events(lines, "gap", name);
    if (i == restarted) {
      // The restart cost frames in flight; everything else is there.
      EXPECT_EQ(gaps.size(), 1u) << name;
      EXPECT_LE(received, FramesSent(fleet->device(i))) << name;
      bool endedByGap = false, resumed = false;
      for (const auto& s : segments) {
        endedByGap = endedByGap || s["ended_by"] == "gap";
        resumed = resumed || (endedByGap && s["frames"].get<uint64_t>() > 0);
      }
      EXPECT_TRUE(endedByGap) << name;
      EXPECT_TRUE(resumed) << name << ": recording resumes after the gap";
    } else {
      EXPECT_TRUE(gaps.empty()) << name << ": " << (gaps.empty() ? "" : gaps[0].dump());
      EXPECT_EQ(skipped, 0u) << name;
      // The device's count includes frames it queued in the last moment
      // before the logout closed the stream: in flight, never received.
      const uint64_t sent = FramesSent(fleet->device(i));
      EXPECT_LE(received, sent) << name;
      EXPECT_LE(sent - std::min(sent, received), kInFlight)
          << name << ": frames sent went missing (sent " << sent << ", received " << received
          << ")";
      for (const auto& s : segments)
        EXPECT_TRUE(s["ended_by"] == "duration" || s["ended_by"] == "stop") << s.dump();
    }
  }
}

// Holds the alarm port as another program would (the test runs in a network
// namespace of its own, so nothing else is hurt).
class PortHolder {
 public:
  explicit PortHolder(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
          listen(fd_, 1) == 0;
  }
  ~PortHolder() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

TEST(Recorder, TellsOfATakenAlarmPortFinishesACrashedFileKeepsItsFolderAndAppliesAReload) {
  PortHolder alarmPort(5005);
  ASSERT_TRUE(alarmPort.ok()) << "cannot hold the alarm port: " << std::strerror(errno);
  auto fleet = StartSmallFleet(14, 1, "E2E-REC2-");
  ASSERT_TRUE(fleet);

  test::TempDir dir;
  // What a crash left: header, key frame, a picture, and a picture cut short.
  fs::create_directories(dir.File("out/cam1"));
  const std::string part = dir.File("out/cam1/cam1_20240101T000000.000Z.264.part");
  {
    const std::vector<uint8_t> bytes = {0,    0,    0, 1, 0x67, 0x42, 0,    0,   0, 1, 0x68, 0xCE,
                                        0,    0,    0, 1, 0x65, 0x88, 0x11, 0,   0, 0, 1,    0x41,
                                        0x88, 0x22, 0, 0, 0,    1,    0x41, 0x88};
    std::ofstream(part, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  const std::string config = dir.File("recorder.toml");
  auto writeConfig = [&](const std::string& file, const std::string& logName,
                         const std::string& health, const std::string& plugin) {
    std::ofstream out(file + ".new");
    out << "[recorder]\noutput = \"out\"\nlog = \"" << logName << "\"\nhealth_interval = \""
        << health << "\"\nplugin = \"" << plugin << "\"\n\n"
        << "[defaults]\npassword = \"admin\"\n\n"
        << DeviceEntry(*fleet, 0);
    out.close();
    fs::rename(file + ".new", file);
  };
  writeConfig(config, "recorder.jsonl", "1h", PluginPath());
  RecorderProcess recorder;
  ASSERT_TRUE(recorder.Start(config, dir.File("recorder.err"), true));
  LogTail tail(dir.File("recorder.jsonl"));
  auto log = [&]() -> const std::vector<json>& { return tail.Read(); };
  ASSERT_TRUE(test::WaitUntil([&] { return !Events(log(), "recording", "cam1").empty(); }, 30s))
      << Story(log(), "cam1");
  {
    const auto& lines = log();
    ASSERT_EQ(Events(lines, "alarm_listener_failed").size(), 1u);
    EXPECT_EQ(Events(lines, "alarm_listener_failed")[0]["port"], "5005");
    auto recovered = Events(lines, "part_recovered", "cam1");
    ASSERT_EQ(recovered.size(), 1u) << Story(lines, "cam1");
    EXPECT_EQ(recovered[0]["frames"], 2);
    const std::string finished = recovered[0]["path"];
    EXPECT_FALSE(fs::exists(part));
    auto bytes = host::ReadFileBytes(finished);
    ASSERT_TRUE(bytes) << finished;
    EXPECT_EQ(host::ScanAnnexB(*bytes).pictures, 2u) << "cut to whole frames";
  }

  // A second recorder (say, a copy of the unit) on the same folder is kept
  // out of it while the first records.
  const std::string second = dir.File("second.toml");
  writeConfig(second, "second.jsonl", "1h", PluginPath());
  RecorderProcess intruder;
  ASSERT_TRUE(intruder.Start(second, dir.File("second.err"), true));
  LogTail secondTail(dir.File("second.jsonl"));
  ASSERT_TRUE(test::WaitUntil(
      [&] { return !Events(secondTail.Read(), "output_locked", "cam1").empty(); }, 30s));
  EXPECT_TRUE(Events(secondTail.Read(), "recording").empty());
  intruder.Signal(SIGTERM);
  EXPECT_EQ(intruder.WaitExit(30s), 0);

  // SIGHUP: a shorter health interval takes effect at once; another plug-in
  // needs a restart, and says so.
  writeConfig(config, "recorder.jsonl", "1s", dir.File("other/libqrvaccess.so"));
  recorder.Signal(SIGHUP);
  ASSERT_TRUE(test::WaitUntil([&] { return Events(log(), "health", "cam1").size() >= 2; }, 30s))
      << "the new health interval was not applied";
  {
    const auto& lines = log();
    auto restart = Events(lines, "restart_required");
    ASSERT_EQ(restart.size(), 1u);
    EXPECT_EQ(restart[0]["setting"], "plugin");
    for (const auto& h : Events(lines, "health", "cam1")) EXPECT_EQ(h["alarm_listener"], false);
    EXPECT_EQ(Events(lines, "alarm_listener_failed").size(), 1u) << "said once";
    ASSERT_EQ(Events(lines, "reload").size(), 1u);
    EXPECT_EQ(Events(lines, "reload")[0]["unchanged"], 1);
  }
  recorder.Signal(SIGTERM);
  EXPECT_EQ(recorder.WaitExit(30s), 0);
}

}  // namespace
}  // namespace qrv::e2e
