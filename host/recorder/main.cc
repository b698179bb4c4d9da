// qrv-recorder: records every device listed in a TOML file into segment
// files, as a long-running service. SIGHUP reloads the file (and reopens the
// log file), SIGTERM or SIGINT stop it: every device is logged out and every
// segment finished before it exits.
//
// Exit statuses: 0 stopped by a signal; 1 stopped, but a device was still
// failing to write its segments at the end; 2 usage error or a configuration
// that cannot be loaded; 3 the plug-in could not be loaded or initialised.
//
// Threads: the main thread owns the plug-in (Load, Init, Uninit), applies
// configurations and waits for signals, which every thread blocks.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "devicelib/tmcc_extensions.h"
#include "host/kit/device_address.h"
#include "host/kit/plugin_host.h"
#include "host/kit/requests.h"
#include "host/recorder/config.h"
#include "host/recorder/json_log.h"
#include "host/recorder/recorder.h"
#include "host/recorder/segment_closer.h"

#ifndef QRV_VERSION
#define QRV_VERSION "0"
#endif

namespace {

using namespace qrv::recorder;

constexpr int kExitUsage = 2;
constexpr int kExitPlugin = 3;

nlohmann::ordered_json Names(const std::vector<std::string>& names) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const auto& n : names) list.push_back(n);
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Records the devices listed in a configuration file into segment files."};
  std::string configPath;
  std::string pluginPath;
  std::string logTarget;
  bool check = false;
  app.add_option("-c,--config", configPath, "Configuration file (TOML)")
      ->required()
      ->check(CLI::ExistingFile);
  app.add_option("--plugin", pluginPath,
                 "Plug-in library (default: [recorder] plugin, else the one installed beside "
                 "the program)");
  app.add_option("--log", logTarget,
                 "JSON lines to this file, or - for standard output "
                 "(default: [recorder] log)");
  app.add_flag("--check", check, "Only check the configuration and exit");
  app.set_version_flag("--version", std::string("qrv-recorder ") + QRV_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }

  ConfigResult config = LoadConfig(configPath);
  if (!config.settings) {
    std::cerr << "qrv-recorder: " << qrv::host::RedactUserInfo(config.error) << "\n";
    return kExitUsage;
  }
  RecorderSettings settings = *config.settings;
  if (check) {
    if (std::string problem = CheckOutputs(settings); !problem.empty()) {
      std::cerr << "qrv-recorder: " << configPath << ": " << qrv::host::RedactUserInfo(problem)
                << "\n";
      return kExitUsage;
    }
    std::cout << configPath << ": " << settings.devices.size() << " device(s), valid\n";
    return 0;
  }
  if (!logTarget.empty()) settings.log = logTarget;

  // Before the plug-in loads the device library, which reads it at each
  // connect; a reload cannot change it under the library's threads.
  const std::string allowBasic = BasicAllowList(settings);
  if (!allowBasic.empty()) {
    const char* before = std::getenv(qrv::devicelib::kAllowBasicVariable);
    const std::string list =
        before != nullptr && *before != 0 ? std::string(before) + "," + allowBasic : allowBasic;
    setenv(qrv::devicelib::kAllowBasicVariable, list.c_str(), 1);
  }

  // Every thread made from here on (the plug-in's, the library's) inherits
  // the blocked set, so the signals wait for sigwaitinfo below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  JsonLog log;
  std::string error;
  if (!log.Open(settings.log, &error)) {
    std::cerr << "qrv-recorder: " << error << "\n";
    return kExitUsage;
  }
  const std::string plugin = !pluginPath.empty()        ? pluginPath
                             : !settings.plugin.empty() ? settings.plugin
                                                        : qrv::host::DefaultPluginPath();
  auto host = qrv::host::PluginHost::Load(plugin, &error);
  if (!host) {
    log.Write("fatal", {{"error", error}});
    std::cerr << "qrv-recorder: " << error << "\n";
    return kExitPlugin;
  }
  if (host->Init() != 1) {
    log.Write("fatal", {{"error", "the plug-in's Init failed: " + plugin}});
    std::cerr << "qrv-recorder: the plug-in's Init failed: " << plugin << "\n";
    return kExitPlugin;
  }

  int result = 0;
  {
    SegmentCloser closer(log);
    Recorder recorder(host->access(), log, closer,
                      reinterpret_cast<qrv::devicelib::RegisterAddressFunction>(
                          host->FindExport(qrv::devicelib::kRegisterAddressName)));
    recorder.RegisterEvents();
    log.Write("start", {{"version", QRV_VERSION},
                        {"pid", static_cast<int64_t>(getpid())},
                        {"config", configPath},
                        {"plugin", plugin},
                        {"devices", settings.devices.size()}});
    // The plug-in starts its alarm listener in Init and knows whether it got
    // the port; without it the devices' alarms are lost, so say so loudly.
    qrv::host::Reply service = qrv::host::Requests(host->access())
                                   .Execute({{"Operation", std::to_string(kQrvOpServiceStatus)}});
    if (auto it = service.output.find(kQrvKeyServiceAlarmListener);
        service.ok() && it != service.output.end()) {
      const bool listening = it->second == "1";
      recorder.SetAlarmListener(listening);
      if (!listening) {
        auto port = service.output.find(kQrvKeyServiceAlarmPort);
        log.Write("alarm_listener_failed",
                  {{"port", port != service.output.end() ? port->second : ""},
                   {"error", "the alarm port could not be taken: no alarms will be received"}});
      }
    }
    recorder.Apply(settings);

    int stopSignal = 0;
    while (stopSignal == 0) {
      // Nothing to do here but for a signal: no time-out, no wake-up.
      siginfo_t info{};
      int got = sigwaitinfo(&signals, &info);
      if (got == SIGTERM || got == SIGINT) {
        stopSignal = got;
      } else if (got == SIGHUP) {
        ConfigResult reloaded = LoadConfig(configPath);
        if (!reloaded.settings) {
          log.Write("reload_failed", {{"error", reloaded.error}});
          continue;
        }
        RecorderSettings next = *reloaded.settings;
        if (!logTarget.empty()) next.log = logTarget;
        // The plug-in cannot be swapped under running devices.
        if (pluginPath.empty() && next.plugin != settings.plugin)
          log.Write(
              "restart_required",
              {{"setting", "plugin"},
               {"running", plugin},
               {"configured", next.plugin.empty() ? qrv::host::DefaultPluginPath() : next.plugin}});
        if (!log.Open(next.log, &error)) log.Write("log_failed", {{"error", error}});
        if (BasicAllowList(next) != allowBasic)
          log.Write("restart_required", {{"setting", "allow_basic"},
                                         {"running", allowBasic},
                                         {"configured", BasicAllowList(next)}});
        Recorder::Changes changes = recorder.Apply(next);
        settings.plugin = next.plugin;
        log.Write("reload", {{"added", Names(changes.added)},
                             {"removed", Names(changes.removed)},
                             {"changed", Names(changes.changed)},
                             {"unchanged", changes.unchanged}});
      }
    }

    // A second stop signal while stopping ends the process at once.
    std::thread([signals] {
      int again = 0;
      sigwait(&signals, &again);
      if (again == SIGTERM || again == SIGINT) std::_Exit(1);
    }).detach();

    const auto stopping = std::chrono::steady_clock::now();
    log.Write("stopping", {{"signal", stopSignal == SIGTERM ? "SIGTERM" : "SIGINT"}});
    const size_t failing = recorder.StopAll();
    closer.Drain();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - stopping)
                        .count();
    log.Write("stopped", {{"elapsed_ms", ms},
                          {"segments_finished", closer.finished()},
                          {"segments_failed", closer.failed()},
                          {"devices_failing", failing + closer.failingDevices()},
                          {"log_lines_failed", log.failedWrites()}});
    // Failures a device recovered from (a later segment written whole) are
    // in the log; the status tells whether writing works at the end.
    result = failing == 0 && closer.failingDevices() == 0 ? 0 : 1;
  }
  host.reset();  // Uninit and delete
  return result;
}
