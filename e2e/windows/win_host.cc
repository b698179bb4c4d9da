// Drives qrvaccess-mingw.dll as a MinGW host on Windows would: load it beside this
// program, log in to one device, record its live stream for some seconds,
// take a snapshot, wait for an alarm, log out. Prints one "key value" line per
// result for the calling script; exit status 0 only if every step worked.
//   qrv_win_host DEVICE_IP PORT USER PASSWORD OUT_DIR SECONDS
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qrvaccess/qrv_access.h"

namespace {

std::atomic<int32_t> g_alarms{0};
std::atomic<int32_t> g_alarmSlot{-1};
std::atomic<int32_t> g_videoFrames{0};
std::atomic<int32_t> g_keyFrames{0};
std::atomic<int32_t> g_headers{0};
// Frames the recording should hold: from the first key frame delivered after
// the recording started until it is stopped.
std::atomic<bool> g_recording{false};
std::atomic<int32_t> g_recordable{0};

int32_t QRV_CALLBACK OnAlarm(int32_t, int32_t slot, int32_t, int32_t) {
  g_alarmSlot = slot;
  ++g_alarms;
  return 0;
}

int32_t QRV_CALLBACK OnStatus(int32_t, int32_t, const char*, int32_t, int32_t) { return 0; }

int32_t QRV_CALLBACK OnData(int32_t type, const uint8_t*, uint32_t, StreamFrameInfo info,
                            uintptr_t) {
  if (type == kStreamDataVideo) {
    ++g_videoFrames;
    if (info.keyFrame != 0) ++g_keyFrames;
    if (g_recording.load() && (g_recordable.load() > 0 || info.keyFrame != 0)) ++g_recordable;
  } else if (type == kStreamDataFirstHeader || type == kStreamDataLaterHeader) {
    ++g_headers;
  }
  return 0;
}

int32_t Run(IAccess& access, ParameterMap input, ParameterMap* output = nullptr) {
  ParameterMap out;
  const int32_t code = access.Execute(input, out);
  if (output != nullptr) *output = out;
  return code;
}

bool WaitFor(const std::atomic<int32_t>& counter, int32_t atLeast, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (counter.load() < atLeast) {
    if (GetTickCount64() > end) return false;
    Sleep(20);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s DEVICE_IP PORT USER PASSWORD OUT_DIR SECONDS\n", argv[0]);
    return 2;
  }
  const std::string ip = argv[1], port = argv[2], user = argv[3], password = argv[4];
  const std::string outDir = argv[5];
  const int seconds = std::atoi(argv[6]);
  bool ok = true;
  auto check = [&](const char* step, bool passed) {
    std::printf("%s %s\n", step, passed ? "ok" : "FAILED");
    ok = ok && passed;
    return passed;
  };

  // The plug-in beside this program; its device library beside the plug-in.
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string folder(self);
  folder.resize(folder.find_last_of("\\/") + 1);
  HMODULE module = LoadLibraryExA((folder + "qrvaccess-mingw.dll").c_str(), nullptr,
                                  LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!check("load", module != nullptr)) return 1;
  auto factory = reinterpret_cast<ModuleInstanceFunction>(
      reinterpret_cast<void*>(GetProcAddress(module, "ModuleInstance")));
  if (!check("factory", factory != nullptr)) return 1;
  IAccess* access = factory();
  access->SetAlarmCallback(OnAlarm, 0);
  access->SetConnectionStatusCallback(OnStatus, 0);
  if (!check("init", access->Init() == 1)) return 1;

  ParameterMap out;
  const int32_t login = Run(*access,
                            {{"Operation", "1"},
                             {"DeviceIP", ip},
                             {"User", user},
                             {"Password", password},
                             {"DevicePort", port}},
                            &out);
  std::printf("login-result %d\n", login);
  if (check("login", login == 0 && out.count("LOGINID") != 0)) {
    const std::string slot = out["LOGINID"];
    access->SetStreamDataCallback(static_cast<uint32_t>(std::atoi(slot.c_str())), OnData, 0);
    check("open-stream", Run(*access, {{"Operation", "3"},
                                       {"Channel", "0"},
                                       {"LOGINID", slot},
                                       {"PlayWnd", "0"},
                                       {"DeviceIP", ip},
                                       {"User", user},
                                       {"Password", password},
                                       {"StreamType", "0"}}) == 0);
    check("first-frame", WaitFor(g_videoFrames, 1, 10000));
    const std::string recording = outDir + "\\recording";
    // Started just after a key frame, so the recording's first key frame is
    // the next one and no frame is in flight at either end.
    const int32_t keys = g_keyFrames.load();
    WaitFor(g_keyFrames, keys + 1, 10000);
    check("start-recording",
          Run(*access, {{"Operation", "21"}, {"Handle", slot}, {"FileName", recording}}) == 0);
    g_recording = true;
    Sleep(static_cast<DWORD>(seconds) * 1000);
    g_recording = false;
    check("stop-recording", Run(*access, {{"Operation", "22"}, {"Handle", slot}}) == 0);
    std::printf("recordable-frames %d\n", g_recordable.load());
    const std::string jpeg = outDir + "\\snapshot.jpg";
    check("snapshot",
          Run(*access, {{"Operation", "20"}, {"Handle", slot}, {"FileName", jpeg}}) == 0);
    check("alarm", WaitFor(g_alarms, 1, 10000));
    std::printf("alarm-slot %d\n", g_alarmSlot.load());
    check("alarm-slot", g_alarmSlot.load() == std::atoi(slot.c_str()));
    check("close-stream",
          Run(*access, {{"Operation", "4"}, {"Handle", slot}, {"LOGINID", slot}}) == 0);
    check("logout", Run(*access, {{"Operation", "2"}, {"LOGINID", slot}}) == 0);
  }
  std::printf("video-frames %d\nkey-frames %d\nheaders %d\n", g_videoFrames.load(),
              g_keyFrames.load(), g_headers.load());
  access->Uninit();
  delete access;
  std::printf("result %s\n", ok ? "ok" : "FAILED");
  std::fflush(stdout);
  return ok ? 0 : 1;
}
