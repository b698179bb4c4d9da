#include "host/tool/tool_session.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include "host/kit/event_hub.h"
#include "host/tool/interrupt.h"

namespace qrv::host {

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

std::optional<std::string> ResolveHost(const std::string& name) {
  // A standard camera's URL goes to the device library as it is: the library
  // reads its host and port itself.
  if (IsDeviceUrl(name)) return name;
  in_addr numeric{};
  if (inet_pton(AF_INET, name.c_str(), &numeric) == 1) return name;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (name.empty() || getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found) {
    return std::nullopt;
  }
  char text[INET_ADDRSTRLEN] = {};
  auto* address = reinterpret_cast<sockaddr_in*>(found->ai_addr);
  const char* ok = inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  if (ok == nullptr) return std::nullopt;
  return std::string(text);
}

namespace {

// "login failed (result -105): words" or "slot 3: snapshot failed: words"
// (the plug-in's lines for a library's reason): what failed, and the rest.
std::optional<std::pair<std::string, ToolSession::LibraryFailure>> ParseLibraryFailure(
    const std::string& line) {
  const size_t failed = line.find(" failed");
  if (failed == std::string::npos) return std::nullopt;
  std::string what = line.substr(0, failed);
  if (what != "login" && what.rfind("slot ", 0) != 0) return std::nullopt;
  std::string_view rest = std::string_view(line).substr(failed + 7);
  ToolSession::LibraryFailure failure;
  constexpr std::string_view kResult = " (result ";
  if (rest.substr(0, kResult.size()) == kResult) {
    rest.remove_prefix(kResult.size());
    const size_t close = rest.find(')');
    if (close == std::string_view::npos) return std::nullopt;
    failure.result =
        static_cast<int32_t>(std::strtol(std::string(rest.substr(0, close)).c_str(), nullptr, 10));
    rest.remove_prefix(close + 1);
  }
  if (rest.substr(0, 2) != ": " || rest.size() == 2) return std::nullopt;
  failure.reason = std::string(rest.substr(2));
  return std::make_pair(std::move(what), std::move(failure));
}

}  // namespace

std::optional<ToolSession::LibraryFailure> ToolSession::TakeLibraryFailure(
    const std::string& what) {
  if (!relay_) return std::nullopt;
  // A relay that cannot keep up within this bound gives no reason: the
  // failure is still reported.
  relay_->Sync(std::chrono::seconds(1));
  std::lock_guard lock(failures_->mutex);
  auto found = failures_->byWhat.find(what);
  if (found == failures_->byWhat.end()) return std::nullopt;
  LibraryFailure failure = std::move(found->second);
  failures_->byWhat.erase(found);
  return failure;
}

std::unique_ptr<ToolSession> ToolSession::Open(const GlobalOptions& options) {
  std::string path = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
  std::string error;
  // Before the plug-in is loaded, so its first message is caught too. Always
  // there: a failure's line quotes the library's reason from it.
  auto relay = std::make_unique<DebugRelay>();
  auto failures = std::make_shared<LibraryFailures>();
  const bool verbose = options.verbose;
  if (!relay->Start([verbose, failures](const std::string& line) {
        if (auto failure = ParseLibraryFailure(line)) {
          std::lock_guard lock(failures->mutex);
          failures->byWhat[failure->first] = std::move(failure->second);
        }
        if (verbose) std::fprintf(stderr, "qrv-host: plug-in: %s\n", RedactUserInfo(line).c_str());
      })) {
    if (verbose) {
      std::fprintf(stderr, "qrv-host: --verbose: cannot make a pipe for the plug-in's messages\n");
    }
    relay.reset();
  }
  auto host = PluginHost::Load(path, &error);
  if (!host) {
    Report::Instance().FailText("cannot load the plug-in (--plugin): " + error, kExitPluginLoad);
    return nullptr;
  }
  EventHub::Instance().RegisterWith(host->access());
  int32_t init = host->Init();
  if (init != 1) {
    Report::Instance().FailText("Init of the plug-in " + path + " returned " +
                                    std::to_string(init) + " (a fault was caught)",
                                kExitPluginLoad);
    return nullptr;
  }
  return std::unique_ptr<ToolSession>(
      new ToolSession(std::move(relay), std::move(failures), std::move(host)));
}

devicelib::RegisterAddressFunction ToolSession::RegisterAddress() const {
  return reinterpret_cast<devicelib::RegisterAddressFunction>(
      host_->FindExport(devicelib::kRegisterAddressName));
}

Credentials ToolSession::CredentialsOf(const DeviceOptions& device) const {
  std::string address = ResolveHost(device.address).value_or(device.address);
  // The login registered a long address already: the same token again.
  PluginAddress forPlugin = AddressForPlugin(address, RegisterAddress());
  if (forPlugin.error.empty()) address = std::move(forPlugin.address);
  return {address, device.user, device.password, device.port};
}

int32_t ToolSession::Login(const DeviceOptions& device, int* status, bool describe) {
  Report& out = report();
  auto address = ResolveHost(device.address);
  if (!address) {
    *status = out.FailText("no such host: '" + device.address + "' (--ip) has no IPv4 address",
                           kExitUnreachable, device.Where());
    return -1;
  }
  PluginAddress forPlugin = AddressForPlugin(*address, RegisterAddress());
  if (!forPlugin.error.empty()) {
    *status = out.FailText("--ip: " + forPlugin.error, kExitUsage, device.Where());
    return -1;
  }
  Credentials credentials{forPlugin.address, device.user, device.password, device.port};
  Reply reply = LoginOrLeave(credentials, device);
  if (!reply.ok()) {
    auto library = TakeLibraryFailure("login");
    *status = out.Fail("login to " + device.Where() + " as " + device.user, reply.code,
                       device.Where(), library ? library->reason : "");
    return -1;
  }
  int32_t slot = reply.OutputInt("LOGINID");
  out.Note("logged in to " + device.Where() + " as " + device.user + ", slot " +
           std::to_string(slot) + ", channels " + reply.output["ChanNum"]);
  if (describe) {
    out.Set("device", device.Where());
    out.Set("slot", slot);
    out.Set("channels", reply.OutputInt("ChanNum"));
  }
  *status = kExitOk;
  return slot;
}

Reply ToolSession::LoginOrLeave(const Credentials& credentials, const DeviceOptions& device) {
  // A device that accepts the connection and then says nothing holds the
  // login for the library's whole time-out: the login runs on its own thread
  // so that SIGINT or SIGTERM can end the run at once.
  struct Pending {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<Reply> reply;
  };
  auto pending = std::make_shared<Pending>();
  std::thread login([this, credentials, pending] {
    Reply reply = requests_.Login(credentials);
    std::lock_guard lock(pending->mutex);
    pending->reply = std::move(reply);
    pending->done.notify_all();
  });
  std::unique_lock lock(pending->mutex);
  while (!pending->done.wait_for(lock, std::chrono::milliseconds(20),
                                 [&] { return pending->reply.has_value(); })) {
    if (!Interrupt::Requested()) continue;
    lock.unlock();
    // The plug-in is busy inside the login and cannot be unloaded safely:
    // the process leaves as it is (devices see their connections close).
    login.detach();
    Report& out = report();
    out.FailText(
        "interrupted while logging in to " + device.Where() + " (the device had not answered yet)",
        kExitInterrupted, device.Where());
    out.Set("interrupted", Interrupt::Signal() == SIGTERM ? "SIGTERM" : "SIGINT");
    out.Finish(kExitInterrupted);
    std::fflush(nullptr);
    std::_Exit(kExitInterrupted);
  }
  lock.unlock();
  login.join();
  return std::move(*pending->reply);
}

int ToolSession::Logout(int32_t slot, const DeviceOptions& device) {
  Reply reply = requests_.Logout(slot);
  if (!reply.ok()) {
    return report().Fail("logout of slot " + std::to_string(slot) + " (" + device.Where() + ")",
                         reply.code, device.Where());
  }
  report().Note("logged out of " + device.Where());
  return kExitOk;
}

std::optional<ParameterMap> ToolSession::SlotStatus(int32_t slot) {
  Reply reply = requests_.Execute({{"Operation", "100"}, {"Handle", std::to_string(slot)}});
  // A plug-in without the operation refuses it; one with it always reports
  // the recorded bytes.
  if (!reply.ok() || reply.output.find("RecordedBytes") == reply.output.end()) return std::nullopt;
  return reply.output;
}

}  // namespace qrv::host
