#include "simulator/simulator.h"

#include <algorithm>
#include <asio.hpp>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "simulator/device/device_impl.h"
#include "simulator/device/discovery_responder.h"
#include "tmcc/common/codec/messages.h"

namespace qrv::sim {

namespace {

// Fills the identity and MAC a configuration leaves empty from its address,
// so every device of a run is distinct.
DeviceConfig WithDefaults(DeviceConfig config) {
  asio::error_code error;
  const auto bytes = asio::ip::make_address_v4(config.address, error).to_bytes();
  if (config.identity.empty()) {
    config.identity = "QRVSIM-" + std::to_string(bytes[1]) + "-" + std::to_string(bytes[2]) + "-" +
                      std::to_string(bytes[3]);
  }
  if (config.mac == std::array<uint8_t, 6>{}) {
    // Locally administered unicast address.
    config.mac = {0x02, 0x51, 0x56, bytes[1], bytes[2], bytes[3]};
  }
  return config;
}

}  // namespace

// --- Device: the public face of Device::Impl ---

Device::Device(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
Device::~Device() = default;
const DeviceConfig& Device::Config() const {
  return impl_->Config();
}
MediaSettings Device::CurrentMedia() const {
  return impl_->CurrentMedia();
}
Observations Device::Observe() const {
  return impl_->Observe();
}
bool Device::WaitFor(const std::function<bool(const Observations&)>& pred,
                     std::chrono::milliseconds timeout) const {
  return impl_->WaitFor(pred, timeout);
}
bool Device::RaiseAlarm(int32_t value) {
  return impl_->RaiseAlarm(value);
}
int32_t Device::Ptz(int32_t code, int32_t param1, int32_t param2) {
  return impl_->Ptz(code, param1, param2);
}
std::vector<uint8_t> Device::Snapshot() {
  return impl_->Snapshot();
}
void Device::SetRefuseLogins(bool on) {
  impl_->SetRefuseLogins(on);
}
void Device::SetStall(bool on) {
  impl_->SetStall(on);
}
void Device::DropAllConnections() {
  impl_->DropAllConnections();
}
void Device::Restart(std::chrono::milliseconds delay, const MediaSettings* newMedia) {
  impl_->Restart(delay, newMedia);
}
void Device::InjectMalformedFrame() {
  impl_->InjectStreamFault(Impl::kFaultMalformed);
}
void Device::InjectOversizedFrame() {
  impl_->InjectStreamFault(Impl::kFaultOversized);
}
void Device::SetThrottle(uint64_t bytesPerSecond) {
  impl_->SetThrottle(bytesPerSecond);
}
void Device::StopMedia() {
  impl_->StopMedia();
}

// --- Simulator ---

struct Simulator::State {
  asio::io_context io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::vector<std::thread> threads;
  mutable std::mutex mutex;  // guards everything below
  std::vector<std::shared_ptr<Device::Impl>> impls;
  std::vector<std::unique_ptr<Device>> devices;
  std::map<uint16_t, std::shared_ptr<DiscoveryResponder>> responders;
  bool stopped = false;
};

Simulator::Simulator(SimulatorOptions options) : state_(std::make_unique<State>()) {
  state_->work.emplace(asio::make_work_guard(state_->io));
  const int threads = std::clamp(options.ioThreads, 1, 64);
  for (int i = 0; i < threads; ++i) state_->threads.emplace_back([this] { state_->io.run(); });
}

Simulator::~Simulator() {
  Stop();
  state_->work.reset();
  state_->io.stop();
  for (auto& t : state_->threads) t.join();
}

Device* Simulator::AddDevice(const DeviceConfig& config, std::string* error) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->stopped) {
    if (error) *error = "the simulator was stopped";
    return nullptr;
  }
  auto impl = std::make_shared<Device::Impl>(state_->io, WithDefaults(config));
  std::shared_ptr<DiscoveryResponder> responder;
  const uint16_t port =
      config.discoveryPort ? config.discoveryPort : tmcc::protocol::kDiscoveryPort;
  if (config.answerDiscovery) {
    auto it = state_->responders.find(port);
    if (it != state_->responders.end()) {
      responder = it->second;
    } else {
      responder = DiscoveryResponder::Create(state_->io, port, error);
      if (!responder) return nullptr;
    }
  }
  if (!impl->Start(error)) {
    impl->Stop();
    return nullptr;
  }
  if (responder) {
    state_->responders.emplace(port, responder);
    responder->AddDevice(impl);
  }
  state_->impls.push_back(impl);
  state_->devices.push_back(std::make_unique<Device>(impl));
  return state_->devices.back().get();
}

size_t Simulator::DeviceCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->devices.size();
}

Device& Simulator::device(size_t index) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return *state_->devices.at(index);
}

void Simulator::Stop() {
  std::vector<std::shared_ptr<Device::Impl>> impls;
  std::map<uint16_t, std::shared_ptr<DiscoveryResponder>> responders;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->stopped) return;
    state_->stopped = true;
    impls = state_->impls;
    responders = state_->responders;
  }
  for (auto& [port, responder] : responders) responder->Close();
  for (auto& impl : impls) impl->Stop();
}

std::string SummaryLine(const std::vector<Observations>& devices) {
  uint64_t logins = 0, refused = 0, streams = 0, rtspConnections = 0, frames = 0, bytes = 0,
           alarms = 0, failed = 0;
  for (const Observations& o : devices) {
    logins += o.logins;
    refused += o.refusedLogins + o.rtspRefused;
    alarms += o.alarmsPushed;
    failed += o.alarmsFailed;
    streams += o.streams.size();
    rtspConnections += o.rtspConnections;
    for (const auto& s : o.streams) {
      frames += s.frames;
      bytes += s.bytes;
    }
    frames += o.rtspFramesSent;
    bytes += o.rtspBytes;
  }
  auto count = [](uint64_t n) { return std::to_string(n); };
  char megabytes[32];
  std::snprintf(megabytes, sizeof megabytes, "%.1f", static_cast<double>(bytes) / 1e6);
  return "summary: " + count(devices.size()) + " device(s), " + count(logins) + " login(s), " +
         count(refused) + " refused, " + count(streams) + " stream(s), " + count(rtspConnections) +
         " RTSP connection(s), " + count(frames) + " frame(s), " + megabytes + " MB sent, " +
         count(alarms) + " alarm(s) pushed, " + count(failed) + " failed";
}

}  // namespace qrv::sim
