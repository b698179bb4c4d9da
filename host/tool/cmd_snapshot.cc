#include <filesystem>
#include <memory>

#include "host/kit/media_probe.h"
#include "host/tool/commands.h"

namespace qrv::host {
namespace {

struct SnapshotOptions {
  DeviceOptions device;
  std::string file;
};

int RunSnapshot(const GlobalOptions& global, const SnapshotOptions& options) {
  auto session = ToolSession::Open(global);
  if (!session) return kExitSetUp;
  int32_t slot = session->Login(options.device);
  if (slot < 0) return kExitFailed;
  // The plug-in reports success whatever the device did, so the file itself
  // is the evidence: remove an old one first.
  std::error_code ec;
  std::filesystem::remove(options.file, ec);
  Reply reply = session->requests().Snapshot(slot, options.file);
  int status = kExitOk;
  if (!reply.ok()) {
    status = session->Fail("snapshot", reply.code);
  } else {
    std::string error;
    auto picture = DecodeJpegFile(options.file, &error);
    if (!picture) {
      status = session->FailText("snapshot not written: " + error);
    } else {
      auto size = std::filesystem::file_size(options.file, ec);
      session->Say("snapshot " + options.file + ": " + std::to_string(picture->width) + "x" +
                   std::to_string(picture->height) + " JPEG, " + std::to_string(size) + " bytes");
      session->SayJson(JsonObject()
                           .Bool("ok", true)
                           .Text("file", options.file)
                           .Int("bytes", int64_t(size))
                           .Int("width", picture->width)
                           .Int("height", picture->height));
    }
  }
  session->Logout(slot);
  return status;
}

}  // namespace

void AddSnapshotCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto options = std::make_shared<SnapshotOptions>();
  CLI::App* command = app.add_subcommand("snapshot", "Have the device write a JPEG snapshot");
  AddDeviceOptions(*command, options->device);
  command->add_option("--file", options->file, "JPEG file to write")->required();
  command->callback([&global, options, run] {
    *run = [&global, options] { return RunSnapshot(global, *options); };
  });
}

}  // namespace qrv::host
