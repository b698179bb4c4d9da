#include "host/recorder/json_log.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "host/kit/device_address.h"

namespace qrv::recorder {

std::string IsoTime(std::chrono::system_clock::time_point at) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
  const time_t seconds = static_cast<time_t>(ms / 1000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

JsonLog::~JsonLog() {
  std::lock_guard lock(mutex_);
  if (file_ != nullptr) std::fflush(file_);
  if (owned_ && file_ != nullptr) std::fclose(file_);
}

bool JsonLog::Open(const std::string& target, std::string* error) {
  FILE* file = stdout;
  bool owned = false;
  if (target != "-") {
    file = std::fopen(target.c_str(), "ae");
    if (file == nullptr) {
      *error = "cannot open log " + target + ": " + std::strerror(errno);
      return false;
    }
    owned = true;
  }
  std::lock_guard lock(mutex_);
  if (owned_ && file_ != nullptr) std::fclose(file_);
  file_ = file;
  owned_ = owned;
  target_ = target;
  return true;
}

namespace {

// No password given in a URL reaches the log (or the journal behind it).
void Redact(nlohmann::ordered_json& value) {
  if (value.is_string()) {
    value = host::RedactUserInfo(value.get_ref<const std::string&>());
  } else if (value.is_structured()) {
    for (auto& item : value) Redact(item);
  }
}

}  // namespace

void JsonLog::Write(const std::string& event, nlohmann::ordered_json fields) {
  nlohmann::ordered_json line = nlohmann::ordered_json::object();
  line["ts"] = IsoTime(std::chrono::system_clock::now());
  line["event"] = event;
  if (fields.is_object()) {
    for (auto& [key, value] : fields.items()) line[key] = std::move(value);
  }
  Redact(line);
  std::string text = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  text += '\n';
  std::lock_guard lock(mutex_);
  if (file_ == nullptr) file_ = stdout;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fflush(file_) != 0) {
    ++failed_;
    std::clearerr(file_);
  }
}

uint64_t JsonLog::failedWrites() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

}  // namespace qrv::recorder
