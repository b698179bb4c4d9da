#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "host/kit/cli_checks.h"
#include "host/kit/event_hub.h"
#include "host/tool/commands.h"
#include "host/tool/event_text.h"
#include "host/tool/interrupt.h"

namespace qrv::host {
namespace {

struct EventsOptions {
  double seconds = 10;
  std::vector<std::string> addresses;
  DeviceOptions device;  // port and account for --ip logins
};

// Events kept in the JSON document; a flood beyond it is counted, not kept.
constexpr size_t kMaxJsonEvents = 100000;

int RunEvents(const GlobalOptions& global, const EventsOptions& options) {
  // slot -> device, filled as logins succeed and read by the reporting
  // threads; set before Init so the first discoveries are not missed.
  auto devices = std::make_shared<SlotDevices>();
  auto devicesMutex = std::make_shared<std::mutex>();
  Report::Instance().Set("events", nlohmann::json::array());
  EventHub::Instance().SetListener([devices, devicesMutex](const HostEvent& event) {
    SlotDevices known;
    {
      std::lock_guard lock(*devicesMutex);
      known = *devices;
    }
    Report& out = Report::Instance();
    if (out.json())
      out.Append("events", EventJson(event, known), kMaxJsonEvents);
    else
      out.Say(DescribeEvent(event, known));
  });
  auto session = ToolSession::Open(global);
  if (!session) return kExitPluginLoad;
  Report& out = session->report();
  // Another program holding the alarm port leaves the plug-in running without
  // alarms: the run can only be partial then, and the operator must know why.
  bool alarmsHeard = true;
  Reply service = session->requests().Execute({{"Operation", "101"}});
  if (service.ok() && service.output.count("AlarmListener") != 0) {
    alarmsHeard = service.output["AlarmListener"] == "1";
    std::string port = service.output["AlarmPort"];
    out.Set("alarmListener",
            {{"listening", alarmsHeard}, {"port", cli::ParseWhole<int32_t>(port).value_or(-1)}});
    if (!alarmsHeard) {
      out.FailText("the alarm port " + port +
                       " could not be taken (another program holds it?): no alarm will be heard",
                   kExitPartial);
    }
  }
  std::vector<std::pair<int32_t, DeviceOptions>> slots;
  int failedStatus = kExitOk;
  for (const std::string& address : options.addresses) {
    DeviceOptions device = options.device;
    device.address = address;
    int status = kExitOk;
    int32_t slot = session->Login(device, &status, false);
    if (slot < 0) {
      failedStatus = Worse(failedStatus, status);
      continue;
    }
    std::lock_guard lock(*devicesMutex);
    (*devices)[slot] = device.Where();
    slots.emplace_back(slot, device);
  }
  nlohmann::json logged = nlohmann::json::array();
  for (const auto& [slot, device] : slots)
    logged.push_back({{"device", device.Where()}, {"slot", slot}});
  out.Set("devices", logged);
  int status = failedStatus;
  if (failedStatus != kExitOk && !slots.empty()) status = kExitPartial;
  if (slots.empty() && !options.addresses.empty()) {
    EventHub::Instance().SetListener(nullptr);
    return status;
  }
  if (!alarmsHeard) status = Worse(status, kExitPartial);
  out.Note(std::string(alarmsHeard ? "listening for alarms, discoveries"
                                   : "listening (without alarms) for discoveries") +
           " and on-line/off-line changes for " + SecondsText(options.seconds) + " s");
  Interrupt::WaitFor(std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000)));
  for (const auto& [slot, device] : slots) status = Worse(status, session->Logout(slot, device));
  EventHub::Instance().SetListener(nullptr);
  return status;
}

}  // namespace

void AddEventsCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto options = std::make_shared<EventsOptions>();
  CLI::App* command = app.add_subcommand(
      "events",
      "Print alarms, discovered devices and on-line/off-line changes as they come, each with its "
      "time (UTC, ISO 8601) and device. On-line and off-line changes are reported for logged-in "
      "devices: name them with --ip. Ends after --seconds or at SIGINT/SIGTERM.");
  command->add_option("--seconds", options->seconds, "How long to listen")
      ->default_val(10)
      ->check(cli::NumberIn(0, 86400, "a number of seconds"));
  command->add_option("--ip", options->addresses, "Device to log in to (repeatable)");
  command->add_option("--port", options->device.port, "Control port of those devices")
      ->default_val(6001)
      ->check(cli::Port());
  AddCredentialOptions(*command, options->device);
  command->callback([&global, options, run] {
    *run = [&global, options] { return RunEvents(global, *options); };
  });
}

}  // namespace qrv::host
