// qrv-host: a command-line host for the plug-in. It loads libqrvaccess.so with
// dlopen, uses only the public host interface, and ends with Uninit and delete.
#include <CLI/CLI.hpp>

#include "host/tool/commands.h"

int main(int argc, char** argv) {
  using namespace qrv::host;
  CLI::App app{"qrv-host: drive network video devices through the QRV access plug-in"};
  app.require_subcommand(1);
  GlobalOptions global;
  app.add_option("--plugin", global.plugin,
                 "Plug-in library to load (default: ../lib/libqrvaccess.so beside this program)");
  app.add_flag("--json", global.json, "Print results as JSON, one object per line");
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
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return run ? run() : kExitSetUp;
}
