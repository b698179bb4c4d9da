// A Visual Studio host of qrvaccess.dll against a simulated device: log in,
// open the live stream with the host's data callback, record, snapshot, read
// the status operations, hear an alarm, log out, Uninit, delete. Prints
// "key value" lines for the calling script, which decodes the recording.
//   session_host.exe DEVICE_IP PORT USER PASSWORD OUT_DIR SECONDS
#include <cstdlib>
#include <map>
#include <string>

#include "host_support.h"

namespace {

// Written by the plug-in's threads, read by the main thread.
class Counter {
 public:
  int32_t load() const { return __atomic_load_n(&value_, __ATOMIC_SEQ_CST); }
  void operator=(int32_t value) { __atomic_store_n(&value_, value, __ATOMIC_SEQ_CST); }
  void operator++() { __atomic_fetch_add(&value_, 1, __ATOMIC_SEQ_CST); }

 private:
  int32_t value_ = 0;
};

Counter g_alarms;
Counter g_alarmSlot;
Counter g_online;
Counter g_videoFrames;
Counter g_keyFrames;
Counter g_headers;
// Frames the recording should hold: from the first key frame delivered after
// the recording started until it stopped.
Counter g_recording;
Counter g_recordable;

int32_t __stdcall OnAlarm(int32_t, int32_t slot, int32_t, int32_t) {
  g_alarmSlot = slot;
  ++g_alarms;
  return 0;
}

int32_t __stdcall OnStatus(int32_t, int32_t, const char*, int32_t, int32_t state) {
  if (state == 0) ++g_online;
  return 0;
}

int32_t __stdcall OnData(int32_t type, const uint8_t*, uint32_t, StreamFrameInfo info,
                         uintptr_t user) {
  if (user != 77) return 0;  // the user value given at registration comes back
  if (type == kStreamDataVideo) {
    ++g_videoFrames;
    if (info.keyFrame != 0) ++g_keyFrames;
    if (g_recording.load() != 0 && (g_recordable.load() > 0 || info.keyFrame != 0)) ++g_recordable;
  } else if (type == kStreamDataFirstHeader || type == kStreamDataLaterHeader) {
    ++g_headers;
  }
  return 0;
}

int32_t Run(IAccess* access, ParameterMap input, ParameterMap* output = nullptr) {
  ParameterMap out;
  const int32_t code = access->Execute(input, out);
  if (output != nullptr) *output = out;
  return code;
}

int32_t g_keysBefore = 0;

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  const std::vector<std::string> arguments = host::Arguments();
  if (arguments.size() != 6) {
    std::printf("usage: session_host DEVICE_IP PORT USER PASSWORD OUT_DIR SECONDS\n");
    return 2;
  }
  const std::string ip = arguments[0], port = arguments[1], user = arguments[2];
  const std::string password = arguments[3], outDir = arguments[4];
  const int seconds = std::atoi(arguments[5].c_str());

  void* module = nullptr;
  ModuleInstanceFunction factory = host::LoadPlugin(&module);
  if (!HOST_CHECK(factory != nullptr)) return host::Finish();
  IAccess* access = factory();
  access->SetAlarmCallback(OnAlarm, 0);
  access->SetConnectionStatusCallback(OnStatus, 0);
  if (!HOST_CHECK(access->Init() == 1)) return host::Finish();

  ParameterMap out;
  const int32_t login = Run(access,
                            {{"Operation", "1"},
                             {"DeviceIP", ip},
                             {"User", user},
                             {"Password", password},
                             {"DevicePort", port}},
                            &out);
  std::printf("login-result %d\n", login);
  if (HOST_CHECK(login == 0 && out.count("LOGINID") == 1 && out["ChanNum"] == "1")) {
    const std::string slot = out["LOGINID"];
    HOST_CHECK(access->SetStreamDataCallback(std::atoi(slot.c_str()), OnData, 77) == 0);
    ParameterMap openOut;
    HOST_CHECK(Run(access,
                   {{"Operation", "3"},
                    {"Channel", "0"},
                    {"LOGINID", slot},
                    {"PlayWnd", "0"},
                    {"DeviceIP", ip},
                    {"User", user},
                    {"Password", password},
                    {"StreamType", "0"}},
                   &openOut) == 0);
    HOST_CHECK(openOut["Handle"] == slot);
    HOST_CHECK(host::WaitUntil([] { return g_videoFrames.load() > 0; }, 10000));
    // Started just after a key frame, so the recording's first key frame is
    // the next one and no frame is in flight at either end.
    g_keysBefore = g_keyFrames.load();
    host::WaitUntil([] { return g_keyFrames.load() > g_keysBefore; }, 10000);
    ParameterMap start{{"Operation", "21"}, {"Handle", slot}, {"FileName", outDir + "\\recording"}};
    ParameterMap startOut;
    HOST_CHECK(access->Execute(start, startOut) == 0);
    HOST_CHECK(start["FileName"] == outDir + "\\recording.264");
    g_recording = 1;
    Sleep(static_cast<unsigned long>(seconds) * 1000);
    g_recording = 0;
    HOST_CHECK(Run(access, {{"Operation", "22"}, {"Handle", slot}}) == 0);
    std::printf("recordable-frames %d\n", g_recordable.load());
    HOST_CHECK(
        Run(access,
            {{"Operation", "20"}, {"Handle", slot}, {"FileName", outDir + "\\snapshot.jpg"}}) == 0);

    // Status through a second object: the device table is shared.
    IAccess* second = factory();
    ParameterMap status;
    HOST_CHECK(Run(second, {{"Operation", "100"}, {"Handle", slot}}, &status) == 0);
    HOST_CHECK(status["InUse"] == "1" && status["StreamOpen"] == "1");
    HOST_CHECK(std::atoll(status["PacketsReceived"].c_str()) > 0);
    HOST_CHECK(std::atoll(status["RecordedBytes"].c_str()) > 0);
    HOST_CHECK(status["DeviceIP"] == ip && status["WriteErrors"] == "0");
    ParameterMap service;
    HOST_CHECK(Run(second, {{"Operation", "101"}}, &service) == 0);
    HOST_CHECK(service["EventService"] == "1" && service["AlarmListener"] == "1");
    HOST_CHECK(std::atoi(service["SlotsInUse"].c_str()) == 1);
    delete second;

    // A login whose request map is also its result map: one more slot.
    ParameterMap both{{"Operation", "1"},
                      {"DeviceIP", ip},
                      {"User", user},
                      {"Password", password},
                      {"DevicePort", port}};
    HOST_CHECK(access->Execute(both, both) == 0);
    HOST_CHECK(both.size() == 7 && both["ChanNum"] == "1" && both["DeviceIP"] == ip);
    HOST_CHECK(both["LOGINID"] != slot && !both["LOGINID"].empty());
    HOST_CHECK(Run(access, {{"Operation", "2"}, {"LOGINID", both["LOGINID"]}}) == 0);

    HOST_CHECK(host::WaitUntil([] { return g_alarms.load() > 0; }, 10000));
    std::printf("alarm-slot %d\n", g_alarmSlot.load());
    HOST_CHECK(g_alarmSlot.load() == std::atoi(slot.c_str()));
    HOST_CHECK(host::WaitUntil([] { return g_online.load() > 0; }, 12000));
    HOST_CHECK(Run(access, {{"Operation", "4"}, {"Handle", slot}, {"LOGINID", slot}}) == 0);
    HOST_CHECK(Run(access, {{"Operation", "2"}, {"LOGINID", slot}}) == 0);
  }
  std::printf("video-frames %d\nkey-frames %d\nheaders %d\n", g_videoFrames.load(),
              g_keyFrames.load(), g_headers.load());
  HOST_CHECK(g_headers.load() > 0 && g_keyFrames.load() > 0);
  access->Uninit();
  delete access;
  HOST_CHECK(FreeLibrary(module) != 0);
  return host::Finish();
}
