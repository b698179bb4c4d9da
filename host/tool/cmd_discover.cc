#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

#include "host/kit/event_hub.h"
#include "host/kit/text_escape.h"
#include "host/tool/commands.h"

namespace qrv::host {
namespace {

struct DiscoverOptions {
  double seconds = 3;
};

int RunDiscover(const GlobalOptions& global, const DiscoverOptions& options) {
  auto session = ToolSession::Open(global);
  if (!session) return kExitSetUp;
  EventHub& hub = EventHub::Instance();
  Reply refresh = session->requests().RefreshDiscovery();
  if (!refresh.ok()) return session->Fail("discovery refresh", refresh.code);
  // Answers keep arriving on the library's thread; collect for the whole time.
  hub.WaitUntil([](const std::vector<HostEvent>&) { return false; },
                std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000)));
  std::map<std::string, HostEvent> found;  // by address and MAC, so the list is sorted
  for (const HostEvent& e : hub.Events()) {
    if (e.kind == HostEvent::kDiscovery) found.emplace(e.address() + " " + e.mac(), e);
  }
  if (session->json()) {
    JsonArray devices;
    for (const auto& [key, e] : found) {
      devices.Add(JsonObject()
                      .Text("address", e.address())
                      .Text("mac", e.mac())
                      .Text("mask", e.mask())
                      .Int("port", e.port)
                      .Int("deviceType", e.deviceType)
                      .Text("defaultUser", e.defaultUser()));
    }
    session->SayJson(JsonObject()
                         .Bool("ok", true)
                         .Int("count", int64_t(found.size()))
                         .Array("devices", devices));
    return kExitOk;
  }
  char line[160];
  std::snprintf(line, sizeof line, "%-16s  %-17s  %-16s  %5s", "ADDRESS", "MAC", "MASK", "PORT");
  session->Say(line);
  for (const auto& [key, e] : found) {
    // Address and mask are the device's own texts: shown escaped.
    std::snprintf(line, sizeof line, "%-16s  %-17s  %-16s  %5d", EscapeControl(e.address()).c_str(),
                  e.mac().c_str(), EscapeControl(e.mask()).c_str(), e.port);
    session->Say(line);
  }
  session->Say(std::to_string(found.size()) + " device(s) found");
  return kExitOk;
}

}  // namespace

void AddDiscoverCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto options = std::make_shared<DiscoverOptions>();
  CLI::App* command =
      app.add_subcommand("discover", "Refresh discovery and list the devices found");
  command->add_option("--seconds", options->seconds, "How long to collect answers")
      ->default_val(3)
      ->check(CLI::Range(0.0, 600.0));
  command->callback([&global, options, run] {
    *run = [&global, options] { return RunDiscover(global, *options); };
  });
}

}  // namespace qrv::host
