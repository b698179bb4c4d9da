// qrv-simulator: runs simulated network video devices on loopback addresses
// until the run time ends or Ctrl-C, with optional injected faults, and
// prints one line per device and a summary.
#include <CLI/CLI.hpp>
#include <asio.hpp>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "host/kit/cli_checks.h"
#include "simulator/simulator.h"

namespace {

using qrv::sim::DeviceConfig;
using qrv::sim::MediaSettings;
using qrv::sim::Observations;

// The index-th address after base, leaving out addresses ending in .0 and .255.
bool NthAddress(const std::string& base, int index, std::string& out) {
  asio::error_code error;
  auto address = asio::ip::make_address_v4(base, error);
  if (error || !address.is_loopback()) return false;
  uint32_t value = address.to_uint();
  for (int i = 0; i < index; ++i) {
    do {
      ++value;
    } while ((value & 0xFF) == 0 || (value & 0xFF) == 0xFF);
  }
  if ((value >> 24) != 127) return false;
  out = asio::ip::address_v4(value).to_string();
  return true;
}

// HOST:PORT, already checked by the option's validator.
void SplitTarget(const std::string& text, std::string& host, uint16_t& port) {
  const auto colon = text.rfind(':');
  host = text.substr(0, colon);
  port = static_cast<uint16_t>(*qrv::host::cli::ParseWhole<int>(text.substr(colon + 1)));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Runs simulated network video devices on loopback addresses."};
  int devices = 1;
  std::string baseAddress = "127.0.0.10";
  uint16_t controlPort = 6001, streamPort = 6002;
  std::string user = "admin", password = "admin";
  std::string size = "640x360";
  int fps = 25, gop = 50;
  int bitrateKbps = 0;
  bool replay = false, flood = false, h265 = false;
  std::string alarmTarget = "127.0.0.1:5005";
  uint32_t alarmPeriodMs = 0;
  bool noDiscovery = false;
  uint16_t discoveryPort = 0;
  uint16_t rtspPort = 0;
  uint16_t onvifPort = 0, onvifDiscoveryPort = 3702;
  bool onvifMulticast = false;
  int64_t onvifClockOffset = 0;
  bool refuseLogins = false, stall = false, noMedia = false;
  double dropAfter = 0, restartAfter = 0, malformedAfter = 0, oversizedAfter = 0;
  uint32_t restartDelayMs = 1000;
  std::string restartSize;
  uint64_t throttle = 0;
  double duration = 60;
  int ioThreads = 2;

  namespace cli = qrv::host::cli;
  // Every option shows its default in --help.
  app.option_defaults()->always_capture_default();
  app.set_version_flag("--version", "qrv-simulator " QRV_VERSION);
  const auto seconds = cli::NumberIn(0, 86400, "a number of seconds");
  app.add_option("-n,--devices", devices, "Number of devices")
      ->check(cli::WholeIn(1, 4096, "a device count"));
  app.add_option("--base-address", baseAddress,
                 "Address of the first device; the others follow (127.x.y.z)")
      ->check(cli::LoopbackAddress());
  // --port as in qrv-host, where it is the device's control port too.
  app.add_option("--control-port,--port", controlPort, "Control port of every device")
      ->check(cli::Port());
  app.add_option("--stream-port", streamPort, "Stream port of every device")->check(cli::Port());
  app.add_option("--rtsp-port", rtspPort,
                 "Also serve rtsp://ADDRESS:PORT/stream0 and /stream1 (0 = no RTSP)")
      ->check(cli::WholeIn(0, 65535, "a port number"));
  app.add_option("--user", user, "User name the devices accept");
  app.add_option("--password", password, "Password the devices accept");
  app.add_option("--size", size, "Picture size WIDTHxHEIGHT")->check(cli::PictureSize());
  app.add_option("--fps", fps, "Frames per second")->check(cli::WholeIn(1, 120, "a frame rate"));
  app.add_option("--gop", gop, "Frames from one key frame to the next")
      ->check(cli::WholeIn(1, 1000, "a frame count"));
  app.add_option("--bitrate-kbps", bitrateKbps,
                 "Average bitrate of each stream in kbit/s, live and replay (0 = constant "
                 "quality, the size then follows the scene)")
      ->check(cli::WholeIn(0, 0, "a bitrate in kbit/s") |
              cli::WholeIn(16, 200000, "a bitrate in kbit/s"));
  app.add_flag("--replay", replay, "Send a pre-encoded loop from memory (many devices, low CPU)");
  app.add_flag("--flood", flood, "With --replay: send as fast as each viewer reads");
  app.add_flag("--h265", h265, "Live video in H.265 instead of H.264 (libx265), RTSP too");
  app.add_option("--alarm-target", alarmTarget, "Where alarms go, HOST:PORT")
      ->check(cli::LoopbackTarget());
  app.add_option("--alarm-period-ms", alarmPeriodMs, "Push an alarm this often (0 = never)")
      ->check(cli::WholeIn(0, 86400000, "a number of milliseconds"));
  app.add_flag("--no-discovery", noDiscovery, "Do not answer discovery probes");
  app.add_option("--discovery-port", discoveryPort, "Discovery port (0: the library's)")
      ->check(cli::WholeIn(0, 65535, "a port number"));
  app.add_option("--onvif-port", onvifPort, "ONVIF face HTTP port of every device (0: off)")
      ->check(cli::WholeIn(0, 65535, "a port number"));
  app.add_option("--onvif-discovery-port", onvifDiscoveryPort,
                 "WS-Discovery port on each device's address (0: none)")
      ->check(cli::WholeIn(0, 65535, "a port number"));
  app.add_flag("--onvif-multicast", onvifMulticast,
               "Also answer multicast WS-Discovery probes (in a network namespace only)");
  app.add_option("--onvif-clock-offset", onvifClockOffset,
                 "Seconds the ONVIF face's clock runs ahead of ours (negative: behind)")
      ->check(cli::WholeIn(-315360000, 315360000, "a number of seconds"));
  app.add_flag("--refuse-logins", refuseLogins, "Fault: refuse every login");
  app.add_flag("--stall", stall, "Fault: accept connections but never answer");
  app.add_flag("--no-media", noMedia,
               "Logins and stream opens succeed, but no media is sent (an idle camera)");
  app.add_option("--drop-after", dropAfter,
                 "Fault: drop every connection every N seconds (0 = never)")
      ->check(seconds);
  app.add_option("--restart-after", restartAfter,
                 "Fault: restart every device every N seconds (0 = never)")
      ->check(seconds);
  app.add_option("--restart-delay-ms", restartDelayMs, "How long a restart keeps devices down")
      ->check(cli::WholeIn(0, 600000, "a number of milliseconds"));
  app.add_option("--restart-size", restartSize,
                 "Picture size after a restart, WIDTHxHEIGHT (empty: unchanged)")
      ->check(cli::PictureSize());
  app.add_option("--malformed-after", malformedAfter,
                 "Fault: every N seconds, send each viewer a malformed frame and close (0 = never)")
      ->check(seconds);
  app.add_option(
         "--oversized-after", oversizedAfter,
         "Fault: every N seconds, send each viewer an oversized frame and close (0 = never)")
      ->check(seconds);
  app.add_option("--throttle", throttle,
                 "Fault: limit each connection to N bytes per second (0 = no limit)")
      ->check(cli::WholeIn(0, int64_t(1) << 40, "a number of bytes per second"));
  // --seconds as in qrv-host; --duration is the older name.
  app.add_option("--seconds,--duration", duration, "Run time in seconds (0 = until Ctrl-C)")
      ->check(cli::NumberIn(0.0, 7.0 * 24 * 3600, "a number of seconds"));
  app.add_option("--io-threads", ioThreads, "Network threads")
      ->check(cli::WholeIn(1, 64, "a thread count"));
  app.footer(
      "Exit statuses: 0 the run ended (time up, SIGINT or SIGTERM); 1 a device could not "
      "be started; 2 usage error.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::fprintf(stderr, "qrv-simulator: %s\nRun 'qrv-simulator --help' for the options.\n",
                 e.what());
    return 2;
  }

  // Sizes were checked by their validators.
  MediaSettings media{0, 0, fps, gop, bitrateKbps};
  std::tie(media.width, media.height) = *cli::ParsePictureSize(size);
  MediaSettings restartMedia = media;
  if (!restartSize.empty()) {
    std::tie(restartMedia.width, restartMedia.height) = *cli::ParsePictureSize(restartSize);
  }
  DeviceConfig base;
  SplitTarget(alarmTarget, base.alarmHost, base.alarmPort);
  base.controlPort = controlPort;
  base.streamPort = streamPort;
  base.user = user;
  base.password = password;
  base.media = media;
  base.replay = replay;
  base.flood = flood;
  base.h265 = h265;
  base.alarmPeriodMs = alarmPeriodMs;
  base.answerDiscovery = !noDiscovery;
  base.discoveryPort = discoveryPort;
  base.rtspPort = rtspPort;
  base.onvifPort = onvifPort;
  base.onvifDiscoveryPort = onvifDiscoveryPort;
  base.onvifMulticast = onvifMulticast;
  base.onvifClockOffsetSeconds = onvifClockOffset;

  qrv::sim::Simulator simulator(qrv::sim::SimulatorOptions{ioThreads});
  for (int i = 0; i < devices; ++i) {
    DeviceConfig config = base;
    if (!NthAddress(baseAddress, i, config.address)) {
      std::fprintf(stderr, "error: device %d has no address in 127.0.0.0/8 after %s\n", i + 1,
                   baseAddress.c_str());
      return 2;
    }
    std::string error;
    qrv::sim::Device* device = simulator.AddDevice(config, &error);
    if (!device) {
      std::fprintf(stderr, "error: device %d: %s\n", i + 1, error.c_str());
      return 1;
    }
    device->SetRefuseLogins(refuseLogins);
    device->SetStall(stall);
    device->SetThrottle(throttle);
    if (noMedia) device->StopMedia();
    const auto& c = device->Config();
    const std::string rate =
        c.media.bitrateKbps > 0 ? "  " + std::to_string(c.media.bitrateKbps) + " kbit/s" : "";
    std::printf("device %d  %s  control %u  stream %u  identity %s  %dx%d@%d gop %d%s%s%s%s\n",
                i + 1, c.address.c_str(), c.controlPort, c.streamPort, c.identity.c_str(),
                c.media.width, c.media.height, c.media.fps, c.media.gop, rate.c_str(),
                c.replay ? "  replay" : "", c.flood ? " flood" : "", c.h265 ? "  H.265" : "");
    if (c.rtspPort != 0)
      std::printf("device %d  rtsp://%s:%u/stream0\n", i + 1, c.address.c_str(), c.rtspPort);
  }
  if (duration > 0) {
    std::printf("%d device(s) running for %g s\n", devices, duration);
  } else {
    std::printf("%d device(s) running until Ctrl-C\n", devices);
  }
  std::fflush(stdout);

  // The main thread waits here for the end of the run, a signal, or the
  // next injected fault.
  asio::io_context control;
  asio::signal_set signals(control, SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code&, int) { control.stop(); });
  // Each periodic fault runs on its own timer in the main thread.
  std::vector<std::unique_ptr<asio::steady_timer>> timers;
  std::function<void(asio::steady_timer&, double, std::function<void(qrv::sim::Device&)>)> every =
      [&](asio::steady_timer& timer, double seconds, std::function<void(qrv::sim::Device&)> fault) {
        timer.expires_after(std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::duration<double>(seconds)));
        timer.async_wait([&, seconds, fault](const asio::error_code& e) {
          if (e) return;
          for (size_t i = 0; i < simulator.DeviceCount(); ++i) fault(simulator.device(i));
          every(timer, seconds, fault);
        });
      };
  auto schedule = [&](double seconds, std::function<void(qrv::sim::Device&)> fault) {
    if (seconds <= 0) return;
    timers.push_back(std::make_unique<asio::steady_timer>(control));
    every(*timers.back(), seconds, std::move(fault));
  };
  schedule(dropAfter, [](qrv::sim::Device& d) { d.DropAllConnections(); });
  schedule(restartAfter, [&](qrv::sim::Device& d) {
    d.Restart(std::chrono::milliseconds(restartDelayMs),
              restartSize.empty() ? nullptr : &restartMedia);
  });
  schedule(malformedAfter, [](qrv::sim::Device& d) { d.InjectMalformedFrame(); });
  schedule(oversizedAfter, [](qrv::sim::Device& d) { d.InjectOversizedFrame(); });
  if (duration > 0) {
    control.run_for(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(duration)));
  } else {
    control.run();
  }

  simulator.Stop();
  std::vector<Observations> observed;
  for (size_t i = 0; i < simulator.DeviceCount(); ++i)
    observed.push_back(simulator.device(i).Observe());
  std::printf("%s\n", qrv::sim::SummaryLine(observed).c_str());
  return 0;
}
