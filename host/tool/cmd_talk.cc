#include <chrono>
#include <memory>

#include "host/kit/cli_checks.h"
#include "host/tool/commands.h"
#include "host/tool/interrupt.h"

namespace qrv::host {
namespace {

struct TalkOptions {
  DeviceOptions device;
  double seconds = 3;
};

int RunTalk(const GlobalOptions& global, const TalkOptions& options) {
  auto session = ToolSession::Open(global);
  if (!session) return kExitPluginLoad;
  Report& out = session->report();
  int status = kExitOk;
  int32_t slot = session->Login(options.device, &status);
  if (slot < 0) return status;
  Reply start = session->requests().TalkStart(slot);
  out.Set("startResult", start.code);
  if (!start.ok()) {
    status = out.Fail("starting voice talk with " + options.device.Where(), start.code,
                      options.device.Where());
  } else {
    out.Say("voice talk with " + options.device.Where() + " running for " +
            SecondsText(options.seconds) + " s");
    Interrupt::WaitFor(std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000)));
    Reply stop = session->requests().TalkStop(slot);
    out.Set("stopResult", stop.code);
    if (!stop.ok())
      status = out.Fail("stopping voice talk with " + options.device.Where(), stop.code,
                        options.device.Where());
    else
      out.Say("voice talk stopped");
  }
  return Worse(status, session->Logout(slot, options.device));
}

}  // namespace

void AddTalkCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto options = std::make_shared<TalkOptions>();
  CLI::App* command =
      app.add_subcommand("talk", "Start voice talk, keep it for some seconds, stop it");
  AddDeviceOptions(*command, options->device);
  command->add_option("--seconds", options->seconds, "How long the talk lasts")
      ->default_val(3)
      ->check(cli::NumberIn(0, 3600, "a number of seconds"));
  command->callback(
      [&global, options, run] { *run = [&global, options] { return RunTalk(global, *options); }; });
}

}  // namespace qrv::host
