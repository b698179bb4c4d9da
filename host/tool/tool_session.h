// What every qrv-host subcommand shares: the loaded and initialised plug-in,
// its requests, and the way results and failures are printed (words beside
// the plug-in's result code; JSON with --json).
//
// Threads: the tool's main thread owns the session; event listeners print
// from the plug-in's threads under the session's print mutex.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "host/kit/debug_relay.h"
#include "host/kit/plugin_host.h"
#include "host/kit/requests.h"
#include "host/tool/json_text.h"

namespace qrv::host {

struct GlobalOptions {
  std::string plugin;  // empty: beside the tool
  bool json = false;
  bool verbose = false;  // the plug-in's debugger messages on stderr, in UTF-8
};

struct DeviceOptions {
  std::string address;
  int32_t port = 6001;
  std::string user = "admin";
  std::string password = "admin";

  Credentials credentials() const { return {address, user, password, port}; }
};

// "1.5" rather than "1.500000".
std::string SecondsText(double seconds);

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // an operation failed
inline constexpr int kExitSetUp = 2;   // the plug-in could not be loaded or initialised

class ToolSession {
 public:
  // Loads the plug-in, registers the event hub's callbacks and calls Init.
  // Prints why and returns null when any of it fails.
  static std::unique_ptr<ToolSession> Open(const GlobalOptions& options);

  IAccess& access() { return host_->access(); }
  Requests& requests() { return requests_; }
  bool json() const { return json_; }

  // Prints a human line (not with --json) under the print mutex.
  void Say(const std::string& line);
  // Prints a JSON line (only with --json) under the print mutex.
  void SayJson(const JsonObject& object);
  // Prints a failed operation: "<what> failed: result <code> (<words>)", or a
  // JSON object with the same facts. Returns kExitFailed.
  int Fail(const std::string& what, int32_t code);
  // Prints a failure that has no result code. Returns kExitFailed.
  int FailText(const std::string& what);

  // Logs in and prints the slot (human output). Returns the slot or -1.
  int32_t Login(const DeviceOptions& device);
  void Logout(int32_t slot);

 private:
  ToolSession(std::unique_ptr<DebugRelay> relay, std::unique_ptr<PluginHost> host, bool json)
      : relay_(std::move(relay)), host_(std::move(host)), requests_(host_->access()), json_(json) {}

  std::unique_ptr<DebugRelay> relay_;  // outlives the plug-in: declared before it
  std::unique_ptr<PluginHost> host_;
  Requests requests_;
  bool json_;
  std::mutex printMutex_;
};

}  // namespace qrv::host
