#include <chrono>
#include <memory>
#include <string>

#include "host/kit/event_hub.h"
#include "host/kit/ptz_names.h"
#include "host/tool/commands.h"

namespace qrv::host {
namespace {

struct PtzOptions {
  DeviceOptions device;
  std::string name;
  int32_t speed = 5;
  double seconds = 1;
  int32_t preset = 1;
};

std::string NameList() {
  std::string list;
  for (const PtzName& entry : PtzNames()) {
    list += std::string(list.empty() ? "" : ", ") + entry.name;
  }
  return list;
}

int RunPtz(const GlobalOptions& global, const PtzOptions& options) {
  auto name = FindPtzName(options.name);
  if (!name) {
    std::fprintf(stderr, "unknown PTZ name %s; one of: %s\n", options.name.c_str(),
                 NameList().c_str());
    return kExitFailed;
  }
  auto session = ToolSession::Open(global);
  if (!session) return kExitSetUp;
  int32_t slot = session->Login(options.device);
  if (slot < 0) return kExitFailed;
  Requests& requests = session->requests();
  int status = kExitOk;
  JsonObject json;
  json.Text("ptz", name->name).Int("command", name->command);
  if (name->kind == PtzKind::kMove) {
    Reply start = requests.Ptz(slot, name->command, 1, options.speed);
    if (!start.ok()) {
      status = session->Fail(std::string("PTZ ") + name->name + " start", start.code);
    } else {
      session->Say(std::string(name->meaning) + " at speed " + std::to_string(options.speed) +
                   " for " + SecondsText(options.seconds) + " s");
      // Let the movement run for the asked time.
      EventHub::Instance().WaitUntil(
          [](const std::vector<HostEvent>&) { return false; },
          std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000)));
      Reply stop = requests.Ptz(slot, name->command, 0, options.speed);
      if (!stop.ok())
        status = session->Fail(std::string("PTZ ") + name->name + " stop", stop.code);
      else
        session->Say("stopped");
      json.Int("startResult", start.code).Int("stopResult", stop.code);
    }
  } else {
    int32_t inValue = name->kind == PtzKind::kPreset ? options.preset : name->inValue;
    Reply reply = requests.Ptz(slot, name->command, inValue, options.speed);
    json.Int("result", reply.code);
    if (!reply.ok()) {
      status = session->Fail(std::string("PTZ ") + name->name, reply.code);
    } else {
      session->Say(
          std::string(name->meaning) +
          (name->kind == PtzKind::kPreset ? " (N = " + std::to_string(inValue) + ")" : "") +
          ": done");
    }
  }
  json.Bool("ok", status == kExitOk);
  session->SayJson(json);
  session->Logout(slot);
  return status;
}

}  // namespace

void AddPtzCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto options = std::make_shared<PtzOptions>();
  CLI::App* command = app.add_subcommand(
      "ptz",
      "Pan, tilt, zoom and the other PTZ commands by name. A movement starts with INValue 1, runs "
      "for --seconds and stops with INValue 0.");
  AddDeviceOptions(*command, options->device);
  command->add_option("name", options->name, "One of: " + NameList())->required();
  command->add_option("--speed", options->speed, "Speed 1 (slowest) .. 9 (fastest)")
      ->default_val(5)
      ->check(CLI::Range(1, 9));
  command->add_option("--seconds", options->seconds, "How long a movement runs before it stops")
      ->default_val(1)
      ->check(CLI::Range(0.0, 600.0));
  command->add_option("--preset", options->preset, "Preset number for preset-set/-clear/-goto")
      ->default_val(1)
      ->check(CLI::Range(1, 255));
  command->callback(
      [&global, options, run] { *run = [&global, options] { return RunPtz(global, *options); }; });
}

}  // namespace qrv::host
