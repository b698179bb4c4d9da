// The qrv-host subcommands. Each Add function adds its subcommand with its
// options to the application; when the subcommand is chosen on the command
// line, *run is set to the function that carries it out and returns the exit
// status (see report.h).
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

#include "host/tool/tool_session.h"

namespace qrv::host {

using CommandRun = std::function<int()>;

void AddDeviceOptions(CLI::App& command, DeviceOptions& device);
// --user, --password, --password-file and --allow-basic.
void AddCredentialOptions(CLI::App& command, DeviceOptions& device);

// After parsing, on the main thread before the plug-in is loaded: sets the
// chosen subcommand's password from --password-file, --password (or standard
// input), QRV_PASSWORD or the default, and allows Basic authentication for
// the run's devices with --allow-basic. Empty, or why it cannot (a usage
// error).
std::string ApplyCredentialOptions();

void AddDiscoverCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run);
void AddLoginCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run);
void AddRecordCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run);
void AddSnapshotCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run);
void AddPtzCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run);
void AddAudioCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run);
void AddTalkCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run);
void AddEventsCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run);

}  // namespace qrv::host
