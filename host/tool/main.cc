// qrv-host: a command-line host for the plug-in. It loads libqrvaccess.so with
// dlopen, uses only the public host interface, and ends with Uninit and delete.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/kit/device_address.h"
#include "host/tool/commands.h"
#include "host/tool/interrupt.h"
#include "host/tool/report.h"

namespace {

using namespace qrv::host;

// The first word that is not an option or an option's value, when it names
// no subcommand: CLI11 would only say that a subcommand is required.
std::string UnknownSubcommand(const CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--plugin") {
      ++i;
      continue;
    }
    if (word.empty() || word[0] == '-') continue;
    for (const CLI::App* sub : app.get_subcommands({})) {
      if (sub->check_name(word)) return "";
    }
    return word;
  }
  return "";
}

std::string SubcommandNames(const CLI::App& app) {
  std::string names;
  for (const CLI::App* sub : app.get_subcommands({})) {
    names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  // Before the plug-in starts its threads.
  Interrupt::Install();
  CLI::App app{"qrv-host: drive network video devices through the QRV access plug-in"};
  app.require_subcommand(1);
  // Options of the tool itself may come anywhere on the line.
  app.fallthrough();
  app.set_version_flag("--version", "qrv-host " QRV_VERSION);
  app.footer(ExitStatusHelp());
  GlobalOptions global;
  app.add_option("--plugin", global.plugin,
                 "Plug-in library to load (default: ../lib/libqrvaccess.so beside this program)");
  app.add_flag("--json", global.json,
               "Print one JSON document with the result on standard output (also on failure)");
  app.add_flag("-q,--quiet", global.quiet, "No progress and no notes on standard error");
  app.add_flag("--verbose", global.verbose,
               "Show the plug-in's debugger messages on standard error, in UTF-8");
  CommandRun run;
  AddDiscoverCommand(app, global, &run);
  AddLoginCommand(app, global, &run);
  AddRecordCommand(app, global, &run);
  AddSnapshotCommand(app, global, &run);
  AddPtzCommand(app, global, &run);
  AddAudioCommand(app, global, &run);
  AddTalkCommand(app, global, &run);
  AddEventsCommand(app, global, &run);
  Report& report = Report::Instance();
  bool jsonAsked = false;
  for (int i = 1; i < argc; ++i) jsonAsked = jsonAsked || std::strcmp(argv[i], "--json") == 0;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::string message = RedactUserInfo(e.what());
    std::string unknown = UnknownSubcommand(app, argc, argv);
    if (!unknown.empty()) {
      message = "unknown subcommand '" + unknown + "'; one of: " + SubcommandNames(app);
    }
    report.Configure(jsonAsked, false);
    if (jsonAsked) {
      report.Set("usage", true);
      report.FailText(message, kExitUsage);
      return report.Finish(kExitUsage);
    }
    std::fprintf(stderr, "qrv-host: %s\nRun 'qrv-host --help' for the subcommands and options.\n",
                 message.c_str());
    return kExitUsage;
  }
  report.Configure(global.json, global.quiet);
  if (const std::string error = ApplyCredentialOptions(); !error.empty()) {
    if (global.json) report.Set("usage", true);
    report.FailText(error, kExitUsage);
    return report.Finish(kExitUsage);
  }
  int status = run ? run() : kExitUsage;
  return report.Finish(status);
}
