#include "host/recorder/device_recorder.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <filesystem>
#include <random>
#include <utility>

#include "devicelib/tmcc_errors.h"
#include "host/kit/device_address.h"
#include "host/recorder/retention.h"

namespace qrv::recorder {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The plug-in's device status operation, where the plug-in offers it.
constexpr int32_t kDeviceStatusOperation = 100;
constexpr auto kRetentionPeriod = std::chrono::seconds(10);
// The shortest sleep of the device thread: the stall check of a stream that
// just went quiet does not spin.
constexpr auto kIdleCheck = milliseconds(250);
// A stream that fails to open this many times in a row is given a fresh login.
constexpr int kOpenFailuresBeforeRelogin = 3;

// Doubling waits from `first` to `ceiling` with +-20 % jitter, so many
// devices that failed together do not retry together.
class Backoff {
 public:
  Backoff(milliseconds first, milliseconds ceiling) : first_(first), ceiling_(ceiling) {}
  milliseconds Next() {
    const int64_t base =
        std::min<int64_t>(ceiling_.count(), first_.count() << std::min(attempt_, 16));
    ++attempt_;
    std::uniform_int_distribution<int64_t> jitter(-base / 5, base / 5);
    return milliseconds(base + jitter(random_));
  }
  void Reset() { attempt_ = 0; }

 private:
  const milliseconds first_;
  const milliseconds ceiling_;
  int attempt_ = 0;
  std::minstd_rand random_{std::random_device{}()};
};

// A standard camera is written as its URL, or as an address with the RTSP or
// an ONVIF port (the device library decides the same way).
bool IsStandardCamera(const DeviceSettings& settings) {
  const int32_t port = settings.port;
  return host::IsDeviceUrl(settings.address) || port == 554 || port == 80 || port == 8080 ||
         port == 8000;
}

std::string UtcText(std::chrono::system_clock::time_point t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

int64_t MsSince(Clock::time_point then, Clock::time_point now) {
  return std::chrono::duration_cast<milliseconds>(now - then).count();
}

// Operation 100's texts: numbers as numbers, "" as null, others as texts.
nlohmann::ordered_json StatusValue(const std::string& text) {
  if (text.empty()) return nullptr;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc() && end == text.data() + text.size()) return value;
  return text;
}

}  // namespace

DeviceRecorder::DeviceRecorder(DeviceSettings settings, IAccess& access, JsonLog& log,
                               SegmentCloser& closer, milliseconds healthInterval,
                               SlotRegistry registry, const std::atomic<int>& alarmListener,
                               RetryTimes retry,
                               devicelib::RegisterAddressFunction registerAddress)
    : settings_(std::move(settings)),
      access_(access),
      requests_(access),
      log_(log),
      healthIntervalMs_(healthInterval.count()),
      registry_(std::move(registry)),
      alarmListener_(alarmListener),
      registerAddress_(registerAddress),
      retry_(retry),
      segmenter_(settings_.name, settings_.output, settings_.segment, log, closer, {},
                 settings_.format) {}

DeviceRecorder::~DeviceRecorder() {
  RequestStop("stop");
  Join();
}

void DeviceRecorder::Start() {
  thread_ = std::thread([this] { Run(); });
}

void DeviceRecorder::RequestStop(const std::string& reason) {
  {
    std::lock_guard lock(mutex_);
    if (stop_) return;
    stop_ = true;
    stopReason_ = reason;
  }
  wake_.notify_all();
}

void DeviceRecorder::Join() {
  if (thread_.joinable()) thread_.join();
}

void DeviceRecorder::OnConnection(int32_t state) {
  const int32_t now = state == 0 ? 1 : 0;
  const int32_t before = online_.exchange(now);
  if (before == now) return;
  log_.Write(now == 1 ? "online" : "offline", {{"device", settings_.name}, {"address", Where()}});
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
    // The library got the device back: waiting out the backoff now would
    // only lose recording. One such retry per outage, so no storm.
    if (now == 1 && before == 0) retryNow_ = true;
  }
  wake_.notify_all();
}

void DeviceRecorder::SetHealthInterval(milliseconds interval) {
  if (healthIntervalMs_.exchange(interval.count()) == interval.count()) return;
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

std::string DeviceRecorder::Where() const {
  return host::DescribeAddress(settings_.address, settings_.port);
}

bool DeviceRecorder::WaitUntil(Clock::time_point until) {
  std::unique_lock lock(mutex_);
  wake_.wait_until(lock, until, [&] { return stop_ || woken_; });
  woken_ = false;
  return stop_;
}

int32_t QRV_CALLBACK DeviceRecorder::OnData(int32_t dataType, const uint8_t* data, uint32_t length,
                                            StreamFrameInfo info, uintptr_t user) {
  auto* device = reinterpret_cast<DeviceRecorder*>(user);
  if (device != nullptr && (data != nullptr || length == 0))
    device->segmenter_.OnPacket(dataType, data, length, info.keyFrame != 0);
  return 0;
}

bool DeviceRecorder::Login(bool* refused) {
  *refused = false;
  // A long address is registered with the device library and its token goes
  // through the plug-in (the same token at every login).
  host::PluginAddress forPlugin = host::AddressForPlugin(settings_.address, registerAddress_);
  if (!forPlugin.error.empty()) {
    ++loginFailures_;
    log_.Write("login_failed",
               {{"device", settings_.name}, {"address", Where()}, {"reason", forPlugin.error}});
    return false;
  }
  pluginAddress_ = std::move(forPlugin.address);
  host::Credentials credentials{pluginAddress_, settings_.user, settings_.password, settings_.port};
  host::Reply reply = requests_.Login(credentials);
  const int32_t slot = reply.OutputInt("LOGINID");
  *refused = reply.code == devicelib::kErrAuthRefused;
  if (!reply.ok() || slot < 0 || slot > 255) {
    ++loginFailures_;
    const auto now = Clock::now();
    if (*refused && refusals_++ > 0) {
      // The same refusal again: said at most every refusedReport.
      if (now - refusalReported_ < retry_.refusedReport) return false;
      refusalReported_ = now;
      log_.Write("login_refused", {{"device", settings_.name},
                                   {"address", Where()},
                                   {"refusals", refusals_},
                                   {"since", UtcText(refusedSince_)},
                                   {"reason", "still refused since " + UtcText(refusedSince_)}});
      return false;
    }
    if (*refused) {
      refusedSince_ = std::chrono::system_clock::now();
      refusalReported_ = now;
    } else {
      refusals_ = 0;
    }
    log_.Write("login_failed", {{"device", settings_.name},
                                {"address", Where()},
                                {"result", reply.code},
                                {"reason", host::DescribeExecuteResult(reply.code)}});
    return false;
  }
  refusals_ = 0;
  ++logins_;
  slot_ = slot;
  // Before the stream opens, so the stream's first header reaches us.
  access_.SetStreamDataCallback(static_cast<uint32_t>(slot), &DeviceRecorder::OnData,
                                reinterpret_cast<uintptr_t>(this));
  registry_(slot, this);
  log_.Write("login", {{"device", settings_.name}, {"address", Where()}, {"slot", slot}});
  return true;
}

bool DeviceRecorder::OpenStream() {
  host::Credentials credentials{pluginAddress_, settings_.user, settings_.password, settings_.port};
  host::Reply reply = requests_.OpenStream(slot_, credentials, settings_.streamType);
  if (!reply.ok()) {
    ++streamFailures_;
    log_.Write("stream_failed", {{"device", settings_.name},
                                 {"address", Where()},
                                 {"result", reply.code},
                                 {"reason", host::DescribeExecuteResult(reply.code)}});
    return false;
  }
  ++streamOpens_;
  streamOpen_ = true;
  streamOpened_ = Clock::now();
  log_.Write(
      "stream_open",
      {{"device", settings_.name}, {"address", Where()}, {"stream_type", settings_.streamType}});
  return true;
}

void DeviceRecorder::CloseStreamForRestart(const std::string& reason) {
  segmenter_.MarkRestart(reason);
  host::Reply reply = requests_.CloseStream(slot_);
  if (!reply.ok())
    log_.Write("stream_close_failed", {{"device", settings_.name},
                                       {"result", reply.code},
                                       {"reason", host::DescribeExecuteResult(reply.code)}});
  streamOpen_ = false;
}

void DeviceRecorder::Logout() {
  if (slot_ < 0) return;
  registry_(slot_, nullptr);
  // Logout closes the stream and waits for running callbacks: no packet
  // reaches the segmenter after it returns.
  host::Reply reply = requests_.Logout(slot_);
  if (!reply.ok())
    log_.Write("logout_failed", {{"device", settings_.name},
                                 {"result", reply.code},
                                 {"reason", host::DescribeExecuteResult(reply.code)}});
  slot_ = -1;
  streamOpen_ = false;
}

void DeviceRecorder::WriteHealth() {
  const SegmenterCounts c = segmenter_.Counts();
  const auto now = Clock::now();
  const int32_t online = online_.load();
  nlohmann::ordered_json fields = {
      {"device", settings_.name},
      {"address", Where()},
      {"slot", slot_},
      {"online",
       online < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(online == 1)},
      {"stream_open", streamOpen_},
      {"recording", c.recording},
      {"packets", c.packets},
      {"bytes", c.bytes},
      {"frames", c.frames},
      {"key_frames", c.keyFrames},
      {"frames_recorded", c.framesRecorded},
      {"frames_skipped", c.framesSkipped},
      {"frames_lost", c.framesLost},
      {"gaps", c.gaps},
      {"frames_missing", c.framesMissing},
      {"segments", c.segments},
      {"write_errors", c.writeErrors},
      {"aux_skipped", c.auxSkipped},
      {"logins", logins_},
      {"login_failures", loginFailures_},
      {"stream_opens", streamOpens_},
      {"stream_failures", streamFailures_},
      {"stalls", stalls_},
      {"alarm_listener", alarmListener_.load() < 0 ? nlohmann::ordered_json(nullptr)
                                                   : nlohmann::ordered_json(alarmListener_ == 1)},
      {"last_packet_ms_ago", c.packets == 0 ? nlohmann::ordered_json(nullptr)
                                            : nlohmann::ordered_json(MsSince(c.lastPacket, now))}};
  // The plug-in's own counters where it offers its status operation; the
  // recorder's counts above hold either way.
  nlohmann::ordered_json plugin = nullptr;
  if (slot_ >= 0) {
    host::Reply status = requests_.Execute(
        {{"Operation", std::to_string(kDeviceStatusOperation)}, {"Handle", std::to_string(slot_)}});
    if (status.ok() && status.output.count("PacketsReceived") != 0) {
      plugin = nlohmann::ordered_json::object();
      for (const auto& [key, value] : status.output) plugin[key] = StatusValue(value);
    }
  }
  fields["counters"] = plugin.is_null() ? "recorder" : "recorder+plugin";
  if (!plugin.is_null()) fields["plugin"] = std::move(plugin);
  log_.Write("health", std::move(fields));
}

void DeviceRecorder::ApplyRetention() {
  if (settings_.maxAge.count() == 0 && settings_.maxTotalBytes == 0) return;
  auto segments = ListSegments(settings_.output, settings_.name);
  if (settings_.maxTotalBytes > 0 && !retentionWarned_) {
    // The newest segment is kept whatever its size; say once that the limit
    // cannot hold it.
    auto newest = std::max_element(
        segments.begin(), segments.end(),
        [](const SegmentOnDisk& a, const SegmentOnDisk& b) { return a.modified < b.modified; });
    if (newest != segments.end() && newest->bytes > settings_.maxTotalBytes) {
      retentionWarned_ = true;
      log_.Write("retention_limit_small", {{"device", settings_.name},
                                           {"max_total_size", settings_.maxTotalBytes},
                                           {"segment_bytes", newest->bytes},
                                           {"path", newest->path}});
    }
  }
  auto removals = PlanRetention(std::move(segments), std::chrono::system_clock::now(),
                                settings_.maxAge, settings_.maxTotalBytes);
  for (const auto& removal : removals) {
    std::error_code ec;
    std::filesystem::remove(removal.path, ec);
    nlohmann::ordered_json fields = {{"device", settings_.name},
                                     {"path", removal.path},
                                     {"bytes", removal.bytes},
                                     {"reason", removal.reason}};
    if (ec) fields["error"] = ec.message();
    log_.Write(ec ? "retention_failed" : "retention_removed", std::move(fields));
  }
}

bool DeviceRecorder::TakeFolder() {
  std::string error;
  bool told = false;
  while (!(folderLock_ = FolderLock::Acquire(settings_.output, &error))) {
    // Once per spell; it is taken as soon as the other user lets it go.
    if (!told)
      log_.Write("output_locked",
                 {{"device", settings_.name}, {"path", settings_.output}, {"error", error}});
    told = true;
    if (WaitUntil(Clock::now() + kRetentionPeriod)) return false;
  }
  for (const PartRecovery& r : RecoverParts(settings_.output, settings_.name)) {
    nlohmann::ordered_json fields = {{"device", settings_.name}, {"part", r.part}};
    if (!r.path.empty()) fields["path"] = r.path;
    fields["frames"] = r.pictures;
    fields["bytes"] = r.bytes;
    fields["bytes_dropped"] = r.droppedBytes;
    if (!r.error.empty()) fields["error"] = r.error;
    log_.Write(!r.error.empty() ? "part_recovery_failed"
               : r.path.empty() ? "part_removed"
                                : "part_recovered",
               std::move(fields));
  }
  return true;
}

void DeviceRecorder::Run() {
  const bool folderTaken = TakeFolder();
  Backoff backoff(retry_.first, IsStandardCamera(settings_)
                                    ? std::min(retry_.ceiling, retry_.standardCeiling)
                                    : retry_.ceiling);
  int openFailures = 0;
  int64_t healthMs = healthIntervalMs_.load();
  auto nextHealth = Clock::now() + milliseconds(healthMs);
  auto nextRetention = Clock::now();
  auto retryAt = Clock::now();
  while (folderTaken) {
    auto now = Clock::now();
    if (const int64_t wanted = healthIntervalMs_.load(); wanted != healthMs) {
      healthMs = wanted;
      nextHealth = std::min(nextHealth, now + milliseconds(healthMs));
    }
    if (now >= nextRetention) {
      ApplyRetention();
      nextRetention = now + kRetentionPeriod;
    }
    if (now >= nextHealth) {
      WriteHealth();
      nextHealth = now + milliseconds(healthMs);
    }
    {
      std::lock_guard lock(mutex_);
      if (std::exchange(retryNow_, false) && (slot_ < 0 || !streamOpen_)) {
        retryAt = now;
        backoff.Reset();
        openFailures = 0;
      }
    }
    bool refused = false;
    if (now >= retryAt) {
      if (slot_ < 0 && !Login(&refused)) {
        // Refused credentials stay refused until someone changes them;
        // asking often would lock the account on many cameras.
        retryAt = now + (refused && refusals_ >= retry_.refusalsBeforeWait ? retry_.refusedWait
                                                                           : backoff.Next());
      } else if (slot_ >= 0 && !streamOpen_) {
        if (OpenStream()) {
          backoff.Reset();
          openFailures = 0;
        } else if (++openFailures >= kOpenFailuresBeforeRelogin) {
          openFailures = 0;
          Logout();
          retryAt = now + backoff.Next();
        } else {
          retryAt = now + backoff.Next();
        }
      } else if (streamOpen_) {
        // The device library reconnects a dropped stream by itself; a stream
        // that stays silent is closed and opened again.
        const SegmenterCounts c = segmenter_.Counts();
        const auto since = std::max(c.lastPacket, streamOpened_);
        if (now - since > settings_.stallTimeout) {
          ++stalls_;
          log_.Write("stream_stalled", {{"device", settings_.name},
                                        {"address", Where()},
                                        {"silent_ms", MsSince(since, now)}});
          CloseStreamForRestart("stream stalled");
          retryAt = now + backoff.Next();
        }
      }
    }
    // Sleeps until something is due: the next health line, retention, a
    // retry, or the moment an open stream would count as stalled. Everything
    // else (the device going off or on line, a stop) wakes the thread.
    auto until = std::min(nextHealth, nextRetention);
    if (retryAt > now) {
      until = std::min(until, retryAt);
    } else if (slot_ < 0 || !streamOpen_) {
      until = std::min(until, now + kIdleCheck);  // not reached: a failed step sets retryAt
    }
    if (streamOpen_) {
      const SegmenterCounts c = segmenter_.Counts();
      const auto stallAt = std::max(c.lastPacket, streamOpened_) + settings_.stallTimeout;
      until = std::min(until, std::max(stallAt, now + kIdleCheck));
    }
    if (WaitUntil(until)) break;
  }
  std::string reason;
  {
    std::lock_guard lock(mutex_);
    reason = stopReason_;
  }
  Logout();
  segmenter_.Finish(reason);
  const SegmenterCounts c = segmenter_.Counts();
  log_.Write("device_stopped", {{"device", settings_.name},
                                {"reason", reason},
                                {"frames", c.frames},
                                {"frames_recorded", c.framesRecorded},
                                {"frames_skipped", c.framesSkipped},
                                {"frames_lost", c.framesLost},
                                {"gaps", c.gaps},
                                {"frames_missing", c.framesMissing},
                                {"segments", c.segments}});
}

}  // namespace qrv::recorder
