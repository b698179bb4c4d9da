// qrv-demo: the plug-in doing its whole job, end to end. It starts four
// simulated devices on loopback (the fourth reached as a standard camera,
// through its ONVIF and RTSP faces), then acts as a host: loads libqrvaccess.so
// with dlopen and, only through the plug-in's operations, discovers the
// devices, logs in, records live video, takes snapshots, pans a camera and
// shows the picture moved, receives an alarm, sees a device go off line and
// come back, logs out and prints a summary. Exits non-zero if a step failed.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>

#include "host/demo/demo_report.h"
#include "host/kit/debug_relay.h"
#include "host/kit/event_hub.h"
#include "host/kit/plugin_host.h"
#include "host/kit/ptz_names.h"
#include "host/kit/requests.h"
#include "host/kit/stream_tap.h"
#include "host/kit/text_escape.h"
#include "host/sim/fleet.h"

namespace qrv::host {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

struct DemoOptions {
  std::string output = "out/demo";
  std::string plugin;
  std::string baseAddress = "127.0.0.11";
  uint16_t port = 6001;
  double recordSeconds = 3;
  bool verbose = false;
};

constexpr int kDevices = 4;
constexpr int32_t kAlarmValue = 4242;
// Every device also has the faces of a standard camera; this one is logged
// in to through them, the others through our protocol.
constexpr int kStandardCamera = 3;
constexpr uint16_t kOnvifPort = 8080;
constexpr uint16_t kRtspPort = 8554;

class Demo {
 public:
  explicit Demo(DemoOptions options) : options_(std::move(options)) {}

  int Run() {
    started_ = Clock::now();
    bool ok = Step("start four simulated devices on loopback",
                   [&](std::string* why) { return StartDevices(why); }) &&
              Step("load the plug-in as a host and initialise it",
                   [&](std::string* why) { return LoadPlugin(why); });
    if (ok) {
      ok = Step("discover the devices", [&](std::string* why) { return Discover(why); });
      ok = Step("log in to each device", [&](std::string* why) { return LogIn(why); }) && ok;
      if (slots_.size() == kDevices) {
        ok = Step("record live video from each device",
                  [&](std::string* why) { return Record(why); }) &&
             ok;
        ok = Step("take a snapshot from each device",
                  [&](std::string* why) { return Snapshots(why); }) &&
             ok;
        ok = Step("pan camera 1 and show the picture moved",
                  [&](std::string* why) { return Pan(why); }) &&
             ok;
        ok = Step("device 2 raises an alarm", [&](std::string* why) { return Alarm(why); }) && ok;
        ok = Step("device 3 stops: off line, then back on line",
                  [&](std::string* why) { return OffAndOnLine(why); }) &&
             ok;
        ok = Step("log out of each device", [&](std::string* why) { return LogOut(why); }) && ok;
      }
      host_->Uninit();
    }
    if (!reports_.empty()) {
      ok = Step("check the recordings and snapshots",
                [&](std::string* why) { return Check(why); }) &&
           ok;
      PrintReport(reports_);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    std::printf("\nDemo %s in %.1f s; files in %s\n", ok ? "PASSED" : "FAILED", seconds,
                options_.output.c_str());
    EventHub::Instance().SetListener(nullptr);
    return ok ? 0 : 1;
  }

 private:
  bool Step(const char* title, const std::function<bool(std::string*)>& body) {
    ++step_;
    Print("\n[%d] %s", step_, title);
    std::string why;
    bool ok = body(&why);
    if (ok) {
      Print("    ok");
    } else {
      Print("    FAILED: %s", why.c_str());
    }
    return ok;
  }

  template <typename... Args>
  void Print(const char* format, Args... args) {
    std::lock_guard lock(printMutex_);
    std::printf(format, args...);
    std::printf("\n");
    std::fflush(stdout);
  }

  double Elapsed() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }

  std::string File(const std::string& name) const {
    return (std::filesystem::path(options_.output) / name).string();
  }

  bool StartDevices(std::string* why) {
    std::error_code ec;
    std::filesystem::create_directories(options_.output, ec);
    if (ec) {
      *why = "cannot make " + options_.output + ": " + ec.message();
      return false;
    }
    FleetOptions fleet;
    fleet.baseAddress = options_.baseAddress;
    fleet.count = kDevices;
    fleet.controlPort = options_.port;
    fleet.media.gop = 25;
    fleet.onvifPort = kOnvifPort;
    fleet.rtspPort = kRtspPort;
    fleet_ = Fleet::Start(fleet, why);
    if (!fleet_) return false;
    for (int i = 0; i < kDevices; ++i) {
      auto media = fleet_->device(i).CurrentMedia();
      Print("    device %d at %s:%u  %dx%d %d fps, key frame every %d%s", i + 1,
            fleet_->address(i).c_str(), Camera(i).port, media.width, media.height, media.fps,
            media.gop, i == kStandardCamera ? "  (a standard camera: ONVIF, video over RTSP)" : "");
    }
    return true;
  }

  // How the host reaches device i: our protocol, or ONVIF for the standard camera.
  Credentials Camera(int i) const {
    return i == kStandardCamera ? fleet_->onvifCredentials(i) : fleet_->credentials(i);
  }

  bool LoadPlugin(std::string* why) {
    if (options_.verbose) {
      relay_.Start(
          [this](const std::string& line) { Print("    plug-in says: %s", line.c_str()); });
    }
    std::string path = options_.plugin.empty() ? DefaultPluginPath() : options_.plugin;
    host_ = PluginHost::Load(path, why);
    if (!host_) return false;
    // Events are printed as they arrive, from the plug-in's threads.
    EventHub::Instance().SetListener([this](const HostEvent& e) {
      if (e.kind == HostEvent::kAlarm) {
        Print("    event at %.1f s: alarm, slot %d, value %d, kind %d, device type %d", Elapsed(),
              e.slot, e.alarmValue, e.alarmKind, e.deviceType);
      } else if (e.kind == HostEvent::kConnection) {
        Print("    event at %.1f s: slot %d (port %d) %s", Elapsed(), e.slot, e.port,
              e.state == 0 ? "ON LINE" : "OFF LINE");
      }
    });
    EventHub::Instance().RegisterWith(host_->access());
    int32_t init = host_->Init();
    Print("    %s: Init returned %d, module %s %s", path.c_str(), init,
          host_->access().moduleInfo.name.c_str(), host_->access().moduleInfo.version.c_str());
    if (init != 1) *why = "Init returned " + std::to_string(init);
    requests_ = std::make_unique<Requests>(host_->access());
    return init == 1;
  }

  bool Discover(std::string* why) {
    Reply refresh = requests_->RefreshDiscovery();
    if (!refresh.ok()) {
      *why = "refresh returned " + std::to_string(refresh.code) + " (" +
             DescribeExecuteResult(refresh.code) + ")";
      return false;
    }
    bool all = EventHub::Instance().WaitUntil(
        [&](const std::vector<HostEvent>& events) {
          for (int i = 0; i < kDevices; ++i) {
            if (!HasDiscovery(events, fleet_->address(i))) return false;
          }
          return true;
        },
        milliseconds(10000));
    int others = 0;
    std::vector<std::string> shown;
    Print("    %-16s %-17s %-16s %5s", "ADDRESS", "MAC", "MASK", "PORT");
    for (const HostEvent& e : EventHub::Instance().Events()) {
      if (e.kind != HostEvent::kDiscovery) continue;
      bool ours = false;
      for (int i = 0; i < kDevices; ++i) ours = ours || e.address() == fleet_->address(i);
      if (!ours) {
        ++others;
        continue;
      }
      if (std::find(shown.begin(), shown.end(), e.address()) != shown.end()) continue;
      shown.push_back(e.address());
      Print("    %-16s %-17s %-16s %5d", EscapeControl(e.address()).c_str(), e.mac().c_str(),
            EscapeControl(e.mask()).c_str(), e.port);
    }
    if (others > 0) Print("    (and %d answer(s) from other devices on this machine)", others);
    if (!all) *why = "not every device was discovered within 10 s";
    return all;
  }

  bool LogIn(std::string* why) {
    for (int i = 0; i < kDevices; ++i) {
      Reply login = requests_->Login(Camera(i));
      if (!login.ok()) {
        *why = "login to " + fleet_->address(i) + " returned " + std::to_string(login.code) + " (" +
               DescribeExecuteResult(login.code) + ")";
        return false;
      }
      slots_.push_back(login.OutputInt("LOGINID"));
      DeviceReport report;
      report.address = fleet_->address(i);
      report.slot = slots_.back();
      reports_.push_back(report);
      Print("    %s:%d -> slot %d, channels %s", fleet_->address(i).c_str(), Camera(i).port,
            slots_.back(), login.output["ChanNum"].c_str());
    }
    return true;
  }

  bool Record(std::string* why) {
    for (int i = 0; i < kDevices; ++i) {
      taps_[i].Attach(host_->access(), slots_[i]);
      taps_[i].Arm();
      // Recording is started before the stream opens, so the file begins at
      // the stream's first key frame.
      Reply start = requests_->StartRecording(slots_[i], File("cam" + std::to_string(i + 1)));
      recordings_[i] = start.input["FileName"];
      Reply open = requests_->OpenStream(slots_[i], Camera(i), 0);
      if (!start.ok() || !open.ok()) {
        *why = "device " + std::to_string(i + 1) + ": start recording " +
               std::to_string(start.code) + ", open stream " + std::to_string(open.code);
        return false;
      }
    }
    auto begin = Clock::now();
    auto end = begin + milliseconds(static_cast<int64_t>(options_.recordSeconds * 1000));
    // Redrawn in place on a terminal; into a log only the final line goes.
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    for (;;) {
      auto now = Clock::now();
      std::string line;
      char part[64];
      std::snprintf(part, sizeof part, "    %4.1f s",
                    std::chrono::duration<double>(now - begin).count());
      line = part;
      for (int i = 0; i < kDevices; ++i) {
        TapCounts c = taps_[i].Read();
        std::snprintf(part, sizeof part, " | cam%d %4llu fr %7.1f kB", i + 1,
                      static_cast<unsigned long long>(c.recordedFrames),
                      double(c.recordedBytes) / 1000);
        line += part;
      }
      if (terminal || now >= end) {
        std::lock_guard lock(printMutex_);
        std::printf(terminal ? "\r%s" : "%s", line.c_str());
        std::fflush(stdout);
      }
      if (now >= end) break;
      taps_[0].WaitUntil(
          [](const TapCounts&) { return false; },
          std::min(std::chrono::duration_cast<milliseconds>(end - now), milliseconds(200)));
    }
    std::printf("\n");
    bool ok = true;
    for (int i = 0; i < kDevices; ++i) {
      // Closing the stream first means every frame delivered is also in the file.
      Reply close = requests_->CloseStream(slots_[i]);
      Reply stop = requests_->StopRecording(slots_[i]);
      taps_[i].Disarm();
      TapCounts c = taps_[i].Read();
      reports_[i].framesRecorded = c.recordedFrames;
      reports_[i].bytesRecorded = c.recordedBytes;
      Print("    %s: %llu frames, %llu bytes", recordings_[i].c_str(),
            static_cast<unsigned long long>(c.recordedFrames),
            static_cast<unsigned long long>(c.recordedBytes));
      if (!close.ok() || !stop.ok() || c.recordedFrames == 0) {
        *why = "device " + std::to_string(i + 1) + " recorded nothing or did not stop cleanly";
        ok = false;
      }
    }
    return ok;
  }

  // Snapshot through the plug-in; the decoded picture, or nullopt with *why.
  std::optional<GrayPicture> TakeSnapshot(int device, const std::string& name, std::string* why) {
    std::string path = File(name);
    std::error_code ec;
    std::filesystem::remove(path, ec);
    Reply reply = requests_->Snapshot(slots_[device], path);
    if (!reply.ok()) {
      *why = "snapshot returned " + std::to_string(reply.code);
      return std::nullopt;
    }
    return DecodeJpegFile(path, why);
  }

  bool Snapshots(std::string* why) {
    for (int i = 0; i < kDevices; ++i) {
      std::string name = "cam" + std::to_string(i + 1) + ".jpg";
      auto picture = TakeSnapshot(i, name, why);
      if (!picture) return false;
      std::error_code ec;
      reports_[i].snapshotBytes = static_cast<int64_t>(std::filesystem::file_size(File(name), ec));
      reports_[i].snapshotWidth = picture->width;
      reports_[i].snapshotHeight = picture->height;
      Print("    %s: %dx%d, %lld bytes", File(name).c_str(), picture->width, picture->height,
            static_cast<long long>(reports_[i].snapshotBytes));
    }
    return true;
  }

  bool Pan(std::string* why) {
    sim::Device& camera = fleet_->device(0);
    auto before = TakeSnapshot(0, "pan-before.jpg", why);
    auto still = TakeSnapshot(0, "pan-still.jpg", why);
    if (!before || !still) return false;
    double panBefore = camera.Observe().ptz.pan;
    auto right = FindPtzName("right");
    Reply start = requests_->Ptz(slots_[0], right->command, 1, 3);
    bool moved = camera.WaitFor(
        [&](const sim::Observations& o) {
          return o.ptz.pan >= panBefore + 0.05 || o.ptz.pan >= 0.99;
        },
        milliseconds(5000));
    Reply stop = requests_->Ptz(slots_[0], right->command, 0, 3);
    double panAfter = camera.Observe().ptz.pan;
    auto after = TakeSnapshot(0, "pan-after.jpg", why);
    if (!after) return false;
    Print("    PTZ right at speed 3: start %d, stop %d; the camera's pan went %.2f -> %.2f",
          start.code, stop.code, panBefore, panAfter);
    auto unmoved = ComparePictures(*before, *still, 64);
    auto panned = ComparePictures(*before, *after, 128);
    if (!unmoved || !panned) {
      *why = "the snapshots differ in size";
      return false;
    }
    Print(
        "    two snapshots without PTZ: mean pixel difference %.1f, best alignment shift (%d, %d)",
        unmoved->meanAbsDifference, unmoved->bestShiftX, unmoved->bestShiftY);
    Print(
        "    before and after panning:  mean pixel difference %.1f, best alignment shift (%d, %d), "
        "residual %.1f",
        panned->meanAbsDifference, panned->bestShiftX, panned->bestShiftY,
        panned->residualAtBestShift);
    if (!start.ok() || !stop.ok() || !moved) {
      *why = "the PTZ request failed or the camera did not move";
      return false;
    }
    // Panning right moves the scene left in the picture.
    // Shifting the picture back must explain most of the difference.
    if (panned->bestShiftX >= -4 || panned->residualAtBestShift * 2 > panned->meanAbsDifference ||
        panned->meanAbsDifference <= unmoved->meanAbsDifference) {
      *why = "the picture did not move left as the camera panned right";
      return false;
    }
    return true;
  }

  bool Alarm(std::string* why) {
    if (!fleet_->device(1).RaiseAlarm(kAlarmValue)) {
      *why = "the device could not deliver its alarm to the plug-in's listener";
      return false;
    }
    int32_t slot = slots_[1];
    bool arrived = EventHub::Instance().WaitUntil(
        [&](const std::vector<HostEvent>& events) { return HasAlarm(events, slot, kAlarmValue); },
        milliseconds(5000));
    if (!arrived)
      *why = "no alarm with value 4242 for slot " + std::to_string(slot) + " within 5 s";
    return arrived;
  }

  bool OffAndOnLine(std::string* why) {
    EventHub& hub = EventHub::Instance();
    // The monitor reports each login on line at its first pass (every 5 s).
    bool online = hub.WaitUntil(
        [&](const std::vector<HostEvent>& events) {
          for (int32_t slot : slots_) {
            if (!HasConnection(events, slot, 0)) return false;
          }
          return true;
        },
        milliseconds(12000));
    if (!online) {
      *why = "not every login was reported on line within 12 s";
      return false;
    }
    int32_t slot = slots_[2];
    int onlineBefore = CountConnection(hub.Events(), slot, 0);
    Print("    %.1f s: every device reported on line; stopping device 3 for 6 s", Elapsed());
    fleet_->device(2).Restart(milliseconds(6000));
    bool offline = hub.WaitUntil(
        [&](const std::vector<HostEvent>& events) { return HasConnection(events, slot, 1); },
        milliseconds(15000));
    if (!offline) {
      *why = "no off-line report for slot " + std::to_string(slot) + " within 15 s";
      return false;
    }
    bool back = hub.WaitUntil(
        [&](const std::vector<HostEvent>& events) {
          return CountConnection(events, slot, 0) > onlineBefore;
        },
        milliseconds(25000));
    if (!back)
      *why = "no on-line report for slot " + std::to_string(slot) + " within 25 s of off line";
    return back;
  }

  bool LogOut(std::string* why) {
    bool ok = true;
    for (int32_t slot : slots_) {
      Reply reply = requests_->Logout(slot);
      if (!reply.ok()) {
        *why += "logout of slot " + std::to_string(slot) + " returned " +
                std::to_string(reply.code) + "; ";
        ok = false;
      }
    }
    return ok;
  }

  bool Check(std::string* why) {
    bool ok = true;
    for (int i = 0; i < static_cast<int>(reports_.size()); ++i) {
      DeviceReport& r = reports_[i];
      if (recordings_[i].empty()) {
        ok = false;
        continue;
      }
      r.probe = ProbeH264File(recordings_[i]);
      auto bytes = ReadFileBytes(recordings_[i]);
      if (bytes) {
        r.fileBytes = static_cast<int64_t>(bytes->size());
        r.scan = ScanAnnexB(*bytes);
      }
      if (!r.RecordingSound()) {
        *why += "recording of device " + std::to_string(i + 1) + " does not match; ";
        ok = false;
      }
      if (r.snapshotBytes <= 0) ok = false;
    }
    return ok;
  }

  DemoOptions options_;
  Clock::time_point started_;
  int step_ = 0;
  std::mutex printMutex_;
  std::unique_ptr<Fleet> fleet_;
  DebugRelay relay_;  // outlives the plug-in: declared before it
  std::unique_ptr<PluginHost> host_;
  std::unique_ptr<Requests> requests_;
  std::vector<int32_t> slots_;
  StreamTap taps_[kDevices];
  std::string recordings_[kDevices];
  std::vector<DeviceReport> reports_;
};

}  // namespace
}  // namespace qrv::host

int main(int argc, char** argv) {
  qrv::host::DemoOptions options;
  CLI::App app{"qrv-demo: four simulated devices driven end to end through the QRV access plug-in"};
  app.set_version_flag("--version", "qrv-demo " QRV_VERSION);
  app.add_option("--output", options.output, "Folder for the recordings and snapshots")
      ->default_val("out/demo");
  app.add_option("--plugin", options.plugin,
                 "Plug-in library (default: ../lib/libqrvaccess.so beside this program)");
  app.add_option("--base-address", options.baseAddress,
                 "Loopback address of the first device; the others follow")
      ->default_val("127.0.0.11");
  app.add_option("--port", options.port, "Control port of the devices")->default_val(6001);
  app.add_option("--record-seconds", options.recordSeconds, "How long to record")
      ->default_val(3)
      ->check(CLI::Range(0.5, 60.0));
  app.add_flag("--verbose", options.verbose, "Show the plug-in's debugger messages, in UTF-8");
  CLI11_PARSE(app, argc, argv);
  return qrv::host::Demo(options).Run();
}
