#include <memory>

#include "host/tool/commands.h"

namespace qrv::host {

void AddDeviceOptions(CLI::App& command, DeviceOptions& device) {
  command.add_option("--ip", device.address, "Device address")->required();
  command.add_option("--port", device.port, "Device control port")->default_val(6001);
  command.add_option("--user", device.user, "User name")->default_val("admin");
  command.add_option("--password", device.password, "Password")->default_val("admin");
}

namespace {

int RunLogin(const GlobalOptions& global, const DeviceOptions& device) {
  auto session = ToolSession::Open(global);
  if (!session) return kExitSetUp;
  Reply login = session->requests().Login(device.credentials());
  if (!login.ok()) return session->Fail("login to " + device.address, login.code);
  int32_t slot = login.OutputInt("LOGINID");
  session->Say("login to " + device.address + ":" + std::to_string(device.port) +
               " accepted: slot " + std::to_string(slot) + ", channels " + login.output["ChanNum"]);
  Reply logout = session->requests().Logout(slot);
  session->SayJson(JsonObject()
                       .Bool("ok", logout.ok())
                       .Text("address", device.address)
                       .Int("slot", slot)
                       .Int("channels", login.OutputInt("ChanNum"))
                       .Int("logoutResult", logout.code));
  if (!logout.ok()) return session->Fail("logout", logout.code);
  session->Say("logged out");
  return kExitOk;
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
