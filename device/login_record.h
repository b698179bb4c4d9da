// Builder of the 236-byte record that identifies a device and its account to
// the device library: given to TMCC_Connect at login and, filled from the
// slot, to TMCC_StartVoiceCom. Pure functions, no I/O.
#pragma once

#include <cstdint>
#include <string>

#include "devicelib/tmcc_records.h"

namespace qrv::device {

// The text of the login record's last field.
inline constexpr char kLoginUserLevel[] = "user level test!";

// True when text, up to its first NUL, fits a NUL-terminated 32-byte field
// (at most 31 bytes).
bool FitsRecordText(const std::string& text);

// The record, zero-filled, with (offsets in bytes, little-endian):
//
//   0    4    size 236
//   4    32   deviceIp, NUL-terminated
//   36   4    devicePort
//   40   32   user, NUL-terminated
//   72   32   password, NUL-terminated
//   104  4    0
//   108  128  userLevel, NUL-terminated (empty: all zero)
//
// Each text is taken up to its first NUL, byte for byte ('%' has no special
// meaning). A text that does not fit is cut so that its field stays
// terminated; callers refuse such texts beforehand with FitsRecordText.
devicelib::LoginRecord BuildLoginRecord(const std::string& deviceIp, int32_t devicePort,
                                        const std::string& user, const std::string& password,
                                        const std::string& userLevel);

}  // namespace qrv::device
