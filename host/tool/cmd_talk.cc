#include <chrono>
#include <memory>

#include "host/kit/event_hub.h"
#include "host/tool/commands.h"

namespace qrv::host {
namespace {

struct TalkOptions {
  DeviceOptions device;
  double seconds = 3;
};

int RunTalk(const GlobalOptions& global, const TalkOptions& options) {
  auto session = ToolSession::Open(global);
  if (!session) return kExitSetUp;
  int32_t slot = session->Login(options.device);
  if (slot < 0) return kExitFailed;
  int status = kExitOk;
  Reply start = session->requests().TalkStart(slot);
  JsonObject json;
  json.Int("startResult", start.code);
  if (!start.ok()) {
    status = session->Fail("starting voice talk", start.code);
  } else {
    session->Say("voice talk running on slot " + start.output["Handle"] + " for " +
                 SecondsText(options.seconds) + " s");
    EventHub::Instance().WaitUntil(
        [](const std::vector<HostEvent>&) { return false; },
        std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000)));
    Reply stop = session->requests().TalkStop(slot);
    json.Int("stopResult", stop.code);
    if (!stop.ok())
      status = session->Fail("stopping voice talk", stop.code);
    else
      session->Say("voice talk stopped");
  }
  session->SayJson(json.Bool("ok", status == kExitOk));
  session->Logout(slot);
  return status;
}

}  // namespace

void AddTalkCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto options = std::make_shared<TalkOptions>();
  CLI::App* command =
      app.add_subcommand("talk", "Start voice talk, keep it for some seconds, stop it");
  AddDeviceOptions(*command, options->device);
  command->add_option("--seconds", options->seconds, "How long the talk lasts")
      ->default_val(3)
      ->check(CLI::Range(0.0, 3600.0));
  command->callback(
      [&global, options, run] { *run = [&global, options] { return RunTalk(global, *options); }; });
}

}  // namespace qrv::host
