// Distinct number types for what the plug-in passes around as 32-bit
// integers: a slot of the table, and the device library's login and stream
// client handles. Mixing one up with another no longer compiles.
#pragma once

#include <cstdint>

namespace qrv::device {

template <typename Tag>
class StrongNumber {
 public:
  constexpr explicit StrongNumber(int32_t value) : value_(value) {}
  constexpr int32_t value() const { return value_; }
  friend constexpr bool operator==(StrongNumber a, StrongNumber b) { return a.value_ == b.value_; }
  friend constexpr bool operator!=(StrongNumber a, StrongNumber b) { return a.value_ != b.value_; }

 private:
  int32_t value_;
};

// A slot number 0..255 (the host's "LOGINID" / "Handle").
using SlotIndex = StrongNumber<struct SlotIndexTag>;
// A login client of the device library.
using LoginHandle = StrongNumber<struct LoginHandleTag>;
// A live-stream client of the device library.
using StreamHandle = StrongNumber<struct StreamHandleTag>;

}  // namespace qrv::device
