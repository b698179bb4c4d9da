#include <chrono>
#include <memory>
#include <string>

#include "host/kit/cli_checks.h"
#include "host/kit/ptz_names.h"
#include "host/tool/commands.h"
#include "host/tool/interrupt.h"

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
  auto name = FindPtzName(options.name);  // checked while parsing
  if (!name) return kExitUsage;
  auto session = ToolSession::Open(global);
  if (!session) return kExitPluginLoad;
  Report& out = session->report();
  const std::string where = options.device.Where();
  int status = kExitOk;
  int32_t slot = session->Login(options.device, &status);
  if (slot < 0) return status;
  Requests& requests = session->requests();
  out.Set("ptz", name->name);
  out.Set("command", name->command);
  if (name->kind == PtzKind::kMove) {
    Reply start = requests.Ptz(slot, name->command, 1, options.speed);
    out.Set("startResult", start.code);
    if (!start.ok()) {
      status = out.Fail(std::string("PTZ ") + name->name + " start on " + where, start.code, where);
    } else {
      out.Say(std::string(name->meaning) + " at speed " + std::to_string(options.speed) + " for " +
              SecondsText(options.seconds) + " s");
      // Let the movement run for the asked time (a signal cuts it short; the
      // movement is stopped either way).
      Interrupt::WaitFor(std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000)));
      Reply stop = requests.Ptz(slot, name->command, 0, options.speed);
      out.Set("stopResult", stop.code);
      if (!stop.ok())
        status = out.Fail(std::string("PTZ ") + name->name + " stop on " + where, stop.code, where);
      else
        out.Say("stopped");
    }
  } else {
    int32_t inValue = name->kind == PtzKind::kPreset ? options.preset : name->inValue;
    Reply reply = requests.Ptz(slot, name->command, inValue, options.speed);
    out.Set("result", reply.code);
    if (!reply.ok()) {
      auto library = session->TakeLibraryFailure("slot " + std::to_string(slot) + ": PTZ");
      status = out.Fail(std::string("PTZ ") + name->name + " on " + where, reply.code, where,
                        library ? library->reason : "");
    } else {
      out.Say(std::string(name->meaning) +
              (name->kind == PtzKind::kPreset ? " (N = " + std::to_string(inValue) + ")" : "") +
              ": done");
    }
  }
  return Worse(status, session->Logout(slot, options.device));
}

}  // namespace

void AddPtzCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto options = std::make_shared<PtzOptions>();
  CLI::App* command = app.add_subcommand(
      "ptz",
      "Pan, tilt, zoom and the other PTZ commands by name. A movement starts with INValue 1, runs "
      "for --seconds and stops with INValue 0.");
  AddDeviceOptions(*command, options->device);
  command->add_option("name", options->name, "One of: " + NameList())
      ->required()
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            return FindPtzName(text) ? ""
                                     : "unknown PTZ name '" + text + "'; one of: " + NameList();
          },
          "NAME"));
  command->add_option("--speed", options->speed, "Speed 1 (slowest) .. 9 (fastest)")
      ->default_val(5)
      ->check(cli::WholeIn(1, 9, "a speed"));
  command->add_option("--seconds", options->seconds, "How long a movement runs before it stops")
      ->default_val(1)
      ->check(cli::NumberIn(0, 600, "a number of seconds"));
  command->add_option("--preset", options->preset, "Preset number for preset-set/-clear/-goto")
      ->default_val(1)
      ->check(cli::WholeIn(1, 255, "a preset number"));
  command->callback(
      [&global, options, run] { *run = [&global, options] { return RunPtz(global, *options); }; });
}

}  // namespace qrv::host
