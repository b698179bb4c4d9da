#include "device/library_reason.h"

#include "device/device_table.h"
#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_extensions.h"
#include "platform/debug_output.h"
#include "platform/library_symbol.h"

namespace qrv::device {

namespace {

devicelib::GetLastErrorTextFunction Function() {
  // Any required function locates the device library the plug-in is bound to.
  static const auto function =
      reinterpret_cast<devicelib::GetLastErrorTextFunction>(platform::FindFunctionBeside(
          reinterpret_cast<const void*>(&TMCC_Init), devicelib::kGetLastErrorTextName));
  return function;
}

// The library's text made printable; empty when the call failed.
std::string Printable(int32_t result, char (&text)[512]) {
  if (result != 0) return {};
  text[sizeof(text) - 1] = '\0';  // whatever the library wrote
  std::string reason(text);
  for (char& c : reason) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return reason;
}

}  // namespace

std::string LibraryReason(int32_t slot) {
  const auto function = Function();
  if (function == nullptr || !IsValidSlot(slot)) return {};
  DeviceSlot& entry = Slot(slot);
  char text[512] = {};
  // The handle is read after announcing the use: a logout that has taken it
  // waits for this use, or this use sees no handle and asks nothing.
  entry.loginUsers.fetch_add(1);
  int32_t result = -1;
  try {
    const int32_t handle = entry.loginHandle.load();
    if (handle != kNoHandle) result = function(handle, text, static_cast<uint32_t>(sizeof(text)));
  } catch (...) {
    entry.loginUsers.fetch_sub(1);
    throw;
  }
  entry.loginUsers.fetch_sub(1);
  return Printable(result, text);
}

void ReportLibraryReason(int32_t slot, const char* what) {
  const std::string reason = LibraryReason(slot);
  if (reason.empty()) return;
  const std::string line =
      "slot " + std::to_string(slot) + ": " + std::string(what) + " failed: " + reason;
  platform::OutputDebugText(line.c_str());
}

void ReportClientReason(int32_t handle, const std::string& what, int32_t result) {
  const auto function = Function();
  if (function == nullptr || handle == kNoHandle) return;
  char text[512] = {};
  const std::string reason =
      Printable(function(handle, text, static_cast<uint32_t>(sizeof(text))), text);
  if (reason.empty()) return;
  const std::string line = what + " failed (result " + std::to_string(result) + "): " + reason;
  platform::OutputDebugText(line.c_str());
}

}  // namespace qrv::device
