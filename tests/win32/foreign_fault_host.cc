// A host of the plug-in whose device library faults: the stand-in
// tmControlClient.dll of tests/msvc/faulting_library.cc, a Visual Studio
// binary without unwind tables of the plug-in's kind. The same source is
// built as a MinGW host of qrvaccess-mingw.dll and as a Visual Studio-ABI
// host of qrvaccess.dll (scripts/msvc-host-tests.sh runs both under Wine).
// Each fault must end its operation with the failure code while the process
// lives on, the next operation on another slot must work, and a thousand
// faulting calls must leave thread and memory counts flat.
// Exit status 0 only when every check passed.
#include <cstdint>
#include <cstdio>
#include <string>

#include "qrvaccess/qrv_access.h"

extern "C" {
__declspec(dllimport) void* __stdcall LoadLibraryA(const char* name);
__declspec(dllimport) void* __stdcall GetModuleHandleA(const char* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) void* __stdcall GetCurrentProcess(void);
__declspec(dllimport) unsigned long __stdcall GetCurrentProcessId(void);
__declspec(dllimport) void* __stdcall CreateToolhelp32Snapshot(unsigned long flags,
                                                               unsigned long process);
__declspec(dllimport) int __stdcall CloseHandle(void* handle);
}

namespace {

#if defined(_MSC_VER)
constexpr char kPlugin[] = "qrvaccess.dll";
#else
constexpr char kPlugin[] = "qrvaccess-mingw.dll";
#endif

int g_passed = 0;
int g_failed = 0;
void Check(bool ok, const char* what, int line) {
  ok ? ++g_passed : ++g_failed;
  if (!ok) std::printf("CHECK FAILED (line %d): %s\n", line, what);
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

// The stand-in's controls.
using FaultOnFunction = void(__cdecl*)(const char* function, int32_t kind);
using DeliverAlarmFunction = int32_t(__cdecl*)(const char* address, int32_t value,
                                               int32_t readable);
FaultOnFunction g_faultOn = nullptr;
DeliverAlarmFunction g_deliverAlarm = nullptr;
enum Fault : int32_t { kNone = 0, kNullWrite = 1, kNullWriteTwoCallsDeep = 2, kDivideByZero = 3 };

int32_t g_alarmSlot = -1;
int32_t g_alarmValue = 0;
int32_t g_alarms = 0;
int32_t QRV_CALLBACK OnAlarm(int32_t, int32_t slot, int32_t, int32_t value) {
  g_alarmSlot = slot;
  g_alarmValue = value;
  ++g_alarms;
  return 0;
}

IAccess* g_plugin = nullptr;

int32_t Run(ParameterMap in, ParameterMap* out = nullptr) {
  ParameterMap local;
  const int32_t result = g_plugin->Execute(in, out != nullptr ? *out : local);
  return result;
}

int32_t Login(const std::string& address, int32_t* slot) {
  ParameterMap out;
  const int32_t result = Run({{"Operation", "1"},
                              {"DeviceIP", address},
                              {"User", "admin"},
                              {"Password", "admin"},
                              {"DevicePort", "6001"}},
                             &out);
  *slot = result == 0 ? std::stoi(out["LOGINID"]) : -1;
  return result;
}

int32_t OpenStream(int32_t slot) {
  const std::string id = std::to_string(slot);
  return Run({{"Operation", "3"},
              {"Channel", "0"},
              {"LOGINID", id},
              {"PlayWnd", "0"},
              {"DeviceIP", "127.0.0.1"},
              {"User", "admin"},
              {"Password", "admin"},
              {"StreamType", "0"}});
}

int32_t Ptz(int32_t slot) {
  return Run({{"Operation", "29"},
              {"LOGINID", std::to_string(slot)},
              {"Channel", "0"},
              {"PTZCommand", "1"},
              {"INValue", "0"},
              {"Speed", "5"}});
}

// One faulting operation per kind of fault.
struct Case {
  const char* name;
  const char* function;
  Fault fault;
  int32_t (*operation)(int32_t slot);
};
const Case kCases[] = {
    {"null write in TMCC_Connect", "TMCC_Connect", kNullWrite,
     [](int32_t) {
       int32_t slot = -1;
       return Login("127.0.0.1", &slot);
     }},
    {"null write two calls deep in TMCC_ConnectStream", "TMCC_ConnectStream",
     kNullWriteTwoCallsDeep, &OpenStream},
    {"division by zero in TMCC_PtzControl", "TMCC_PtzControl", kDivideByZero, &Ptz},
};

// Handles are not counted: Wine answers GetProcessHandleCount with 0.
struct Counts {
  int threads = 0;
  unsigned long privateBytes = 0;
};

Counts Measure() {
  struct ThreadEntry {  // THREADENTRY32
    unsigned long size, usage, threadId, ownerProcessId;
    long basePriority, deltaPriority;
    unsigned long flags;
  };
  struct MemoryCounters {  // PROCESS_MEMORY_COUNTERS, 32-bit
    unsigned long size, pageFaults;
    size_t peakWorkingSet, workingSet, peakPaged, paged, peakNonPaged, nonPaged, pagefile,
        peakPagefile;
  };
  using ThreadWalk = int(__stdcall*)(void* snapshot, ThreadEntry* entry);
  using MemoryInfo = int(__stdcall*)(void* process, MemoryCounters* counters, unsigned long size);
  void* kernel = GetModuleHandleA("kernel32.dll");
  auto first = reinterpret_cast<ThreadWalk>(GetProcAddress(kernel, "Thread32First"));
  auto next = reinterpret_cast<ThreadWalk>(GetProcAddress(kernel, "Thread32Next"));
  auto memory = reinterpret_cast<MemoryInfo>(GetProcAddress(kernel, "K32GetProcessMemoryInfo"));
  Counts counts;
  void* snapshot = CreateToolhelp32Snapshot(0x4 /* TH32CS_SNAPTHREAD */, 0);
  ThreadEntry entry{};
  entry.size = sizeof(entry);
  for (int more = first(snapshot, &entry); more; more = next(snapshot, &entry)) {
    if (entry.ownerProcessId == GetCurrentProcessId()) ++counts.threads;
  }
  CloseHandle(snapshot);
  MemoryCounters counters{};
  counters.size = sizeof(counters);
  memory(GetCurrentProcess(), &counters, sizeof(counters));
  counts.privateBytes = static_cast<unsigned long>(counters.pagefile);
  return counts;
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  void* module = LoadLibraryA(kPlugin);
  auto factory =
      module != nullptr
          ? reinterpret_cast<ModuleInstanceFunction>(GetProcAddress(module, "ModuleInstance"))
          : nullptr;
  void* library = GetModuleHandleA("tmControlClient.dll");
  if (library != nullptr) {
    g_faultOn = reinterpret_cast<FaultOnFunction>(GetProcAddress(library, "StandinFaultOn"));
    g_deliverAlarm =
        reinterpret_cast<DeliverAlarmFunction>(GetProcAddress(library, "StandinDeliverAlarm"));
  }
  CHECK(factory != nullptr && g_faultOn != nullptr && g_deliverAlarm != nullptr);
  if (g_failed != 0) return 1;
  g_plugin = factory();
  g_plugin->SetAlarmCallback(OnAlarm, 0);

  // A fault in the library while Init starts the alarm listener: -1, and the
  // next Init works.
  g_faultOn("TMCC_StartListen", kNullWrite);
  CHECK(g_plugin->Init() == -1);
  g_faultOn("TMCC_StartListen", kNone);
  CHECK(g_plugin->Init() == 1);
  std::printf("Init with a fault in TMCC_StartListen: -1, then 1\n");

  for (const Case& c : kCases) {
    int32_t slot = -1;
    CHECK(Login("127.0.0.1", &slot) == 0);
    g_faultOn(c.function, c.fault);
    const int32_t result = c.operation(slot);
    g_faultOn(c.function, kNone);
    std::printf("%s: %d\n", c.name, result);
    CHECK(result == -1);
    // Another slot works: login, stream, PTZ.
    int32_t other = -1;
    CHECK(Login("127.0.0.2", &other) == 0 && other != slot);
    CHECK(OpenStream(other) == 0);
    CHECK(Ptz(other) == 0);
    CHECK(Run({{"Operation", "2"}, {"LOGINID", std::to_string(other)}}) == 0);
    CHECK(Run({{"Operation", "2"}, {"LOGINID", std::to_string(slot)}}) == 0);
  }

  // A fault the library handles itself stays its own: the key frame is asked
  // for, and the library answers 0.
  int32_t slot = -1;
  CHECK(Login("127.0.0.3", &slot) == 0);
  const int32_t keyFrame = Run({{"Operation", "18"}, {"Handle", std::to_string(slot)}});
  std::printf("a fault the library handles itself: key frame request gives %d\n", keyFrame);
  CHECK(keyFrame == 0);

  // The alarm path on a thread of the library's: a message whose record
  // leads nowhere faults inside the plug-in's handler, which answers 0 and
  // drops it; the thread and the next alarm go on.
  CHECK(g_deliverAlarm("127.0.0.3", 7, 0) == 0);
  CHECK(g_alarms == 0);
  CHECK(g_deliverAlarm("127.0.0.3", 8, 1) == 0);
  CHECK(g_alarms == 1 && g_alarmSlot == slot && g_alarmValue == 8);
  std::printf("alarm with an unreadable record: dropped; the next one reached slot %d\n",
              g_alarmSlot);

  // A thousand faulting calls in a row leave the counts flat.
  auto faultingRound = [slot](int round) {
    const Case& c = kCases[round % 3];
    g_faultOn(c.function, c.fault);
    const int32_t result = c.operation(slot);
    g_faultOn(c.function, kNone);
    return result;
  };
  for (int i = 0; i < 30; ++i) faultingRound(i);
  const Counts before = Measure();
  int failures = 0;
  for (int i = 0; i < 1000; ++i) failures += faultingRound(i) == -1 ? 1 : 0;
  const Counts after = Measure();
  std::printf("1000 faulting calls: %d gave -1; threads %d -> %d, private bytes %lu -> %lu\n",
              failures, before.threads, after.threads, before.privateBytes, after.privateBytes);
  CHECK(failures == 1000);
  CHECK(after.threads == before.threads);
  CHECK(after.privateBytes <= before.privateBytes + 256 * 1024);
  CHECK(Ptz(slot) == 0);

  CHECK(Run({{"Operation", "2"}, {"LOGINID", std::to_string(slot)}}) == 0);
  g_plugin->Uninit();
  delete g_plugin;
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
