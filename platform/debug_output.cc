#include "platform/debug_output.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace qrv::platform {
namespace {

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(std::string_view)>& Sink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}

}  // namespace

void OutputDebugText(const char* text) {
  if (text == nullptr) return;
  std::string_view bytes(text, std::strlen(text));
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (Sink()) {
    Sink()(bytes);
    return;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

void SetDebugOutputSink(std::function<void(std::string_view)> sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
}

}  // namespace qrv::platform
