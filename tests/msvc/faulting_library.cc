// A stand-in tmControlClient.dll built as the closed library is: a Visual
// Studio binary (clang in MSVC mode), without unwind tables of the plug-in's
// kind. Its functions answer 0 and do nothing, except that a test host can
// tell any of them to fault on every call (StandinFaultOn), and can have it
// deliver an alarm message on a thread of its own (StandinDeliverAlarm).
// TMCC_MakeKeyFrame faults and handles the fault itself, as a library that
// probes memory under __try does.
#include <cstdint>
#include <cstring>

#define TMCC_BUILDING_LIBRARY
#include "devicelib/tmcc_api.h"

extern "C" {
__declspec(dllimport) void* __stdcall CreateThread(void* attributes, size_t stack,
                                                   unsigned long(__stdcall* start)(void*),
                                                   void* argument, unsigned long flags,
                                                   unsigned long* id);
__declspec(dllimport) unsigned long __stdcall WaitForSingleObject(void* handle, unsigned long ms);
__declspec(dllimport) int __stdcall CloseHandle(void* handle);
}

namespace {

using qrv::devicelib::AlarmMessage;
using qrv::devicelib::AlarmRecord;

enum Fault : int32_t { kNone = 0, kNullWrite = 1, kNullWriteTwoCallsDeep = 2, kDivideByZero = 3 };

int* volatile g_nowhere = nullptr;
volatile int32_t g_zero = 0;
volatile int32_t g_dividend = 1000;
volatile int32_t g_sink = 0;

struct Armed {
  const char* function;
  volatile int32_t fault;
};
Armed g_armed[] = {{"TMCC_Connect", kNone},    {"TMCC_ConnectStream", kNone},
                   {"TMCC_PtzControl", kNone}, {"TMCC_StartListen", kNone},
                   {"TMCC_Init", kNone},       {"TMCC_SetMute", kNone}};

__declspec(noinline) void WriteNowhere() {
  *g_nowhere = 1;
}
__declspec(noinline) void CallWriteNowhere() {
  WriteNowhere();
  g_sink = g_sink + 1;  // not a tail call: two frames of ours stand below the caller's
}

void MaybeFault(const char* function) {
  for (Armed& armed : g_armed) {
    if (std::strcmp(armed.function, function) != 0) continue;
    switch (armed.fault) {
      case kNullWrite:
        *g_nowhere = 1;
        break;
      case kNullWriteTwoCallsDeep:
        CallWriteNowhere();
        break;
      case kDivideByZero:
        g_sink = g_dividend / g_zero;
        break;
      default:
        break;
    }
  }
}

volatile int32_t g_nextHandle = 1;
TmccDataReadCallback g_alarmCallback = nullptr;
void* g_alarmContext = nullptr;
int32_t g_listener = 0;

struct Delivery {
  AlarmMessage message;
  AlarmRecord record;
  int32_t answer;
};

unsigned long __stdcall DeliverAlarm(void* argument) {
  auto* delivery = static_cast<Delivery*>(argument);
  delivery->answer = g_alarmCallback != nullptr
                         ? g_alarmCallback(g_listener, &delivery->message, g_alarmContext)
                         : -100;
  return 0;
}

}  // namespace

extern "C" {

// Every later call of function faults with kind (0: none again).
__declspec(dllexport) void __cdecl StandinFaultOn(const char* function, int32_t kind) {
  for (Armed& armed : g_armed) {
    if (std::strcmp(armed.function, function) == 0) armed.fault = kind;
  }
}

// Runs the registered data-read callback once on a new thread with an alarm
// message for address; a message whose record pointer leads nowhere when
// readable is 0. Returns the callback's answer once the thread has ended.
__declspec(dllexport) int32_t
    __cdecl StandinDeliverAlarm(const char* address, int32_t value, int32_t readable) {
  Delivery delivery{};
  delivery.record.size = sizeof(AlarmRecord);
  delivery.record.kind = qrv::devicelib::kAlarmKindAlarm;
  delivery.record.value = value;
  std::strncpy(delivery.record.address, address, sizeof(delivery.record.address) - 1);
  delivery.message.size = sizeof(AlarmMessage);
  delivery.message.code = qrv::devicelib::kAlarmMessageCode;
  delivery.message.type = qrv::devicelib::kAlarmMessageTypeAlarm;
  delivery.message.recordLength = sizeof(AlarmRecord);
  delivery.message.record =
      readable != 0 ? &delivery.record : reinterpret_cast<AlarmRecord*>(uintptr_t{16});
  void* thread = CreateThread(nullptr, 0, &DeliverAlarm, &delivery, 0, nullptr);
  if (thread == nullptr) return -1;
  WaitForSingleObject(thread, 0xFFFFFFFFu);
  CloseHandle(thread);
  return delivery.answer;
}

int32_t TMCC_Init(int32_t) {
  MaybeFault("TMCC_Init");
  return g_nextHandle++;
}
int32_t TMCC_Connect(TmccHandle, qrv::devicelib::LoginRecord*, int32_t) {
  MaybeFault("TMCC_Connect");
  return 0;
}
int32_t TMCC_ConnectStream(TmccHandle, qrv::devicelib::StreamConnectRecord*, uint32_t) {
  MaybeFault("TMCC_ConnectStream");
  return 0;
}
int32_t TMCC_PtzControl(TmccHandle, int32_t, int32_t, int32_t) {
  MaybeFault("TMCC_PtzControl");
  return 0;
}
int32_t TMCC_StartListen(TmccHandle, int32_t) {
  MaybeFault("TMCC_StartListen");
  return 0;
}
int32_t TMCC_MakeKeyFrame(TmccHandle) {
  __try {
    WriteNowhere();  // inside a call: the compiler covers only calls with __try
  } __except (1) {
    return 0;
  }
  return 1;
}
int32_t TMCC_RegisterDataReadCallBack(TmccHandle handle, TmccDataReadCallback callback,
                                      void* context) {
  g_listener = handle;
  g_alarmCallback = callback;
  g_alarmContext = context;
  return 0;
}

// The rest accept anything and answer 0.
#define ANSWER_ZERO(name, ...) \
  int32_t name(__VA_ARGS__) {  \
    return 0;                  \
  }
ANSWER_ZERO(TMCC_Done, TmccHandle)
ANSWER_ZERO(TMCC_RegisterConnectCallBack, TmccHandle, TmccConnectCallback, void*)
ANSWER_ZERO(TMCC_SetTimeOut, TmccHandle, int32_t)
ANSWER_ZERO(TMCC_SetAutoReConnect, TmccHandle, int32_t)
ANSWER_ZERO(TMCC_IsConnect, TmccHandle)
ANSWER_ZERO(TMCC_DisConnect, TmccHandle)
ANSWER_ZERO(TMCC_SetDisplayShow, TmccHandle, int32_t)
ANSWER_ZERO(TMCC_SetStreamBufferTime, TmccHandle, int32_t)
ANSWER_ZERO(TMCC_RegisterStreamCallBack, TmccHandle, TmccStreamCallback, void*)
ANSWER_ZERO(TMCC_CloseStream, TmccHandle)
ANSWER_ZERO(TMCC_CapturePictureToFile, TmccHandle, const char*, const char*)
ANSWER_ZERO(TMCC_SetMute, TmccHandle, int32_t)
ANSWER_ZERO(TMCC_StartVoiceCom, TmccHandle, qrv::devicelib::LoginRecord*)
ANSWER_ZERO(TMCC_StopVoiceCom, TmccHandle)
ANSWER_ZERO(TMCC_StopListen, TmccHandle)
ANSWER_ZERO(TMCC_RegisterEnumServerCallBack, TmccHandle, TmccEnumServerCallback, void*)
ANSWER_ZERO(TMCC_StartEnum, TmccHandle)
ANSWER_ZERO(TMCC_StopEnum, TmccHandle)
ANSWER_ZERO(TMCC_RefreshEnum, TmccHandle)

}  // extern "C"
