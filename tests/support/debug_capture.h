// Captures the plug-in's debug output for the lifetime of the object.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "platform/debug_output.h"

namespace qrv::test {

class DebugCapture {
 public:
  DebugCapture() {
    platform::SetDebugOutputSink([this](std::string_view bytes) {
      std::lock_guard<std::mutex> lock(mutex_);
      text_.append(bytes);
    });
  }
  ~DebugCapture() { platform::SetDebugOutputSink({}); }
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  // Everything written so far, bytes unchanged.
  std::string Text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  bool Contains(std::string_view part) const { return Text().find(part) != std::string::npos; }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

}  // namespace qrv::test
