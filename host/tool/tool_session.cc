#include "host/tool/tool_session.h"

#include <cstdio>

#include "host/kit/event_hub.h"

namespace qrv::host {

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

std::unique_ptr<ToolSession> ToolSession::Open(const GlobalOptions& options) {
  std::string path = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
  std::string error;
  // Before the plug-in is loaded, so its first message is caught too.
  std::unique_ptr<DebugRelay> relay;
  if (options.verbose) {
    relay = std::make_unique<DebugRelay>();
    if (!relay->Start([](const std::string& line) {
          std::fprintf(stderr, "qrv-host: plug-in: %s\n", line.c_str());
        })) {
      std::fprintf(stderr, "qrv-host: --verbose: cannot make a pipe for the plug-in's messages\n");
    }
  }
  auto host = PluginHost::Load(path, &error);
  if (!host) {
    std::fprintf(stderr, "qrv-host: %s\n", error.c_str());
    return nullptr;
  }
  EventHub::Instance().RegisterWith(host->access());
  int32_t init = host->Init();
  if (init != 1) {
    std::fprintf(stderr, "qrv-host: Init of %s returned %d (a fault was caught)\n", path.c_str(),
                 init);
    return nullptr;
  }
  return std::unique_ptr<ToolSession>(
      new ToolSession(std::move(relay), std::move(host), options.json));
}

void ToolSession::Say(const std::string& line) {
  if (json_) return;
  std::lock_guard lock(printMutex_);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void ToolSession::SayJson(const JsonObject& object) {
  if (!json_) return;
  std::lock_guard lock(printMutex_);
  std::printf("%s\n", object.Str().c_str());
  std::fflush(stdout);
}

int ToolSession::Fail(const std::string& what, int32_t code) {
  std::string words = DescribeExecuteResult(code);
  if (json_) {
    SayJson(JsonObject()
                .Bool("ok", false)
                .Text("failed", what)
                .Int("result", code)
                .Text("error", words));
  } else {
    std::lock_guard lock(printMutex_);
    std::fprintf(stderr, "%s failed: result %d (%s)\n", what.c_str(), code, words.c_str());
  }
  return kExitFailed;
}

int ToolSession::FailText(const std::string& what) {
  if (json_) {
    SayJson(JsonObject().Bool("ok", false).Text("error", what));
  } else {
    std::lock_guard lock(printMutex_);
    std::fprintf(stderr, "%s\n", what.c_str());
  }
  return kExitFailed;
}

int32_t ToolSession::Login(const DeviceOptions& device) {
  Reply reply = requests_.Login(device.credentials());
  if (!reply.ok()) {
    Fail("login to " + device.address + ":" + std::to_string(device.port), reply.code);
    return -1;
  }
  int32_t slot = reply.OutputInt("LOGINID");
  Say("logged in to " + device.address + ":" + std::to_string(device.port) + " as " + device.user +
      ", slot " + std::to_string(slot) + ", channels " + reply.output["ChanNum"]);
  return slot;
}

void ToolSession::Logout(int32_t slot) {
  Reply reply = requests_.Logout(slot);
  if (reply.ok()) {
    Say("logged out of slot " + std::to_string(slot));
  } else {
    Fail("logout of slot " + std::to_string(slot), reply.code);
  }
}

}  // namespace qrv::host
