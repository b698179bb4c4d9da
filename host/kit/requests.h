// The plug-in's operations as a host calls them: one ParameterMap request per
// call through Execute, with the keys spelled as the plug-in reads them.
//
// Threads: any host thread; Execute takes the plug-in's own locks, none here.
#pragma once

#include <cstdint>
#include <string>

#include "qrvaccess/qrv_access.h"

namespace qrv::host {

struct Reply {
  int32_t code = kQrvResultFailed;
  ParameterMap input;   // the request as the plug-in left it
  ParameterMap output;  // what the plug-in wrote

  bool ok() const { return code == kQrvResultOk; }
  // The decimal text under `key` in the output as a number, or `fallback`.
  int32_t OutputInt(const std::string& key, int32_t fallback = -1) const;
};

struct Credentials {
  std::string address;
  std::string user;
  std::string password;
  int32_t port = 0;
};

class Requests {
 public:
  explicit Requests(IAccess& access) : access_(access) {}

  Reply Execute(ParameterMap input);

  Reply Login(const Credentials& device);
  Reply Logout(int32_t slot);
  Reply OpenStream(int32_t slot, const Credentials& device, int32_t streamType);
  Reply CloseStream(int32_t slot);
  Reply KeyFrame(int32_t slot);
  Reply Snapshot(int32_t slot, const std::string& jpegPath);
  // `pathWithoutEnding` gets ".264" appended by the plug-in.
  Reply StartRecording(int32_t slot, const std::string& pathWithoutEnding);
  Reply StopRecording(int32_t slot);
  Reply AudioOn(int32_t slot);
  Reply AudioOff(int32_t slot);
  Reply Ptz(int32_t slot, int32_t command, int32_t inValue, int32_t speed);
  Reply TalkStart(int32_t slot);
  Reply TalkStop(int32_t slot);
  Reply RefreshDiscovery();

 private:
  IAccess& access_;
};

// Words for an Execute result: the plug-in's own codes, and the device
// library's codes that login, voice talk and PTZ pass through.
std::string DescribeExecuteResult(int32_t code);

}  // namespace qrv::host
