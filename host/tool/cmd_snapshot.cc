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
  if (!session) return kExitPluginLoad;
  Report& out = session->report();
  int status = kExitOk;
  int32_t slot = session->Login(options.device, &status);
  if (slot < 0) return status;
  // The plug-in reports success whatever the device did, so the file itself
  // is the evidence: remove an old one first.
  std::error_code ec;
  std::filesystem::remove(options.file, ec);
  Reply reply = session->requests().Snapshot(slot, options.file);
  out.Set("file", options.file);
  if (!reply.ok()) {
    auto library = session->TakeLibraryFailure("slot " + std::to_string(slot) + ": snapshot");
    status = out.Fail("snapshot of " + options.device.Where(), reply.code, options.device.Where(),
                      library ? library->reason : "");
  } else {
    std::string error;
    auto picture = DecodeJpegFile(options.file, &error);
    if (!picture) {
      status = out.FailText("snapshot of " + options.device.Where() + " not written to " +
                                options.file + " (--file): " + error,
                            kExitFailed, options.device.Where());
    } else {
      auto size = std::filesystem::file_size(options.file, ec);
      out.Say("snapshot " + options.file + ": " + std::to_string(picture->width) + "x" +
              std::to_string(picture->height) + " JPEG, " + std::to_string(size) + " bytes");
      out.Set("bytes", static_cast<uint64_t>(size));
      out.Set("width", picture->width);
      out.Set("height", picture->height);
    }
  }
  return Worse(status, session->Logout(slot, options.device));
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
