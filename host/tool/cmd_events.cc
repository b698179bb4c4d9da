#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "host/kit/event_hub.h"
#include "host/tool/commands.h"
#include "host/tool/event_text.h"

namespace qrv::host {
namespace {

struct EventsOptions {
  double seconds = 10;
  std::vector<std::string> addresses;
  DeviceOptions device;  // port and account for --ip logins
};

int RunEvents(const GlobalOptions& global, const EventsOptions& options) {
  // Print from the reporting threads as events come; set before Init so the
  // first discoveries are not missed.
  auto printMutex = std::make_shared<std::mutex>();
  bool json = global.json;
  EventHub::Instance().SetListener([printMutex, json](const HostEvent& event) {
    std::lock_guard lock(*printMutex);
    std::printf("%s\n", json ? EventJson(event).Str().c_str() : DescribeEvent(event).c_str());
    std::fflush(stdout);
  });
  auto session = ToolSession::Open(global);
  if (!session) return kExitSetUp;
  std::vector<int32_t> slots;
  int status = kExitOk;
  for (const std::string& address : options.addresses) {
    DeviceOptions device = options.device;
    device.address = address;
    int32_t slot = session->Login(device);
    if (slot < 0)
      status = kExitFailed;
    else
      slots.push_back(slot);
  }
  session->Say("listening for alarms, discoveries and on-line/off-line changes for " +
               SecondsText(options.seconds) + " s");
  EventHub::Instance().WaitUntil(
      [](const std::vector<HostEvent>&) { return false; },
      std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000)));
  for (int32_t slot : slots) session->Logout(slot);
  EventHub::Instance().SetListener(nullptr);
  return status;
}

}  // namespace

void AddEventsCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto options = std::make_shared<EventsOptions>();
  CLI::App* command = app.add_subcommand(
      "events",
      "Print alarms, discovered devices and on-line/off-line changes as they come. On-line and "
      "off-line changes are reported for logged-in devices: name them with --ip.");
  command->add_option("--seconds", options->seconds, "How long to listen")
      ->default_val(10)
      ->check(CLI::Range(0.0, 86400.0));
  command->add_option("--ip", options->addresses, "Device to log in to (repeatable)");
  command->add_option("--port", options->device.port, "Control port of those devices")
      ->default_val(6001);
  command->add_option("--user", options->device.user, "User name")->default_val("admin");
  command->add_option("--password", options->device.password, "Password")->default_val("admin");
  command->callback([&global, options, run] {
    *run = [&global, options] { return RunEvents(global, *options); };
  });
}

}  // namespace qrv::host
