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
  if (!session) return kExitPluginLoad;
  int status = kExitOk;
  int32_t slot = session->Login(options.device, &status);
  if (slot < 0) return status;
  bool on = options.state == "on";
  Reply reply = on ? session->requests().AudioOn(slot) : session->requests().AudioOff(slot);
  session->report().Set("audio", options.state);
  session->report().Set("result", reply.code);
  if (!reply.ok()) {
    status = session->report().Fail("audio " + options.state + " on " + options.device.Where(),
                                    reply.code, options.device.Where());
  } else {
    session->report().Say(std::string("audio ") + (on ? "on (mute off)" : "off (mute on)"));
  }
  return Worse(status, session->Logout(slot, options.device));
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
