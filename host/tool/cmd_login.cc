#include <memory>

#include "host/kit/cli_checks.h"
#include "host/kit/device_address.h"
#include "host/tool/commands.h"

namespace qrv::host {

void AddDeviceOptions(CLI::App& command, DeviceOptions& device) {
  command
      .add_option("--ip", device.address,
                  "Device address or host name, or a standard camera's rtsp:// or http:// URL "
                  "(with --port 554 an address alone is taken as an RTSP camera, with 80, 8080 "
                  "or 8000 as an ONVIF one)")
      ->required()
      ->check(CLI::Validator(
          [](std::string& text) {
            // A host name is resolved to an address first; a URL goes as written.
            return host::IsDeviceUrl(text) ? host::CheckDeviceAddress(text).error : std::string();
          },
          "", "fits the plug-in"));
  command.add_option("--port", device.port, "Device control port")
      ->default_val(6001)
      ->check(cli::Port());
  command.add_option("--user", device.user, "User name")->default_val("admin");
  command.add_option("--password", device.password, "Password")->default_val("admin");
}

namespace {

int RunLogin(const GlobalOptions& global, const DeviceOptions& device) {
  auto session = ToolSession::Open(global);
  if (!session) return kExitPluginLoad;
  int status = kExitOk;
  int32_t slot = session->Login(device, &status);
  if (slot < 0) return status;
  session->report().Say("login to " + device.Where() + " accepted: slot " + std::to_string(slot));
  return session->Logout(slot, device);
}

}  // namespace

void AddLoginCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto device = std::make_shared<DeviceOptions>();
  CLI::App* command = app.add_subcommand("login", "Check a login: log in, print the slot, log out");
  AddDeviceOptions(*command, *device);
  command->callback(
      [&global, device, run] { *run = [&global, device] { return RunLogin(global, *device); }; });
}

}  // namespace qrv::host
