#include "host/tool/report.h"

#include <cstdio>

#include "devicelib/tmcc_errors.h"
#include "host/kit/device_address.h"
#include "host/kit/requests.h"

namespace qrv::host {

namespace dl = qrv::devicelib;

const char* ExitStatusHelp() {
  return "Exit statuses:\n"
         "  0    success\n"
         "  1    an operation failed (protocol error, local I/O, nothing recorded, ...)\n"
         "  2    usage error: unknown subcommand or option, a value out of range\n"
         "  3    the plug-in could not be loaded or initialised\n"
         "  4    the device refused: user name or password, or the request itself\n"
         "  5    the device is unreachable: no such host, nothing listening, or no answer\n"
         "  6    partial success: some devices or steps worked, others failed\n"
         "  7    record --fail-on-gap: the recording has gaps\n"
         "  130  a signal ended the run at once: a second SIGINT or SIGTERM, or one while a\n"
         "       device had not yet answered the login\n"
         "With --json, standard output holds one JSON document whose \"ok\" is true exactly "
         "when the exit status is 0.";
}

int ExitStatusForResult(int32_t code) {
  switch (code) {
    case kQrvResultOk:
      return kExitOk;
    case dl::kErrAuthRefused:
    case dl::kErrPeerUnproven:
    case dl::kErrDeviceRefused:
    case dl::kErrUnsupported:  // the request itself: asking again will not help
    case dl::kErrAuthUnsupported:
    case dl::kErrBasicRefused:
    case kQrvResultNoFreeSlot:
      return kExitRefused;
    case dl::kErrUnreachable:
    case dl::kErrTimeout:
      return kExitUnreachable;
    default:
      return kExitFailed;
  }
}

std::string DescribeResultAt(int32_t code, const std::string& device) {
  if (device.empty()) return DescribeExecuteResult(code);
  switch (code) {
    case dl::kErrAuthRefused:
      return "the device at " + device + " refused the user name or password";
    case dl::kErrPeerUnproven:
      return "the device at " + device + " could not prove it knows the password";
    case dl::kErrAuthUnsupported:
      return "the device at " + device +
             " asks for an authentication method not supported (no password was sent)";
    case dl::kErrBasicRefused:
      return device + ": " + DescribeExecuteResult(code);
    case dl::kErrUnreachable:
      return "device unreachable: nothing accepts connections at " + device;
    case dl::kErrTimeout:
      return "device unreachable: " + device + " did not answer in time";
    case dl::kErrProtocol:
      return "the device at " + device + " answered with something that is not our protocol";
    case dl::kErrDeviceRefused:
      return "the device at " + device + " refused the request";
    default:
      return DescribeExecuteResult(code);
  }
}

namespace {

// Every text in the document with URLs' passwords hidden.
void Redact(nlohmann::json& value) {
  if (value.is_string()) {
    value = RedactUserInfo(value.get_ref<const std::string&>());
  } else if (value.is_structured()) {
    for (auto& item : value) Redact(item);
  }
}

}  // namespace

std::string JsonText(const nlohmann::json& document) {
  nlohmann::json redacted = document;
  Redact(redacted);
  return redacted.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

Report& Report::Instance() {
  // Never destroyed: plug-in threads may still report while the process ends.
  static Report* report = new Report();
  return *report;
}

void Report::Configure(bool json, bool quiet) {
  std::lock_guard lock(mutex_);
  json_ = json;
  quiet_ = quiet;
}

void Report::Say(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (json_) return;
  std::fprintf(stdout, "%s\n", RedactUserInfo(line).c_str());
  std::fflush(stdout);
}

void Report::Note(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (json_ || quiet_) return;
  std::fprintf(stderr, "%s\n", RedactUserInfo(line).c_str());
  std::fflush(stderr);
}

void Report::Set(const std::string& key, nlohmann::json value) {
  std::lock_guard lock(mutex_);
  document_[key] = std::move(value);
}

void Report::Append(const std::string& key, nlohmann::json value, size_t limit) {
  std::lock_guard lock(mutex_);
  nlohmann::json& list = document_[key];
  if (!list.is_array()) list = nlohmann::json::array();
  if (list.size() < limit) {
    list.push_back(std::move(value));
  } else {
    nlohmann::json& dropped = document_[key + "Dropped"];
    dropped = dropped.is_number() ? dropped.get<uint64_t>() + 1 : 1;
  }
}

int Report::Fail(const std::string& what, int32_t code, const std::string& device,
                 const std::string& reason) {
  std::string words = DescribeResultAt(code, device);
  int status = ExitStatusForResult(code);
  if (status == kExitOk) status = kExitFailed;
  std::lock_guard lock(mutex_);
  if (json_) {
    nlohmann::json error = {{"failed", what}, {"result", code}, {"error", words}};
    if (!device.empty()) error["device"] = device;
    if (!reason.empty()) error["reason"] = reason;
    document_["errors"].push_back(std::move(error));
  } else {
    const std::string because = reason.empty() ? "" : " (reason: " + RedactUserInfo(reason) + ")";
    std::fprintf(stderr, "qrv-host: %s failed: %s (result %d)%s\n", RedactUserInfo(what).c_str(),
                 RedactUserInfo(words).c_str(), code, because.c_str());
    std::fflush(stderr);
  }
  return status;
}

int Report::FailText(const std::string& what, int status, const std::string& device) {
  std::lock_guard lock(mutex_);
  if (json_) {
    nlohmann::json error = {{"error", what}};
    if (!device.empty()) error["device"] = device;
    document_["errors"].push_back(std::move(error));
  } else {
    std::fprintf(stderr, "qrv-host: %s\n", RedactUserInfo(what).c_str());
    std::fflush(stderr);
  }
  return status;
}

int Report::Finish(int status) {
  std::lock_guard lock(mutex_);
  if (finished_) return status;
  finished_ = true;
  if (json_) {
    document_["ok"] = status == kExitOk;
    document_["exitStatus"] = status;
    std::fprintf(stdout, "%s\n", JsonText(document_).c_str());
    std::fflush(stdout);
  }
  return status;
}

}  // namespace qrv::host
