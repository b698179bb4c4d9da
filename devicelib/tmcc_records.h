// Records exchanged with the device library (tmControlClient).
//
// All integers are little-endian. Records without pointers have the same
// layout on every build; records that hold a pointer have the documented
// offsets on a 32-bit build, and on a 64-bit build the pointer is 8 bytes wide
// and the fields behind it move accordingly (checked below for both).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qrv::devicelib {

// Client kinds for TMCC_Init.
inline constexpr int32_t kClientLogin = 0;
inline constexpr int32_t kClientEnumeration = 1;
inline constexpr int32_t kClientStream = 5;
inline constexpr int32_t kClientAlarmListener = 6;

// LoginRecord (236 bytes): given to TMCC_Connect and, filled from a slot, to
// TMCC_StartVoiceCom.
//
//   offset  width  field
//   0       4      size (236)
//   4       32     device address, NUL-terminated
//   36      4      device port
//   40      32     user name, NUL-terminated
//   72      32     password, NUL-terminated
//   104     4      0
//   108     128    "user level test!" at login, zero for voice talk
#pragma pack(push, 1)
struct LoginRecord {
  uint32_t size;
  char deviceIp[32];
  int32_t devicePort;
  char user[32];
  char password[32];
  int32_t reserved;
  char userLevel[128];
};
#pragma pack(pop)
static_assert(sizeof(LoginRecord) == 236);
static_assert(offsetof(LoginRecord, deviceIp) == 4);
static_assert(offsetof(LoginRecord, devicePort) == 36);
static_assert(offsetof(LoginRecord, user) == 40);
static_assert(offsetof(LoginRecord, password) == 72);
static_assert(offsetof(LoginRecord, reserved) == 104);
static_assert(offsetof(LoginRecord, userLevel) == 108);

// StreamConnectRecord (280 bytes): given to TMCC_ConnectStream. Zero-filled
// before the fields are set.
//
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
#pragma pack(push, 1)
struct StreamConnectRecord {
  uint32_t size;
  char deviceIp[32];
  uint8_t reserved1[32];
  int32_t streamPort;
  char user[32];
  char password[32];
  uint8_t flag;
  uint8_t streamType;
  uint8_t reserved2[142];
};
#pragma pack(pop)
static_assert(sizeof(StreamConnectRecord) == 280);
static_assert(offsetof(StreamConnectRecord, deviceIp) == 4);
static_assert(offsetof(StreamConnectRecord, streamPort) == 68);
static_assert(offsetof(StreamConnectRecord, user) == 72);
static_assert(offsetof(StreamConnectRecord, password) == 104);
static_assert(offsetof(StreamConnectRecord, flag) == 136);
static_assert(offsetof(StreamConnectRecord, streamType) == 137);

// Frame types of StreamPacket::frameType: a video frame (keyFrame says
// whether it is a key frame), auxiliary data recorded with the video (for
// example audio), and a stream header (SPS and PPS).
inline constexpr uint8_t kFrameVideo = 0;
inline constexpr uint8_t kFrameAuxData = 1;
inline constexpr uint8_t kFrameHeader = 2;

// StreamPacket::flags: the data stays valid, unchanged, until the stream
// batch-end callback has run on the thread that delivered the packet. Only a
// library that accepted a batch-end callback sets it; to any other the byte is
// reserved and may hold anything.
inline constexpr uint8_t kPacketBatched = 0x01;

// StreamPacket: one packet of a live stream, handed to the stream callback.
// The data points into the library's receive buffer and is valid only during
// the callback, unless flags has kPacketBatched (see tmcc_extensions.h).
//
//   offset (32-bit / 64-bit)  width    field
//   0                         4        size of this record
//   4                         1        frame type (0, 1, 2 or another value)
//   5                         1        flags (0, or kPacketBatched)
//   6                         1        key-frame flag (frame type 0 only)
//   7                         1        reserved
//   8                         4        channel
//   12                        4        picture width
//   16                        4        picture height
//   20                        4        sequence number of the frame
//   24                        4        timestamp, milliseconds, low half
//   28                        4        timestamp, milliseconds, high half
//   32                        16       reserved
//   48                        4 / 8    pointer to the data
//   52 / 56                   4        length of the data in bytes
struct StreamPacket {
  uint32_t size;
  uint8_t frameType;
  uint8_t flags;
  uint8_t keyFrame;
  uint8_t reserved1;
  uint32_t channel;
  uint32_t width;
  uint32_t height;
  uint32_t sequence;
  uint32_t timestampLow;
  uint32_t timestampHigh;
  uint8_t reserved2[16];
  uint8_t* data;
  int32_t length;
};
static_assert(offsetof(StreamPacket, size) == 0);
static_assert(offsetof(StreamPacket, frameType) == 4);
static_assert(offsetof(StreamPacket, flags) == 5);
static_assert(offsetof(StreamPacket, keyFrame) == 6);
static_assert(offsetof(StreamPacket, reserved1) == 7);
static_assert(offsetof(StreamPacket, channel) == 8);
static_assert(offsetof(StreamPacket, width) == 12);
static_assert(offsetof(StreamPacket, height) == 16);
static_assert(offsetof(StreamPacket, sequence) == 20);
static_assert(offsetof(StreamPacket, timestampLow) == 24);
static_assert(offsetof(StreamPacket, timestampHigh) == 28);
static_assert(offsetof(StreamPacket, reserved2) == 32);
static_assert(offsetof(StreamPacket, data) == 48);
static_assert(offsetof(StreamPacket, length) == (sizeof(void*) == 4 ? 52 : 56));
static_assert(sizeof(StreamPacket) == (sizeof(void*) == 4 ? 56 : 64));

// Alarm message codes and types.
inline constexpr int32_t kAlarmMessageCode = 271;
inline constexpr int32_t kAlarmMessageTypeAlarm = 4;
inline constexpr uint16_t kAlarmKindAlarm = 3;

struct AlarmRecord;

// AlarmMessage: what the data-read callback receives for a message that a
// device pushed to the alarm listener. Only code, type and record are the
// same in every library; size and recordLength are filled by a library that
// exports TMCC_AlarmRecordLengthGiven (tmcc_extensions.h), and may hold
// anything otherwise.
//
//   offset  width    field
//   0       4        size of this record
//   4       4        message code (271 for alarm messages)
//   8       4        message type (4 = alarm information)
//   12      4        length of the record behind the pointer
//   16      4 / 8    pointer to the AlarmRecord
struct AlarmMessage {
  uint32_t size;
  int32_t code;
  int32_t type;
  uint32_t recordLength;
  AlarmRecord* record;
};
static_assert(offsetof(AlarmMessage, code) == 4);
static_assert(offsetof(AlarmMessage, type) == 8);
static_assert(offsetof(AlarmMessage, recordLength) == 12);
static_assert(offsetof(AlarmMessage, record) == 16);

// AlarmRecord (296 bytes).
//
//   offset  width  field
//   0       4      size (296)
//   4       4      channel
//   8       2      kind (3 = alarm)
//   10      2      reserved
//   12      4      alarm value
//   16      4      login handle whose event pull raised the alarm, 0 for an
//                  alarm a device pushed (only from a library that exports
//                  TMCC_AlarmRecordLoginGiven; reserved in any other)
//   20      242    reserved
//   262     32     address text of the sending device, NUL-terminated within the field
//   294     2      reserved
#pragma pack(push, 1)
struct AlarmRecord {
  uint32_t size;
  uint32_t channel;
  uint16_t kind;
  uint16_t reserved0;
  int32_t value;
  int32_t loginHandle;
  uint8_t reserved1[242];
  char address[32];
  uint16_t reserved2;
};
#pragma pack(pop)
static_assert(sizeof(AlarmRecord) == 296);
static_assert(offsetof(AlarmRecord, kind) == 8);
static_assert(offsetof(AlarmRecord, value) == 12);
static_assert(offsetof(AlarmRecord, loginHandle) == 16);
static_assert(offsetof(AlarmRecord, address) == 262);

// ServerInfoRecord (256 bytes): one device's answer to a discovery probe.
//
//   offset  width  field
//   0       4      size (256)
//   4       33     device model text, NUL-terminated within the field
//   37      64     identity of the device (serial text), NUL-terminated within the field
//   101     6      MAC address
//   107     16     address text (dotted IPv4), NUL-terminated within the field
//   123     9      reserved
//   132     16     network mask text, NUL-terminated within the field
//   148     16     gateway text, NUL-terminated within the field
//   164     28     reserved
//   192     2      control port
//   194     2      stream port
//   196     60     reserved
#pragma pack(push, 1)
struct ServerInfoRecord {
  uint32_t size;
  char model[33];
  char identity[64];
  uint8_t mac[6];
  char address[16];
  uint8_t reserved0[9];
  char mask[16];
  char gateway[16];
  uint8_t reserved1[28];
  uint16_t controlPort;
  uint16_t streamPort;
  uint8_t reserved2[60];
};
#pragma pack(pop)
static_assert(sizeof(ServerInfoRecord) == 256);
static_assert(offsetof(ServerInfoRecord, model) == 4);
static_assert(offsetof(ServerInfoRecord, identity) == 37);
static_assert(offsetof(ServerInfoRecord, mac) == 101);
static_assert(offsetof(ServerInfoRecord, address) == 107);
static_assert(offsetof(ServerInfoRecord, reserved0) == 123);
static_assert(offsetof(ServerInfoRecord, mask) == 132);
static_assert(offsetof(ServerInfoRecord, gateway) == 148);
static_assert(offsetof(ServerInfoRecord, reserved1) == 164);
static_assert(offsetof(ServerInfoRecord, controlPort) == 192);
static_assert(offsetof(ServerInfoRecord, streamPort) == 194);
static_assert(offsetof(ServerInfoRecord, reserved2) == 196);

}  // namespace qrv::devicelib
