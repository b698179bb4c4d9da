// Everything qrv-host prints: human lines on standard output, failures on
// standard error, and with --json exactly one JSON document on standard
// output at the end of the run, whose "ok" is true exactly when the exit
// status is 0.
//
// Threads: any thread may call the member functions; each takes the report's
// mutex and never calls out while holding it (the listener-free design keeps
// it a leaf lock). Finish runs once, on the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace qrv::host {

// Exit statuses of the tool (listed in --help).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;         // an operation failed for another reason
inline constexpr int kExitUsage = 2;          // the command line is wrong
inline constexpr int kExitPluginLoad = 3;     // the plug-in could not be loaded or initialised
inline constexpr int kExitRefused = 4;        // the device refused the login or the request
inline constexpr int kExitUnreachable = 5;    // no such host, nothing listening, or no answer
inline constexpr int kExitPartial = 6;        // some of the work was done, some failed
inline constexpr int kExitGap = 7;            // record --fail-on-gap: the recording has gaps
inline constexpr int kExitInterrupted = 130;  // a second SIGINT/SIGTERM ended the run at once

// The --help text that lists the statuses above.
const char* ExitStatusHelp();

// The exit status for an Execute result: refusals and unreachable devices
// have their own statuses, anything else is kExitFailed.
int ExitStatusForResult(int32_t code);

// Words for a result, sharper than the plug-in's where the tool knows the
// device: "nothing accepts connections at 127.0.0.61:6001" and the like.
std::string DescribeResultAt(int32_t code, const std::string& device);

// The document as text: ASCII only, with bytes that are not UTF-8 (file names
// can hold any bytes) replaced, so the result is always valid JSON.
std::string JsonText(const nlohmann::json& document);

class Report {
 public:
  // The process-wide report (set up by main before any command runs).
  static Report& Instance();

  void Configure(bool json, bool quiet);
  bool json() const { return json_.load(); }
  bool quiet() const { return quiet_.load(); }

  // A human line on standard output (nothing with --json).
  void Say(const std::string& line);
  // A human line on standard error, unless --quiet or --json.
  void Note(const std::string& line);
  // Sets `key` of the JSON document.
  void Set(const std::string& key, nlohmann::json value);
  // Appends to the array `key` of the document; at most `limit` entries are
  // kept, the rest are counted under "<key>Dropped".
  void Append(const std::string& key, nlohmann::json value, size_t limit = 100000);

  // A failed operation on `device` ("address:port", may be empty): printed on
  // standard error, or added to the document's "errors". `reason`, the device
  // library's own words when it gave some, ends the line as "(reason: ...)"
  // (the document's "reason"). Returns the exit status it stands for.
  int Fail(const std::string& what, int32_t code, const std::string& device = "",
           const std::string& reason = "");
  // A failure without a result code, with the status it stands for.
  int FailText(const std::string& what, int status = kExitFailed, const std::string& device = "");

  // Ends the run: with --json prints the document with "ok" and "exitStatus".
  // Returns `status`. Only the first call prints.
  int Finish(int status);
  // True once Finish printed (an immediate exit must not print twice).
  // Lock-free: the signal handler asks.
  bool finished() const { return finished_.load(); }

 private:
  Report() = default;

  mutable std::mutex mutex_;
  // Read without the mutex by the signal thread and the event listeners.
  std::atomic<bool> json_{false};
  std::atomic<bool> quiet_{false};
  std::atomic<bool> finished_{false};
  nlohmann::json document_ = nlohmann::json::object();
};

}  // namespace qrv::host
