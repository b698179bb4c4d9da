#include "device/login_record.h"

#include <algorithm>
#include <cstring>

namespace qrv::device {

namespace {

size_t TextLength(const std::string& text) {
  return std::strlen(text.c_str());
}

// Copies text up to its first NUL into field, always leaving a NUL inside it.
template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
  const size_t length = std::min(TextLength(text), N - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

}  // namespace

bool FitsRecordText(const std::string& text) {
  return TextLength(text) < sizeof(devicelib::LoginRecord::deviceIp);
}

devicelib::LoginRecord BuildLoginRecord(const std::string& deviceIp, int32_t devicePort,
                                        const std::string& user, const std::string& password,
                                        const std::string& userLevel) {
  devicelib::LoginRecord record;
  std::memset(&record, 0, sizeof(record));
  record.size = sizeof(devicelib::LoginRecord);
  CopyText(record.deviceIp, deviceIp);
  record.devicePort = devicePort;
  CopyText(record.user, user);
  CopyText(record.password, password);
  record.reserved = 0;
  CopyText(record.userLevel, userLevel);
  return record;
}

}  // namespace qrv::device
