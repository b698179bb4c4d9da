#include <cstdlib>
#include <memory>
#include <vector>

#include "devicelib/tmcc_extensions.h"
#include "host/kit/cli_checks.h"
#include "host/kit/device_address.h"
#include "host/kit/password_source.h"
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
  AddCredentialOptions(command, device);
}

namespace {

struct CredentialBinding {
  CLI::App* command;
  DeviceOptions* device;
  CLI::Option* password;
  CLI::Option* passwordFile;
};

// Every subcommand's credential options; the options live as long as the
// application (main's), which outlives every use.
std::vector<CredentialBinding>& Bindings() {
  static std::vector<CredentialBinding> bindings;
  return bindings;
}

}  // namespace

void AddCredentialOptions(CLI::App& command, DeviceOptions& device) {
  command.add_option("--user", device.user, "User name")->default_val("admin");
  CLI::Option* password = command.add_option(
      "--password", device.passwordArgument,
      "Password (default admin), or - to read it from standard input. A password on the "
      "command line is visible to every user of the machine: prefer --password-file, the "
      "environment variable QRV_PASSWORD or -");
  CLI::Option* file = command.add_option("--password-file", device.passwordFile,
                                         "File holding the password on one line");
  command.add_flag("--allow-basic", device.allowBasic,
                   "Answer a standard camera that asks for Basic authentication, which sends the "
                   "password readable to anyone on the network (refused by default)");
  Bindings().push_back({&command, &device, password, file});
}

std::string ApplyCredentialOptions() {
  bool allowBasic = false;
  for (const CredentialBinding& binding : Bindings()) {
    if (!binding.command->parsed()) continue;
    PasswordSources sources;
    if (binding.password->count() > 0) sources.argument = binding.device->passwordArgument;
    if (binding.passwordFile->count() > 0) sources.file = binding.device->passwordFile;
    if (const char* value = std::getenv(kPasswordVariable)) sources.environment = value;
    PasswordChoice choice = ChoosePassword(sources, "admin", ReadSecret);
    if (!choice.password) return choice.error;
    binding.device->password = std::move(*choice.password);
    allowBasic = allowBasic || binding.device->allowBasic;
  }
  if (allowBasic) {
    // For the devices this run names (and only those: the tool reaches no
    // other), added to what the operator's environment already allows.
    const char* before = std::getenv(devicelib::kAllowBasicVariable);
    std::string list = before != nullptr && *before != 0 ? std::string(before) + ",*" : "*";
    setenv(devicelib::kAllowBasicVariable, list.c_str(), 1);
  }
  return "";
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
