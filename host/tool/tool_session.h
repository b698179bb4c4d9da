// What every qrv-host subcommand shares: the loaded and initialised plug-in,
// its requests, logins that name the device's address:port in every message,
// and the report that prints results (words beside the plug-in's result code;
// one JSON document with --json).
//
// Threads: the tool's main thread owns the session; event listeners print
// from the plug-in's threads through the report, which has its own mutex.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/kit/debug_relay.h"
#include "host/kit/device_address.h"
#include "host/kit/plugin_host.h"
#include "host/kit/requests.h"
#include "host/tool/report.h"

namespace qrv::host {

struct GlobalOptions {
  std::string plugin;  // empty: beside the tool
  bool json = false;
  bool verbose = false;  // the plug-in's debugger messages on stderr, in UTF-8
  bool quiet = false;
};

struct DeviceOptions {
  std::string address;
  int32_t port = 6001;
  std::string user = "admin";
  std::string password = "admin";  // as resolved by ResolveDevicePasswords
  std::string passwordArgument;    // --password as given ("-": standard input)
  std::string passwordFile;        // --password-file
  bool allowBasic = false;         // --allow-basic

  // "address:port" as given, for messages.
  std::string Where() const { return DescribeAddress(address, port); }
};

// "1.5" rather than "1.500000".
std::string SecondsText(double seconds);

// The numeric IPv4 address of a name or address text, or nullopt when there
// is no such host (the device library takes numeric addresses only). An
// rtsp:// URL is returned unchanged.
std::optional<std::string> ResolveHost(const std::string& name);

// The more serious of two exit statuses (any failure beats success; a
// failure seen first is kept).
inline int Worse(int first, int second) {
  return first != kExitOk ? first : second;
}

class ToolSession {
 public:
  // Loads the plug-in, registers the event hub's callbacks and calls Init.
  // Reports why and returns null when any of it fails (status kExitPluginLoad).
  static std::unique_ptr<ToolSession> Open(const GlobalOptions& options);

  IAccess& access() { return host_->access(); }
  Requests& requests() { return requests_; }
  Report& report() { return Report::Instance(); }

  // Logs in. Returns the slot, or -1 with *status set to the exit status the
  // failure stands for (refused, unreachable, no such host...). With
  // `describe`, the report's "device", "slot" and "channels" are set.
  int32_t Login(const DeviceOptions& device, int* status, bool describe = true);
  // Logs out; returns kExitOk or the status of the failure.
  int Logout(int32_t slot, const DeviceOptions& device);
  // The resolved credentials of the last successful Login of `device`.
  Credentials CredentialsOf(const DeviceOptions& device) const;

  // What the device library said about the last failure the plug-in
  // reported for `what` ("login", "slot N: stream open", "slot N: snapshot",
  // "slot N: PTZ"): its result (0 when not given) and words. Taken once; call
  // right after the failed request. Threading: the main thread.
  struct LibraryFailure {
    int32_t result = 0;
    std::string reason;
  };
  std::optional<LibraryFailure> TakeLibraryFailure(const std::string& what);

  // The slot's counters through the device status operation (100), or
  // nullopt when this plug-in does not offer it.
  std::optional<ParameterMap> SlotStatus(int32_t slot);

 private:
  // The login, abandoned (and the process ended, status 130) when a signal
  // arrives before the device answered.
  Reply LoginOrLeave(const Credentials& credentials, const DeviceOptions& device);
  // The device library's TMCC_RegisterAddress, or null when it has none.
  devicelib::RegisterAddressFunction RegisterAddress() const;

  // The library failures the plug-in wrote to its debugger output, by what
  // failed. Filled by the relay's reader thread, read by the main thread.
  struct LibraryFailures {
    std::mutex mutex;
    std::map<std::string, LibraryFailure> byWhat;  // guarded by mutex
  };

  ToolSession(std::unique_ptr<DebugRelay> relay, std::shared_ptr<LibraryFailures> failures,
              std::unique_ptr<PluginHost> host)
      : relay_(std::move(relay)),
        failures_(std::move(failures)),
        host_(std::move(host)),
        requests_(host_->access()) {}

  std::unique_ptr<DebugRelay> relay_;  // outlives the plug-in: declared before it
  std::shared_ptr<LibraryFailures> failures_;
  std::unique_ptr<PluginHost> host_;
  Requests requests_;
};

}  // namespace qrv::host
