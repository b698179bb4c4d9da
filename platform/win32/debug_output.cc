// Win32 backend: debugger messages go to OutputDebugStringA, bytes unchanged
// (the GBK texts reach a debugger exactly as written). A capture sink set by a
// test receives a copy as well; the system call is made either way.
#include "platform/debug_output.h"

#include <windows.h>

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
  OutputDebugStringA(text);
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (Sink()) Sink()(std::string_view(text, std::strlen(text)));
}

void SetDebugOutputSink(std::function<void(std::string_view)> sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
}

}  // namespace qrv::platform
