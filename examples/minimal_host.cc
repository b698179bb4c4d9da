// The smallest useful host: load the plug-in, log in to one device, open its
// live stream, record it for some seconds, and log out.
//   minimal_host ADDRESS PORT USER PASSWORD FILE SECONDS
// The recording is FILE.264 (the plug-in adds the ending).
#include <qrvaccess/qrv_access.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// One request: the operation code plus its keys; prints a refusal.
bool Run(IAccess& access, ParameterMap input, ParameterMap& output, const char* what) {
  const int32_t result = access.Execute(input, output);
  if (result != kQrvResultOk) std::fprintf(stderr, "%s: result %d\n", what, result);
  return result == kQrvResultOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s ADDRESS PORT USER PASSWORD FILE SECONDS\n", argv[0]);
    return 2;
  }
  const std::string address = argv[1], port = argv[2], user = argv[3], password = argv[4];
  IAccess* access = ModuleInstance();  // linked directly; dlopen works the same way
  if (access->Init() != 1) return 1;

  ParameterMap out;
  bool ok = Run(*access,
                {{kQrvKeyOperation, std::to_string(kQrvOpLogin)},
                 {kQrvKeyDeviceIP, address},
                 {kQrvKeyUser, user},
                 {kQrvKeyPassword, password},
                 {kQrvKeyDevicePort, port}},
                out, "login");
  const std::string slot = ok ? out[kQrvKeyLoginId] : "";
  ok = ok && Run(*access,
                 {{kQrvKeyOperation, std::to_string(kQrvOpOpenLiveStream)},
                  {kQrvKeyChannel, "0"},
                  {kQrvKeyLoginId, slot},
                  {kQrvKeyPlayWindow, "0"},
                  {kQrvKeyDeviceIP, address},
                  {kQrvKeyUser, user},
                  {kQrvKeyPassword, password},
                  {kQrvKeyStreamType, "0"}},
                 out, "open stream");
  const std::string stream = ok ? out[kQrvKeyHandle] : "";
  ok = ok && Run(*access,
                 {{kQrvKeyOperation, std::to_string(kQrvOpStartRecording)},
                  {kQrvKeyHandle, stream},
                  {kQrvKeyFileName, argv[5]}},
                 out, "start recording");
  if (ok) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[6])));
    ok = Run(*access,
             {{kQrvKeyOperation, std::to_string(kQrvOpStopRecording)}, {kQrvKeyHandle, stream}},
             out, "stop recording");
  }
  if (!stream.empty()) {
    Run(*access,
        {{kQrvKeyOperation, std::to_string(kQrvOpCloseLiveStream)}, {kQrvKeyHandle, stream}}, out,
        "close stream");
  }
  if (!slot.empty()) {
    Run(*access, {{kQrvKeyOperation, std::to_string(kQrvOpLogout)}, {kQrvKeyLoginId, slot}}, out,
        "logout");
  }
  access->Uninit();
  delete access;  // the host owns the object
  std::printf(ok ? "recorded %s.264\n" : "failed\n", argv[5]);
  return ok ? 0 : 1;
}
