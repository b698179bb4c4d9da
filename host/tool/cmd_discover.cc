#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

#include "host/kit/cli_checks.h"
#include "host/kit/event_hub.h"
#include "host/kit/text_escape.h"
#include "host/tool/commands.h"
#include "host/tool/interrupt.h"

namespace qrv::host {
namespace {

struct DiscoverOptions {
  double seconds = 3;
};

int RunDiscover(const GlobalOptions& global, const DiscoverOptions& options) {
  auto session = ToolSession::Open(global);
  if (!session) return kExitPluginLoad;
  Report& out = session->report();
  EventHub& hub = EventHub::Instance();
  Reply refresh = session->requests().RefreshDiscovery();
  if (!refresh.ok()) return out.Fail("discovery refresh", refresh.code);
  // Answers keep arriving on the library's thread; collect for the whole time
  // (a signal ends the wait early and lists what came so far).
  Interrupt::WaitFor(std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000)));
  std::map<std::string, HostEvent> found;  // by address and MAC, so the list is sorted
  for (const HostEvent& e : hub.Events()) {
    if (e.kind == HostEvent::kDiscovery) found.emplace(e.address() + " " + e.mac(), e);
  }
  // The records' default account is not shown: devices refuse it unless set
  // up that way, so printing it would mislead.
  nlohmann::json devices = nlohmann::json::array();
  for (const auto& [key, e] : found) {
    devices.push_back({{"address", e.address()},
                       {"mac", e.mac()},
                       {"mask", e.mask()},
                       {"port", e.port},
                       {"deviceType", e.deviceType}});
  }
  out.Set("count", found.size());
  out.Set("devices", std::move(devices));
  char line[160];
  std::snprintf(line, sizeof line, "%-16s  %-17s  %-16s  %5s", "ADDRESS", "MAC", "MASK", "PORT");
  out.Say(line);
  for (const auto& [key, e] : found) {
    std::snprintf(line, sizeof line, "%-16s  %-17s  %-16s  %5d", EscapeControl(e.address()).c_str(),
                  e.mac().c_str(), EscapeControl(e.mask()).c_str(), e.port);
    out.Say(line);
  }
  out.Say(std::to_string(found.size()) + " device(s) found");
  return kExitOk;
}

}  // namespace

void AddDiscoverCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto options = std::make_shared<DiscoverOptions>();
  CLI::App* command =
      app.add_subcommand("discover", "Refresh discovery and list the devices found");
  command->add_option("--seconds", options->seconds, "How long to collect answers")
      ->default_val(3)
      ->check(cli::NumberIn(0, 600, "a number of seconds"));
  command->callback([&global, options, run] {
    *run = [&global, options] { return RunDiscover(global, *options); };
  });
}

}  // namespace qrv::host
