// How long an event takes from a simulated standard camera to the host's
// alarm callback: the camera (in this process, on loopback addresses of its
// own) raises an event on its ONVIF face, the plug-in's login pulls it
// through the device library, and the host's callback stamps its arrival.
// Each sample is another digital input turning true (the host's alarm -N):
// the simulated camera's motion never turns false again, so only its first
// motion is an alarm; both take the same way.
// Prints one line: samples, lost, median, p95 and the largest delay.
//
//   alarm_latency_bench [SAMPLES [GAP_MS]]   (defaults 50 and 100)
//
// Loopback only; at most 1000 samples, each waited for at most 3 s.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/kit/event_hub.h"
#include "host/kit/plugin_host.h"
#include "host/kit/requests.h"
#include "host/sim/fleet.h"

namespace {

using Clock = std::chrono::steady_clock;
using qrv::host::EventHub;
using qrv::host::HostEvent;

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Quantile(std::vector<double> sorted, double q) {
  if (sorted.empty()) return 0;
  const size_t at = static_cast<size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(at, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  const int samples = std::clamp(argc > 1 ? std::atoi(argv[1]) : 50, 1, 1000);
  const int gapMs = std::clamp(argc > 2 ? std::atoi(argv[2]) : 100, 0, 10000);

  qrv::host::FleetOptions options;
  options.baseAddress = qrv::host::ProcessLoopbackBase(41);
  options.count = 1;
  options.onvifPort = 8080;
  options.answerDiscovery = false;
  options.alarmPort = 1;  // nothing listens: motion reaches us only by the pulls
  std::string error;
  auto fleet = qrv::host::Fleet::Start(options, &error);
  if (!fleet) {
    std::fprintf(stderr, "alarm_latency_bench: %s\n", error.c_str());
    return 1;
  }
  auto plugin = qrv::host::PluginHost::Load(qrv::host::DefaultPluginPath(), &error);
  if (!plugin) {
    std::fprintf(stderr, "alarm_latency_bench: %s\n", error.c_str());
    return 1;
  }
  EventHub& hub = EventHub::Instance();
  hub.RegisterWith(plugin->access());
  if (plugin->Init() != 1) return 1;
  qrv::host::Requests requests(plugin->access());
  qrv::host::Reply login = requests.Login(fleet->onvifCredentials(0));
  if (!login.ok()) {
    std::fprintf(stderr, "alarm_latency_bench: login refused (%d)\n", login.code);
    return 1;
  }
  const int32_t slot = login.OutputInt("LOGINID");

  // The event pulls start after the login returns: motion before the first
  // one is nobody's, so it is raised until one arrives (bounded).
  int32_t value = -1;
  auto heard = [&](int32_t wanted, size_t mark) {
    return [&, wanted, mark](const std::vector<HostEvent>& events) {
      return std::any_of(events.begin() + static_cast<long>(std::min(mark, events.size())),
                         events.end(), [&](const HostEvent& e) {
                           return e.kind == HostEvent::kAlarm && e.slot == slot &&
                                  e.alarmValue == wanted;
                         });
    };
  };
  bool ready = false;
  for (int i = 0; i < 15 && !ready; ++i, --value) {
    const size_t mark = hub.Count();
    fleet->device(0).RaiseAlarm(value);
    ready = hub.WaitUntil(heard(value, mark), std::chrono::seconds(1));
  }
  if (!ready) {
    std::fprintf(stderr, "alarm_latency_bench: no alarm reached the host\n");
    return 1;
  }

  std::vector<double> delays;
  int lost = 0;
  for (int i = 0; i < samples; ++i, --value) {
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    const size_t mark = hub.Count();
    const auto raised = Clock::now();
    fleet->device(0).RaiseAlarm(value);
    if (!hub.WaitUntil(heard(value, mark), std::chrono::seconds(3))) {
      ++lost;
      continue;
    }
    const auto events = hub.Events();
    for (size_t k = mark; k < events.size(); ++k) {
      const HostEvent& e = events[k];
      if (e.kind == HostEvent::kAlarm && e.slot == slot && e.alarmValue == value) {
        delays.push_back(Milliseconds(e.at - raised));
        break;
      }
    }
  }
  requests.Logout(slot);
  std::sort(delays.begin(), delays.end());
  std::printf(
      "alarm_latency_bench: an event at the camera to the host's alarm callback, %d ms apart: %zu "
      "samples, %d lost, median %.2f ms, p95 %.2f ms, max %.2f ms\n",
      gapMs, delays.size(), lost, Quantile(delays, 0.5), Quantile(delays, 0.95),
      delays.empty() ? 0.0 : delays.back());
  return lost == 0 ? 0 : 1;
}
