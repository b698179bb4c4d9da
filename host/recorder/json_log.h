// The recorder's log: one JSON object per line, each with the time ("ts", UTC,
// ISO 8601 with milliseconds) and the kind of record ("event"), written to
// standard output or appended to a file.
//
// Threads: Write may run on any thread (device threads, the plug-in's and the
// device library's threads); each line is written whole under the log's
// mutex, which is never held while calling out. Reopen runs on the main
// thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace qrv::recorder {

// "2026-12-08T02:14:49.123Z"
std::string IsoTime(std::chrono::system_clock::time_point at);

class JsonLog {
 public:
  JsonLog() = default;
  ~JsonLog();
  JsonLog(const JsonLog&) = delete;
  JsonLog& operator=(const JsonLog&) = delete;

  // "-" = standard output. On failure the previous target stays and *error
  // says why. Reopening the same file picks up a file moved away by log
  // rotation.
  bool Open(const std::string& target, std::string* error);

  // Adds "ts" and "event" in front of `fields` and writes the line. Texts
  // that are not valid UTF-8 (file names, device texts) are written with the
  // bad bytes replaced, so every line stays valid JSON.
  void Write(const std::string& event,
             nlohmann::ordered_json fields = nlohmann::ordered_json::object());

  // Lines that could not be written (disk full, closed pipe).
  uint64_t failedWrites() const;

 private:
  mutable std::mutex mutex_;
  FILE* file_ = nullptr;
  bool owned_ = false;
  std::string target_;
  uint64_t failed_ = 0;
};

}  // namespace qrv::recorder
