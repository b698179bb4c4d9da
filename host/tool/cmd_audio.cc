#include <memory>

#include "host/tool/commands.h"

namespace qrv::host {
namespace {

struct AudioOptions {
  DeviceOptions device;
  std::string state;
};

int RunAudio(const GlobalOptions& global, const AudioOptions& options) {
  auto session = ToolSession::Open(global);
  if (!session) return kExitSetUp;
  int32_t slot = session->Login(options.device);
  if (slot < 0) return kExitFailed;
  bool on = options.state == "on";
  Reply reply = on ? session->requests().AudioOn(slot) : session->requests().AudioOff(slot);
  int status = kExitOk;
  if (!reply.ok()) {
    status = session->Fail(std::string("audio ") + options.state, reply.code);
  } else {
    session->Say(std::string("audio ") + (on ? "on (mute off)" : "off (mute on)"));
  }
  session->SayJson(
      JsonObject().Bool("ok", reply.ok()).Text("audio", options.state).Int("result", reply.code));
  session->Logout(slot);
  return status;
}

}  // namespace

void AddAudioCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto options = std::make_shared<AudioOptions>();
  CLI::App* command = app.add_subcommand("audio", "Switch the device's audio on or off");
  AddDeviceOptions(*command, options->device);
  command->add_option("state", options->state, "on or off")
      ->required()
      ->check(CLI::IsMember({"on", "off"}));
  command->callback([&global, options, run] {
    *run = [&global, options] { return RunAudio(global, *options); };
  });
}

}  // namespace qrv::host
