// Public interface of the QRV device-access plug-in, for hosts.
//
// A host loads libqrvaccess, calls the exported factory ModuleInstance and
// from then on talks to the returned object only through its virtual
// operations, whose order below is the binary contract. This header is
// self-contained: a host compiled against its own copy of it works with the
// plug-in.
//
// Windows: qrvaccess.dll serves hosts built with Visual Studio 2015 to 2022
// (32-bit, release runtime): their slot table, their std::map and std::string,
// blocks from their C runtime's heap. qrvaccess-mingw.dll serves MinGW-w64 g++
// hosts. Elsewhere the plug-in shares the host's g++/libstdc++ ABI.
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

#if defined(_MSC_VER)
// Visual Studio 2015-2022 (and clang-cl with their headers), 32-bit, release
// runtime: qrvaccess.dll lays out the object, its std::string and std::map
// exactly as these compilers do (docs/windows.md). Other layouts would be
// misread at run time without a word, so they are refused here.
#if _MSC_VER < 1900
#error "qrvaccess.dll serves Visual Studio 2015 to 2022 hosts: older containers are laid out differently"
#elif !defined(_M_IX86)
#error "qrvaccess.dll is a 32-bit x86 DLL: build the host for Win32 (x86)"
#elif defined(_DEBUG) || (defined(_ITERATOR_DEBUG_LEVEL) && _ITERATOR_DEBUG_LEVEL != 0)
#error "qrvaccess.dll serves hosts built with the release runtime (/MD or /MT, _ITERATOR_DEBUG_LEVEL 0)"
#endif
#elif defined(_WIN32)
// MinGW-w64 g++: qrvaccess-mingw.dll, built the same way. g++ gives the
// virtual destructor two vtable slots where Visual Studio has one, and the
// std::map/std::string here are libstdc++'s.
#if !defined(__GNUC__) || !defined(__GLIBCXX__) || !defined(_GLIBCXX_USE_CXX11_ABI) || \
    _GLIBCXX_USE_CXX11_ABI != 1
#error "qrvaccess-mingw.dll serves hosts built with MinGW-w64 g++ and libstdc++'s new string ABI (see docs/windows.md)"
#elif !defined(__i386__)
#error "qrvaccess-mingw.dll is a 32-bit x86 DLL (see docs/windows.md)"
#endif
#endif
#if !defined(_MSC_VER)
// The C++ library ABI a g++ or clang host must share with the plug-in:
// std::map and std::string cross the boundary by reference and by value, and
// exceptions and virtual tables are laid out by the compiler. A mismatch does
// not fail to link; it corrupts memory at run time, so it is refused here.
// The installed qrv_access_config.h records how this copy of the plug-in was
// built; without it the checks assume a default g++ build of the same bitness.
#if __has_include(<qrvaccess/qrv_access_config.h>)
#include <qrvaccess/qrv_access_config.h>
#endif
#if !defined(QRV_ACCESS_CXX11_ABI)
#define QRV_ACCESS_CXX11_ABI 1
#endif
#if !defined(__GNUC__)
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
#endif  // !_MSC_VER

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
constexpr char kQrvKeyOperation[] = "Operation";
constexpr char kQrvKeyDeviceIP[] = "DeviceIP";
constexpr char kQrvKeyUser[] = "User";
constexpr char kQrvKeyPassword[] = "Password";
constexpr char kQrvKeyDevicePort[] = "DevicePort";
constexpr char kQrvKeyLoginId[] = "LOGINID";
constexpr char kQrvKeyChannelCount[] = "ChanNum";
constexpr char kQrvKeyChannel[] = "Channel";
constexpr char kQrvKeyPlayWindow[] = "PlayWnd";
constexpr char kQrvKeyStreamType[] = "StreamType";
constexpr char kQrvKeyHandle[] = "Handle";
constexpr char kQrvKeyFileName[] = "FileName";
constexpr char kQrvKeyPtzCommand[] = "PTZCommand";
constexpr char kQrvKeyPtzValue[] = "INValue";
constexpr char kQrvKeySpeed[] = "Speed";

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
static_assert(sizeof(PacketRecord) == 10276, "PacketRecord is 10276 bytes");
static_assert(sizeof(LargePacketRecord) == 102436, "LargePacketRecord is 102436 bytes");

// Per-frame information handed to StreamDataCallback by value.
struct StreamFrameInfo {
  uint32_t reserved[4];  // always 0
  uint32_t keyFrame;     // 1 for a key frame, else 0
};
static_assert(sizeof(StreamFrameInfo) == 20, "StreamFrameInfo is 20 bytes");

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
static_assert(sizeof(DiscoveryRecord) == 252, "DiscoveryRecord is 252 bytes");
static_assert(offsetof(DiscoveryRecord, address) == 0, "DiscoveryRecord field moved");
static_assert(offsetof(DiscoveryRecord, mask) == 16, "DiscoveryRecord field moved");
static_assert(offsetof(DiscoveryRecord, mask2) == 32, "DiscoveryRecord field moved");
static_assert(offsetof(DiscoveryRecord, mac) == 48, "DiscoveryRecord field moved");
static_assert(offsetof(DiscoveryRecord, reserved0) == 54, "DiscoveryRecord field moved");
static_assert(offsetof(DiscoveryRecord, deviceType) == 104, "DiscoveryRecord field moved");
static_assert(offsetof(DiscoveryRecord, reserved1) == 108, "DiscoveryRecord field moved");
static_assert(offsetof(DiscoveryRecord, defaultUser) == 208, "DiscoveryRecord field moved");
static_assert(offsetof(DiscoveryRecord, defaultPassword) == 228, "DiscoveryRecord field moved");
static_assert(offsetof(DiscoveryRecord, port) == 248, "DiscoveryRecord field moved");

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
constexpr const char* kQrvKeyStatusInUse = "InUse";
constexpr const char* kQrvKeyStatusOnline = "Online";
constexpr const char* kQrvKeyStatusDeviceIp = "DeviceIP";
constexpr const char* kQrvKeyStatusStreamOpen = "StreamOpen";
constexpr const char* kQrvKeyStatusPacketsReceived = "PacketsReceived";
constexpr const char* kQrvKeyStatusBytesReceived = "BytesReceived";
constexpr const char* kQrvKeyStatusKeyFrames = "KeyFrames";
constexpr const char* kQrvKeyStatusRecording = "Recording";
constexpr const char* kQrvKeyStatusRecordedBytes = "RecordedBytes";
constexpr const char* kQrvKeyStatusRecordedFrames = "RecordedFrames";
constexpr const char* kQrvKeyStatusRecordedKeyFrames = "RecordedKeyFrames";
constexpr const char* kQrvKeyStatusWriteErrors = "WriteErrors";
constexpr const char* kQrvKeyStatusBytesLost = "BytesLost";
constexpr const char* kQrvKeyStatusLastError = "LastError";
constexpr const char* kQrvKeyStatusReconnects = "Reconnects";
constexpr const char* kQrvKeyStatusLastOutageMs = "LastOutageMs";

// Output keys of kQrvOpServiceStatus (flags 0 or 1, numbers decimal).
constexpr const char* kQrvKeyServiceEventService = "EventService";
constexpr const char* kQrvKeyServiceAlarmListener = "AlarmListener";
constexpr const char* kQrvKeyServiceAlarmPort = "AlarmPort";
constexpr const char* kQrvKeyServiceDiscovery = "Discovery";
constexpr const char* kQrvKeyServiceSlotsInUse = "SlotsInUse";

// Results of Execute that the plug-in makes itself; login, voice talk and PTZ
// also pass the device library's own results through.
constexpr int32_t kQrvResultOk = 0;
constexpr int32_t kQrvResultSlotOutOfRange = 10;
constexpr int32_t kQrvResultNoFreeSlot = 14;
constexpr int32_t kQrvResultFailed = -1;

// Environment variable that sends the plug-in's debugger messages (GBK text,
// one line each) to "stderr" or appends them to a file path; unset: nowhere.
constexpr char kQrvDebugOutputVariable[] = "QRV_DEBUG_OUTPUT";

// Value of every device event's device-type argument.
constexpr int32_t kQrvDeviceTypeCode = 102209;

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

#if defined(_MSC_VER)
// The layouts qrvaccess.dll was built for (32-bit, release runtime).
static_assert(sizeof(std::string) == 24, "qrvaccess.dll expects the release std::string of 24 bytes");
static_assert(sizeof(ParameterMap) == 8, "qrvaccess.dll expects the release std::map of 8 bytes");
static_assert(sizeof(ModuleInfo) == 76, "ModuleInfo is three texts and an integer");
#define QRV_FACTORY_CALL __cdecl
#else
#define QRV_FACTORY_CALL
#endif

// The exported factory: a new plug-in object on the heap, deleted by the host
// (delete calls slot 0). Null only when memory ran out.
extern "C" IAccess* QRV_FACTORY_CALL ModuleInstance();
typedef IAccess*(QRV_FACTORY_CALL* ModuleInstanceFunction)();
