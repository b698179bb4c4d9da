#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "host/kit/media_probe.h"
#include "host/kit/stream_tap.h"
#include "host/tool/commands.h"

namespace qrv::host {
namespace {

struct RecordOptions {
  DeviceOptions device;
  std::string file;
  double seconds = 5;
  int32_t streamType = 0;
  bool probe = false;
};

// The plug-in appends ".264" itself, so a name that already ends in it is cut.
std::string WithoutEnding(const std::string& file) {
  const std::string ending = ".264";
  if (file.size() > ending.size() &&
      file.compare(file.size() - ending.size(), ending.size(), ending) == 0) {
    return file.substr(0, file.size() - ending.size());
  }
  return file;
}

void PrintProgress(double elapsed, const TapCounts& c, bool last) {
  double megabits = elapsed > 0 ? double(c.recordedBytes) * 8 / elapsed / 1e6 : 0;
  std::fprintf(stderr, "\rrecording %6.1f s  %7llu frames  %10llu bytes  %7.2f Mbit/s%s", elapsed,
               static_cast<unsigned long long>(c.recordedFrames),
               static_cast<unsigned long long>(c.recordedBytes), megabits, last ? "\n" : "");
  std::fflush(stderr);
}

int RunRecord(const GlobalOptions& global, const RecordOptions& options) {
  auto session = ToolSession::Open(global);
  if (!session) return kExitSetUp;
  int32_t slot = session->Login(options.device);
  if (slot < 0) return kExitFailed;
  Requests& requests = session->requests();
  StreamTap tap;
  tap.Attach(session->access(), slot);
  int status = kExitOk;
  Reply open = requests.OpenStream(slot, options.device.credentials(), options.streamType);
  if (!open.ok()) {
    status = session->Fail("opening the live stream", open.code);
  } else {
    std::string base = WithoutEnding(options.file);
    tap.Arm();
    Reply start = requests.StartRecording(slot, base);
    std::string path = start.input["FileName"];
    if (!start.ok()) {
      status = session->Fail("starting the recording", start.code);
    } else {
      auto begin = std::chrono::steady_clock::now();
      auto end = begin + std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000));
      for (;;) {
        auto now = std::chrono::steady_clock::now();
        double elapsed = std::chrono::duration<double>(now - begin).count();
        if (!session->json()) PrintProgress(elapsed, tap.Read(), now >= end);
        if (now >= end) break;
        tap.WaitUntil([](const TapCounts&) { return false; },
                      std::min(std::chrono::duration_cast<std::chrono::milliseconds>(end - now),
                               std::chrono::milliseconds(250)));
      }
      Reply stop = requests.StopRecording(slot);
      tap.Disarm();
      if (!stop.ok()) status = session->Fail("stopping the recording", stop.code);
      TapCounts counts = tap.Read();
      std::error_code ec;
      auto size = std::filesystem::file_size(path, ec);
      bool fileMade = !ec;
      JsonObject summary;
      summary.Bool("ok", fileMade && status == kExitOk)
          .Text("file", path)
          .Int("fileBytes", fileMade ? int64_t(size) : -1)
          .Int("framesRecorded", int64_t(counts.recordedFrames))
          .Int("framesDelivered", int64_t(counts.frames))
          .Int("keyFrames", int64_t(counts.keyFrames))
          .Real("seconds", options.seconds);
      session->Say("recorded " + std::to_string(counts.recordedFrames) + " frames into " + path +
                   " (" + (fileMade ? std::to_string(size) + " bytes" : "file missing") + ")");
      if (!fileMade) {
        status = session->FailText("the recording file " + path + " was not made");
      } else if (counts.recordedFrames == 0) {
        status = session->FailText(
            "nothing was recorded: no key frame arrived after a stream header (" +
            std::to_string(counts.frames) + " frames and " +
            std::to_string(counts.firstHeaders + counts.laterHeaders) + " headers delivered)");
      }
      if (options.probe && fileMade) {
        ProbeResult probe = ProbeH264File(path);
        summary.Text("probeCodec", probe.codec)
            .Int("probeFrames", probe.decodedFrames)
            .Int("probeWidth", probe.width)
            .Int("probeHeight", probe.height);
        session->Say("ffprobe: " + (probe.ran ? probe.codec + " " + std::to_string(probe.width) +
                                                    "x" + std::to_string(probe.height) + ", " +
                                                    std::to_string(probe.decodedFrames) + " frames"
                                              : "failed: " + probe.error));
      }
      session->SayJson(summary);
    }
  }
  Reply close = requests.CloseStream(slot);
  if (!close.ok() && status == kExitOk)
    status = session->Fail("closing the live stream", close.code);
  session->Logout(slot);
  return status;
}

}  // namespace

void AddRecordCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto options = std::make_shared<RecordOptions>();
  CLI::App* command = app.add_subcommand(
      "record", "Record a device's live stream into a .264 file for some seconds");
  AddDeviceOptions(*command, options->device);
  command->add_option("--file", options->file, "Recording file (\".264\" is added when missing)")
      ->required();
  command->add_option("--seconds", options->seconds, "How long to record")
      ->default_val(5)
      ->check(CLI::Range(0.0, 86400.0));
  command->add_option("--stream-type", options->streamType, "Stream type asked of the device")
      ->default_val(0);
  command->add_flag("--probe", options->probe, "Check the file with ffprobe afterwards");
  command->callback([&global, options, run] {
    *run = [&global, options] { return RunRecord(global, *options); };
  });
}

}  // namespace qrv::host
