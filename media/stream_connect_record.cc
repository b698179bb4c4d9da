#include "media/stream_connect_record.h"

#include <cstdio>
#include <cstring>

namespace qrv::media {
namespace {

// Copies text with its NUL into a zero-filled 32-byte field. The caller has
// checked that it fits.
void PutText(char (&field)[32], const std::string& text) {
  std::snprintf(field, sizeof(field), "%s", text.c_str());
}

bool Fits(const std::string& text) {
  return text.size() < 32;
}

}  // namespace

//   offset  width  field
//   0       4      size (280)
//   4       32     device address, NUL-terminated
//   36      32     zero
//   68      4      device stream port (6002)
//   72      32     user name, NUL-terminated
//   104     32     password, NUL-terminated
//   136     1      0
//   137     1      stream type (low 8 bits)
//   138     142    zero
std::optional<devicelib::StreamConnectRecord> BuildStreamConnectRecord(const std::string& deviceIp,
                                                                       const std::string& user,
                                                                       const std::string& password,
                                                                       int32_t streamType) {
  if (!Fits(deviceIp) || !Fits(user) || !Fits(password)) return std::nullopt;
  devicelib::StreamConnectRecord record;
  std::memset(&record, 0, sizeof(record));
  record.size = sizeof(record);
  PutText(record.deviceIp, deviceIp);
  record.streamPort = kStreamPort;
  PutText(record.user, user);
  PutText(record.password, password);
  record.flag = 0;
  record.streamType = static_cast<uint8_t>(static_cast<uint32_t>(streamType) & 0xFFu);
  return record;
}

}  // namespace qrv::media
