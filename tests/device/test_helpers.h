// Shared helpers of the device and plug-in tests: faults raised inside the
// device-library double, login through Execute, and record byte checks.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device/device_table.h"
#include "device/login.h"
#include "plugin/dispatcher.h"
#include "qrvaccess/qrv_access.h"
#include "tests/fake_tmcc/fake_tmcc.h"
#include "tests/support/faults.h"

namespace qrv::test {

// Processor faults for the double's SetAction.
inline void NullWrite() {
  RaiseAccessViolation();
}
inline void DivideByZero() {
  RaiseIntegerDivideByZero();
}

// Logs in through Execute; returns the slot, or -1 when the login failed.
inline int32_t LoginThroughExecute(const std::string& ip = "10.1.2.3",
                                   const std::string& user = "admin",
                                   const std::string& password = "secret",
                                   const std::string& port = "6001") {
  ParameterMap in{{"Operation", "1"},
                  {"DeviceIP", ip},
                  {"User", user},
                  {"Password", password},
                  {"DevicePort", port}};
  ParameterMap out;
  if (plugin::Execute(in, out) != 0) return -1;
  return std::stoi(out.at("LOGINID"));
}

inline int32_t Exec(ParameterMap in) {
  ParameterMap out;
  return plugin::Execute(in, out);
}

// Little-endian 32-bit value at offset.
inline int32_t ReadInt(const std::vector<uint8_t>& bytes, size_t offset) {
  int32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof(value));
  return value;
}

// The NUL-terminated text at offset (within width bytes).
inline std::string ReadText(const std::vector<uint8_t>& bytes, size_t offset, size_t width) {
  const char* begin = reinterpret_cast<const char*>(bytes.data() + offset);
  return std::string(begin, strnlen(begin, width));
}

// Releases what the slots hold and resets the table and the double.
inline void ClearDevices() {
  for (int32_t i = 0; i < device::kSlotCount; ++i) {
    if (device::Slot(i).header1.HasStorage()) device::ReleaseSlotResources(i);
  }
  device::ResetAllSlots();
  fake_tmcc::Reset();
}

}  // namespace qrv::test
