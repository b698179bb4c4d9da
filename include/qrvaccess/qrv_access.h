// Public interface of the QRV device-access plug-in, for hosts.
//
// A host loads libqrvaccess, calls the exported factory ModuleInstance and
// from then on talks to the returned object only through its virtual
// operations, whose order below is the binary contract. This header is
// self-contained: a host compiled against its own copy of it works with the
// plug-in.
//
// Calling order the plug-in relies on: ModuleInstance; the registration
// operations and Init (in any order); any number of Execute calls and
// registrations, from any host threads; Uninit; delete. ModuleInstance, Init,
// Uninit and the destructor must not overlap any other call.
//
// Host callbacks are callee-cleaned on 32-bit x86 (QRV_CALLBACK) and run on
// the plug-in's or the device library's threads, never under a plug-in lock,
// except DiscoveryCallback, which runs while the discovery lock is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Windows: the DLLs are built with MinGW-w64 g++ (32-bit, libstdc++, new
// string ABI) and serve hosts built the same way only. g++ gives the virtual
// destructor two vtable slots where MSVC has one, and the std::map/std::string
// in these interfaces are libstdc++'s, so another C++ runtime would call the
// wrong slots and misread the maps: refuse to compile rather than crash.
#if defined(_WIN32)
#if defined(_MSC_VER) || !defined(__GNUC__)
#error "qrvaccess.dll serves hosts built with MinGW-w64 g++ only (see docs/windows.md)"
#elif !defined(__GLIBCXX__) || !defined(_GLIBCXX_USE_CXX11_ABI) || _GLIBCXX_USE_CXX11_ABI != 1
#error "qrvaccess.dll needs libstdc++ with the new string ABI (see docs/windows.md)"
#elif !defined(__i386__)
#error "qrvaccess.dll is a 32-bit x86 DLL (see docs/windows.md)"
#endif
#endif
// The C++ library ABI a host must share with the plug-in: std::map and
// std::string cross the boundary by reference and by value, and exceptions and
// virtual tables are laid out by the compiler. A mismatch does not fail to
// link; it corrupts memory at run time, so it is refused here. The installed
// qrv_access_config.h records how this copy of the plug-in was built; without
// it the checks assume a default g++ build of the same bitness.
#if __has_include(<qrvaccess/qrv_access_config.h>)
#include <qrvaccess/qrv_access_config.h>
#endif
#if !defined(QRV_ACCESS_CXX11_ABI)
#define QRV_ACCESS_CXX11_ABI 1
#endif
#if !defined(__GNUC__) || defined(_MSC_VER)
#error \
    "qrv_access.h: the plug-in uses the Itanium C++ ABI of g++ and clang; build the host with g++ or clang"
#endif
#if !defined(__GLIBCXX__)
#error \
    "qrv_access.h: the plug-in passes std::map and std::string of GNU libstdc++; build the host with libstdc++ (clang: -stdlib=libstdc++)"
#endif
#if _GLIBCXX_USE_CXX11_ABI != QRV_ACCESS_CXX11_ABI
#if QRV_ACCESS_CXX11_ABI
#error \
    "qrv_access.h: the plug-in was built with _GLIBCXX_USE_CXX11_ABI=1 (std::string layout differs); build the host with _GLIBCXX_USE_CXX11_ABI=1"
#else
#error \
    "qrv_access.h: the plug-in was built with _GLIBCXX_USE_CXX11_ABI=0 (std::string layout differs); build the host with _GLIBCXX_USE_CXX11_ABI=0"
#endif
#endif
#if defined(QRV_ACCESS_POINTER_BITS) && QRV_ACCESS_POINTER_BITS != __SIZEOF_POINTER__ * 8
#if QRV_ACCESS_POINTER_BITS == 32
#error "qrv_access.h: this plug-in is a 32-bit library; build the host as 32-bit (-m32)"
#else
#error "qrv_access.h: this plug-in is a 64-bit library; build the host as 64-bit (not -m32)"
#endif
#endif

#if !defined(QRV_CALLBACK)
#if defined(_WIN32) && defined(_M_IX86)
#define QRV_CALLBACK __stdcall
#elif defined(__i386__)
#define QRV_CALLBACK __attribute__((stdcall))
#else
#define QRV_CALLBACK
#endif
#endif

// Request and result parameters of Execute: text keys to text values.
using ParameterMap = std::map<std::string, std::string>;

// Named integers kept for the host by SetInt and GetInt.
using PropertyMap = std::map<std::string, int32_t>;

// Keys of Execute's input and output maps (docs/host-guide.md lists which
// operation reads and writes which).
inline constexpr char kQrvKeyOperation[] = "Operation";
inline constexpr char kQrvKeyDeviceIP[] = "DeviceIP";
inline constexpr char kQrvKeyUser[] = "User";
inline constexpr char kQrvKeyPassword[] = "Password";
inline constexpr char kQrvKeyDevicePort[] = "DevicePort";
inline constexpr char kQrvKeyLoginId[] = "LOGINID";
inline constexpr char kQrvKeyChannelCount[] = "ChanNum";
inline constexpr char kQrvKeyChannel[] = "Channel";
inline constexpr char kQrvKeyPlayWindow[] = "PlayWnd";
inline constexpr char kQrvKeyStreamType[] = "StreamType";
inline constexpr char kQrvKeyHandle[] = "Handle";
inline constexpr char kQrvKeyFileName[] = "FileName";
inline constexpr char kQrvKeyPtzCommand[] = "PTZCommand";
inline constexpr char kQrvKeyPtzValue[] = "INValue";
inline constexpr char kQrvKeySpeed[] = "Speed";

struct ModuleInfo {
  std::string name;       // "PLUGIN.Access.QRV" after Init
  std::string version;    // "1.0" after Init
  std::string extraText;  // never set by the plug-in
  int32_t extraValue = 0;
};

// Records passed by value to the do-nothing packet operations.
struct PacketRecord {
  uint8_t bytes[10276];
};
struct LargePacketRecord {
  uint8_t bytes[102436];
};
static_assert(sizeof(PacketRecord) == 10276);
static_assert(sizeof(LargePacketRecord) == 102436);

// Per-frame information handed to StreamDataCallback by value.
struct StreamFrameInfo {
  uint32_t reserved[4];  // always 0
  uint32_t keyFrame;     // 1 for a key frame, else 0
};
static_assert(sizeof(StreamFrameInfo) == 20);

// Data types of StreamDataCallback.
enum StreamDataType : int32_t {
  kStreamDataOther = 0,        // a packet of an unknown frame type
  kStreamDataFirstHeader = 1,  // the first stream header since login
  kStreamDataVideo = 2,        // a video frame (keyFrame says whether it is a key frame)
  kStreamDataLaterHeader = 3,  // a later stream header
  kStreamDataAux = 4,          // auxiliary data (for example audio)
};

// A device found on the network (252 bytes, little-endian).
//
//   offset  width  field
//   0       16     address text, NUL-terminated within the field
//   16      16     network mask text
//   32      16     network mask text again
//   48      6      MAC address
//   54      50     zero
//   104     4      device type 102209
//   108     100    zero
//   208     20     default user name "tundra"
//   228     20     default password "tundra"
//   248     4      control port
struct DiscoveryRecord {
  char address[16];
  char mask[16];
  char mask2[16];
  uint8_t mac[6];
  uint8_t reserved0[50];
  int32_t deviceType;
  uint8_t reserved1[100];
  char defaultUser[20];
  char defaultPassword[20];
  int32_t port;
};
// The host receives the record by value: a host whose compiler lays it out
// otherwise (packing, alignment) must not build.
static_assert(sizeof(DiscoveryRecord) == 252);
static_assert(offsetof(DiscoveryRecord, address) == 0);
static_assert(offsetof(DiscoveryRecord, mask) == 16);
static_assert(offsetof(DiscoveryRecord, mask2) == 32);
static_assert(offsetof(DiscoveryRecord, mac) == 48);
static_assert(offsetof(DiscoveryRecord, reserved0) == 54);
static_assert(offsetof(DiscoveryRecord, deviceType) == 104);
static_assert(offsetof(DiscoveryRecord, reserved1) == 108);
static_assert(offsetof(DiscoveryRecord, defaultUser) == 208);
static_assert(offsetof(DiscoveryRecord, defaultPassword) == 228);
static_assert(offsetof(DiscoveryRecord, port) == 248);

// Codes under "Operation" in Execute's input map.
enum QrvOperation : int32_t {
  kQrvOpLogin = 1,
  kQrvOpLogout = 2,
  kQrvOpOpenLiveStream = 3,
  kQrvOpCloseLiveStream = 4,
  kQrvOpRequestKeyFrame = 18,
  kQrvOpSnapshot = 20,
  kQrvOpStartRecording = 21,
  kQrvOpStopRecording = 22,
  kQrvOpAudioOn = 23,
  kQrvOpAudioOff = 24,
  kQrvOpPtz = 29,
  kQrvOpAcceptedA = 33,  // accepted, no work
  kQrvOpAcceptedB = 34,  // accepted, no work
  kQrvOpStartVoiceTalk = 35,
  kQrvOpStopVoiceTalk = 36,
  kQrvOpRefreshDiscovery = 42,
  kQrvOpDeviceStatus = 100,   // input "Handle"; output the kQrvKeyStatus... keys of a slot
  kQrvOpServiceStatus = 101,  // output the kQrvKeyService... keys
};

// Output keys of kQrvOpDeviceStatus. Numbers are decimal texts; flags are 0 or
// 1; "LastError" is a short English text, empty when nothing failed;
// "Reconnects" and "LastOutageMs" are empty when the device library cannot
// tell of reconnections.
inline constexpr const char* kQrvKeyStatusInUse = "InUse";
inline constexpr const char* kQrvKeyStatusOnline = "Online";
inline constexpr const char* kQrvKeyStatusDeviceIp = "DeviceIP";
inline constexpr const char* kQrvKeyStatusStreamOpen = "StreamOpen";
inline constexpr const char* kQrvKeyStatusPacketsReceived = "PacketsReceived";
inline constexpr const char* kQrvKeyStatusBytesReceived = "BytesReceived";
inline constexpr const char* kQrvKeyStatusKeyFrames = "KeyFrames";
inline constexpr const char* kQrvKeyStatusRecording = "Recording";
inline constexpr const char* kQrvKeyStatusRecordedBytes = "RecordedBytes";
inline constexpr const char* kQrvKeyStatusWriteErrors = "WriteErrors";
inline constexpr const char* kQrvKeyStatusBytesLost = "BytesLost";
inline constexpr const char* kQrvKeyStatusLastError = "LastError";
inline constexpr const char* kQrvKeyStatusReconnects = "Reconnects";
inline constexpr const char* kQrvKeyStatusLastOutageMs = "LastOutageMs";

// Output keys of kQrvOpServiceStatus (flags 0 or 1, numbers decimal).
inline constexpr const char* kQrvKeyServiceEventService = "EventService";
inline constexpr const char* kQrvKeyServiceAlarmListener = "AlarmListener";
inline constexpr const char* kQrvKeyServiceAlarmPort = "AlarmPort";
inline constexpr const char* kQrvKeyServiceDiscovery = "Discovery";
inline constexpr const char* kQrvKeyServiceSlotsInUse = "SlotsInUse";

// Results of Execute that the plug-in makes itself; login, voice talk and PTZ
// also pass the device library's own results through.
inline constexpr int32_t kQrvResultOk = 0;
inline constexpr int32_t kQrvResultSlotOutOfRange = 10;
inline constexpr int32_t kQrvResultNoFreeSlot = 14;
inline constexpr int32_t kQrvResultFailed = -1;

// Environment variable that sends the plug-in's debugger messages (GBK text,
// one line each) to "stderr" or appends them to a file path; unset: nowhere.
inline constexpr char kQrvDebugOutputVariable[] = "QRV_DEBUG_OUTPUT";

// Value of every device event's device-type argument.
inline constexpr int32_t kQrvDeviceTypeCode = 102209;

// dataType: StreamDataType; data valid during the call only; user: the value
// given to SetStreamDataCallback.
typedef int32_t(QRV_CALLBACK* StreamDataCallback)(int32_t dataType, const uint8_t* data,
                                                  uint32_t length, StreamFrameInfo info,
                                                  uintptr_t user);
// state: 0 the device came on line, 1 it went off line. text is always "".
typedef int32_t(QRV_CALLBACK* ConnectionStatusCallback)(int32_t slot, int32_t deviceType,
                                                        const char* text, int32_t port,
                                                        int32_t state);
// kind is always 3; value is the device's alarm value.
typedef int32_t(QRV_CALLBACK* AlarmCallback)(int32_t kind, int32_t slot, int32_t deviceType,
                                             int32_t value);
typedef int32_t(QRV_CALLBACK* DiscoveryCallback)(DiscoveryRecord record);

class IModule {
 public:
  virtual ~IModule() {}
  virtual void Reserved() {}
  virtual int32_t Init() { return 1; }
  virtual void Uninit() {}

  ModuleInfo moduleInfo;
};

class IDataPacket : public IModule {
 public:
  virtual void HandlePacket(PacketRecord) {}
  virtual void HandleLargePacket(LargePacketRecord) {}
  virtual void HandlePacket2(PacketRecord) {}
  virtual void SetInt(std::string name, int32_t value) { properties[name] = value; }
  virtual int32_t GetInt(std::string name) {
    auto it = properties.find(name);
    return it == properties.end() ? 0 : it->second;
  }
  virtual void HandleParameters(ParameterMap) {}

  PropertyMap properties;
};

class IAccess : public IDataPacket {
 public:
  virtual int32_t GetAccessType() = 0;
  virtual int32_t Execute(ParameterMap& input, ParameterMap& output) = 0;
  virtual void SetDiscoveryCallback(DiscoveryCallback callback) = 0;
  virtual int32_t SetStreamDataCallback(uint32_t slot, StreamDataCallback callback,
                                        uintptr_t user) = 0;
  virtual int32_t SetSlotCallback2(uint32_t a, uint32_t b, uint32_t c) = 0;
  virtual int32_t SetAlarmCallback(AlarmCallback callback, uint32_t unused) = 0;
  virtual int32_t SetConnectionStatusCallback(ConnectionStatusCallback callback,
                                              uint32_t unused) = 0;
  virtual int32_t SetSlotCallback3(uint32_t slot, uint32_t a, uint32_t b) = 0;
};

// The exported factory: a new plug-in object on the heap, deleted by the host.
extern "C" IAccess* ModuleInstance();
typedef IAccess* (*ModuleInstanceFunction)();
