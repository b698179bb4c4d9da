// A host that loads the plug-in with dlopen and uses every callback: live
// stream data, alarms, devices going on and off line, and devices found on
// the network. It logs in to one device, watches its stream for some seconds,
// asks for discovery again, and prints what arrived.
//   callback_host PLUGIN_PATH ADDRESS PORT USER PASSWORD SECONDS
#include <dlfcn.h>
#include <qrvaccess/qrv_access.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Callbacks run on the plug-in's and the device library's threads: keep them
// short, share state through atomics or a lock of the host's own.
struct Counters {
  std::atomic<int> packets{0};
  std::atomic<int> keyFrames{0};
  std::atomic<int> headers{0};
  std::atomic<long> bytes{0};
};
Counters counters;
std::mutex printLock;

int32_t QRV_CALLBACK OnStreamData(int32_t dataType, const uint8_t* /*data*/, uint32_t length,
                                  StreamFrameInfo info, uintptr_t user) {
  auto* c = reinterpret_cast<Counters*>(user);  // the value given at registration
  // data is valid only during this call: copy what you keep.
  c->packets++;
  c->bytes += length;
  if (dataType == kStreamDataFirstHeader || dataType == kStreamDataLaterHeader) c->headers++;
  if (dataType == kStreamDataVideo && info.keyFrame) c->keyFrames++;
  return 0;
}

int32_t QRV_CALLBACK OnAlarm(int32_t kind, int32_t slot, int32_t deviceType, int32_t value) {
  std::lock_guard lock(printLock);
  std::printf("alarm: slot %d value %d (kind %d, device type %d)\n", slot, value, kind, deviceType);
  return 0;
}

int32_t QRV_CALLBACK OnConnection(int32_t slot, int32_t, const char*, int32_t port, int32_t state) {
  std::lock_guard lock(printLock);
  std::printf("slot %d (port %d) is %s\n", slot, port, state == 0 ? "on line" : "off line");
  return 0;
}

// Runs under the plug-in's discovery lock: never call Execute from here.
int32_t QRV_CALLBACK OnDiscovery(DiscoveryRecord record) {
  std::lock_guard lock(printLock);
  std::printf("found: %.16s port %d type %d\n", record.address, record.port, record.deviceType);
  return 0;
}

int32_t Execute(IAccess& access, ParameterMap input, ParameterMap* output = nullptr) {
  ParameterMap ignored;
  return access.Execute(input, output ? *output : ignored);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s PLUGIN_PATH ADDRESS PORT USER PASSWORD SECONDS\n", argv[0]);
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "cannot load the plug-in: %s\n", dlerror());
    return 1;
  }
  auto factory = reinterpret_cast<ModuleInstanceFunction>(dlsym(library, "ModuleInstance"));
  if (factory == nullptr) return 1;
  IAccess* access = factory();

  // Process-wide callbacks: the first registration of each wins for the
  // life of the process.
  access->SetAlarmCallback(OnAlarm, 0);
  access->SetConnectionStatusCallback(OnConnection, 0);
  access->SetDiscoveryCallback(OnDiscovery);
  if (access->Init() != 1) return 1;
  std::printf("%s %s, access type %d\n", access->moduleInfo.name.c_str(),
              access->moduleInfo.version.c_str(), access->GetAccessType());

  const std::string address = argv[2], user = argv[4], password = argv[5];
  ParameterMap out;
  int32_t result = Execute(*access,
                           {{kQrvKeyOperation, std::to_string(kQrvOpLogin)},
                            {kQrvKeyDeviceIP, address},
                            {kQrvKeyUser, user},
                            {kQrvKeyPassword, password},
                            {kQrvKeyDevicePort, argv[3]}},
                           &out);
  if (result != kQrvResultOk) {
    std::fprintf(stderr, "login: result %d\n", result);
  } else {
    const std::string slot = out[kQrvKeyLoginId];
    // Per slot: registered before the stream opens, so the header comes too.
    access->SetStreamDataCallback(std::stoul(slot), OnStreamData,
                                  reinterpret_cast<uintptr_t>(&counters));
    result = Execute(*access,
                     {{kQrvKeyOperation, std::to_string(kQrvOpOpenLiveStream)},
                      {kQrvKeyChannel, "0"},
                      {kQrvKeyLoginId, slot},
                      {kQrvKeyPlayWindow, "0"},
                      {kQrvKeyDeviceIP, address},
                      {kQrvKeyUser, user},
                      {kQrvKeyPassword, password},
                      {kQrvKeyStreamType, "0"}},
                     &out);
    std::printf("open stream: result %d, handle %s\n", result, out[kQrvKeyHandle].c_str());
    Execute(*access, {{kQrvKeyOperation, std::to_string(kQrvOpRefreshDiscovery)}});
    std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[6])));
    Execute(*access,
            {{kQrvKeyOperation, std::to_string(kQrvOpCloseLiveStream)}, {kQrvKeyHandle, slot}});
    // No stream callback runs for this slot once the close has returned.
    Execute(*access, {{kQrvKeyOperation, std::to_string(kQrvOpLogout)}, {kQrvKeyLoginId, slot}});
    std::printf("stream: %d packets, %ld bytes, %d headers, %d key frames\n",
                counters.packets.load(), counters.bytes.load(), counters.headers.load(),
                counters.keyFrames.load());
  }
  access->Uninit();  // stops the plug-in's threads: no callback runs afterwards
  delete access;
  dlclose(library);
  return result == kQrvResultOk && counters.keyFrames > 0 ? 0 : 1;
}
