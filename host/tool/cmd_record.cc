#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "host/kit/annexb_scan.h"
#include "host/kit/cli_checks.h"
#include "host/kit/event_hub.h"
#include "host/kit/media_probe.h"
#include "host/kit/recording_check.h"
#include "host/kit/stream_tap.h"
#include "host/tool/commands.h"
#include "host/tool/interrupt.h"

namespace qrv::host {
namespace {

using Clock = std::chrono::steady_clock;

struct RecordOptions {
  DeviceOptions device;
  std::string file;
  double seconds = 5;
  int32_t streamType = 0;
  bool probe = false;
  bool failOnGap = false;
  bool overwrite = false;
};

// Progress on a terminal is redrawn in place; in a log it is a plain line
// this often.
constexpr auto kLogProgressEvery = std::chrono::seconds(5);
constexpr auto kTerminalProgressEvery = std::chrono::milliseconds(250);

// The file's first picture is looked for this far only: a recording opens with
// the stream header and the first slice of a key frame.
constexpr uint64_t kOpeningScanBytes = 1 << 20;

// The plug-in appends ".264" itself, so a name that already ends in it is cut.
std::string WithoutEnding(const std::string& file) {
  const std::string ending = ".264";
  if (file.size() > ending.size() &&
      file.compare(file.size() - ending.size(), ending.size(), ending) == 0) {
    return file.substr(0, file.size() - ending.size());
  }
  return file;
}

// Why `file` cannot name a recording file ("d/" would make the hidden "d/.264"),
// or "" when it can.
std::string FileNameProblem(const std::string& file) {
  std::string base = WithoutEnding(file);
  std::string last = base.substr(base.rfind('/') + 1);
  if (last.empty() || last == "." || last == "..") {
    return "'" + file + "' names a folder: give a file name";
  }
  return "";
}

// The recording file, made (or, with --overwrite, opened) by the tool before
// the plug-in opens it by name: never through a symbolic link, never an
// existing file unless asked, only a regular file.
class OwnFile {
 public:
  ~OwnFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  // "" on success, else why not.
  std::string Make(const std::string& path, bool overwrite) {
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (overwrite ? 0 : O_EXCL);
    fd_ = ::open(path.c_str(), flags, 0666);
    if (fd_ < 0) {
      int error = errno;
      struct stat link {};
      if (error == ELOOP || (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))) {
        return path + " is a symbolic link: refused (the recording would overwrite its target)";
      }
      if (error == EEXIST) return path + " exists: give another --file, or add --overwrite";
      return "cannot make " + path + ": " + std::strerror(error);
    }
    struct stat own {};
    ::fstat(fd_, &own);
    if (!S_ISREG(own.st_mode)) return path + " is not a regular file: refused";
    if (own.st_nlink > 1) return path + " has other hard links: refused";
    created_ = !overwrite;
    device_ = own.st_dev;
    inode_ = own.st_ino;
    return "";
  }
  // True while `path` is still the file made here (a name swapped for a
  // symbolic link meanwhile would have sent the recording elsewhere).
  bool StillAt(const std::string& path) const {
    struct stat now {};
    return ::lstat(path.c_str(), &now) == 0 && S_ISREG(now.st_mode) && now.st_dev == device_ &&
           now.st_ino == inode_;
  }
  // Removes a file made here that never received anything.
  void RemoveIfUnused(const std::string& path) const {
    struct stat now {};
    if (created_ && StillAt(path) && ::fstat(fd_, &now) == 0 && now.st_size == 0) {
      ::unlink(path.c_str());
    }
  }

 private:
  int fd_ = -1;
  bool created_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

std::string ProgressText(double elapsed, const TapCounts& c) {
  double megabits = elapsed > 0 ? double(c.recordedBytes) * 8 / elapsed / 1e6 : 0;
  char text[160];
  std::snprintf(text, sizeof text, "recording %6.1f s  %7llu frames  %10llu bytes  %7.2f Mbit/s",
                elapsed, static_cast<unsigned long long>(c.recordedFrames),
                static_cast<unsigned long long>(c.recordedBytes), megabits);
  return text;
}

// A counter of the device status operation, or -1.
int64_t StatusNumber(const std::optional<ParameterMap>& status, const std::string& key) {
  if (!status) return -1;
  auto it = status->find(key);
  if (it == status->end()) return -1;
  auto value = cli::ParseWhole<int64_t>(it->second);
  return value ? *value : -1;
}

class Progress {
 public:
  explicit Progress(const Report& out)
      : enabled_(!out.json() && !out.quiet()), terminal_(isatty(STDERR_FILENO) == 1) {}

  std::chrono::milliseconds Step() const {
    return terminal_ ? kTerminalProgressEvery
                     : std::chrono::duration_cast<std::chrono::milliseconds>(kLogProgressEvery);
  }

  void Show(double elapsed, const TapCounts& counts, Clock::time_point now) {
    if (!enabled_) return;
    if (terminal_) {
      std::fprintf(stderr, "\r%s", ProgressText(elapsed, counts).c_str());
      shown_ = true;
    } else if (now >= nextLine_) {
      std::fprintf(stderr, "%s\n", ProgressText(elapsed, counts).c_str());
      nextLine_ = now + kLogProgressEvery;
    }
    std::fflush(stderr);
  }

  // Ends the redrawn line so later messages start on their own.
  void End() {
    if (shown_) std::fprintf(stderr, "\n");
    shown_ = false;
  }

 private:
  bool enabled_;
  bool terminal_;
  bool shown_ = false;
  Clock::time_point nextLine_{};
};

int RecordInto(const GlobalOptions& global, const RecordOptions& options, const OwnFile& own) {
  auto session = ToolSession::Open(global);
  if (!session) return kExitPluginLoad;
  Report& out = session->report();
  const std::string where = options.device.Where();
  int status = kExitOk;
  int32_t slot = session->Login(options.device, &status);
  if (slot < 0) return status;
  Requests& requests = session->requests();
  StreamTap tap;
  tap.Attach(session->access(), slot);
  Reply open =
      requests.OpenStream(slot, session->CredentialsOf(options.device), options.streamType);
  if (!open.ok()) {
    // The plug-in says only that it failed; the library's result says how
    // (an unreachable stream address exits as an unreachable device does).
    auto library = session->TakeLibraryFailure("slot " + std::to_string(slot) + ": stream open");
    const int32_t code = library && library->result != 0 ? library->result : open.code;
    status = out.Fail("opening the live stream of " + where, code, where,
                      library ? library->reason : "");
  } else {
    std::string base = WithoutEnding(options.file);
    tap.Arm();
    Reply start = requests.StartRecording(slot, base);
    std::string path = start.input["FileName"];
    out.Set("file", path);
    if (!start.ok()) {
      status = out.Fail("starting the recording into " + path + " (--file)", start.code, where);
    } else if (!own.StillAt(path)) {
      requests.StopRecording(slot);
      status = out.FailText(path + " was replaced while the recording was being opened: stopped",
                            kExitFailed, where);
    } else {
      // The recording opens at the next key frame; the stream's first one may
      // already have gone by, and a device can send one at once. A device
      // that cannot (a standard camera) opens at its next one.
      requests.KeyFrame(slot);
      out.Note("recording " + where + " into " + path);
      size_t eventsBefore = EventHub::Instance().Count();
      auto begin = Clock::now();
      auto end = begin + std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000));
      Progress progress(out);
      for (;;) {
        auto now = Clock::now();
        double elapsed = std::chrono::duration<double>(now - begin).count();
        progress.Show(elapsed, tap.Read(), now);
        if (now >= end || Interrupt::Requested()) break;
        Interrupt::WaitFor(std::min(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - now), progress.Step()));
      }
      progress.End();
      double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
      // The plug-in's own counters, read while the recording is still open
      // (stopping may reset them) and again after.
      auto before = session->SlotStatus(slot);
      Reply stop = requests.StopRecording(slot);
      tap.Disarm();
      auto after = session->SlotStatus(slot);
      if (!stop.ok()) status = out.Fail("stopping the recording into " + path, stop.code, where);
      TapCounts counts = tap.Read();
      int offline = 0;
      auto events = EventHub::Instance().Events();
      for (size_t i = eventsBefore; i < events.size(); ++i) {
        if (events[i].kind == HostEvent::kConnection && events[i].slot == slot &&
            events[i].state == 1)
          ++offline;
      }

      // Judged by counts kept while recording and the file's size, never by
      // reading the whole file: its end costs the same after any amount, and
      // a stream of any codec counts. The plug-in's counters are exact and
      // final after the stop; the tap's model may be a frame off at the stop.
      std::error_code ec;
      auto size = std::filesystem::file_size(path, ec);
      bool fileMade = !ec;
      // The plug-in names every recording .264; the stream's own first unit
      // tells H.265.
      const StreamCodec codec = fileMade ? GuessFileCodec(path) : StreamCodec::kH264;
      FilePictures opening =
          fileMade ? ScanFileStart(path, kOpeningScanBytes, codec) : FilePictures{};
      int64_t pluginBytes =
          std::max(StatusNumber(before, "RecordedBytes"), StatusNumber(after, "RecordedBytes"));
      int64_t pluginFrames =
          std::max(StatusNumber(before, "RecordedFrames"), StatusNumber(after, "RecordedFrames"));
      int64_t pluginKeyFrames = std::max(StatusNumber(before, "RecordedKeyFrames"),
                                         StatusNumber(after, "RecordedKeyFrames"));
      uint64_t frames = pluginFrames >= 0 ? uint64_t(pluginFrames) : counts.recordedFrames;
      uint64_t keyFrames =
          pluginKeyFrames >= 0 ? uint64_t(pluginKeyFrames) : counts.recordedKeyFrames;
      int64_t bytesLost =
          std::max(StatusNumber(before, "BytesLost"), StatusNumber(after, "BytesLost"));
      int64_t writeErrors =
          std::max(StatusNumber(before, "WriteErrors"), StatusNumber(after, "WriteErrors"));
      int64_t reconnects =
          std::max(StatusNumber(before, "Reconnects"), StatusNumber(after, "Reconnects"));
      const GapReport& gaps = counts.gaps;
      bool hasGaps = gaps.restarts > 0 || gaps.gaps > 0 || offline > 0 || reconnects > 0;

      out.Set("fileBytes", fileMade ? int64_t(size) : -1);
      out.Set("framesRecorded", frames);
      out.Set("keyFramesRecorded", keyFrames);
      out.Set("codec", CodecName(codec));
      out.Set("opensWithIdr", opening.firstIsKey);
      out.Set("framesDelivered", counts.frames);
      out.Set("seconds", std::round(seconds * 1000) / 1000);
      out.Set("countersFrom", pluginFrames >= 0 ? "plug-in" : "tool");
      out.Set("recordedBytes", pluginBytes >= 0 ? pluginBytes : int64_t(counts.recordedBytes));
      if (bytesLost >= 0) out.Set("bytesLost", bytesLost);
      if (writeErrors >= 0) out.Set("writeErrors", writeErrors);
      if (Interrupt::Requested())
        out.Set("interrupted", Interrupt::Signal() == SIGTERM ? "SIGTERM" : "SIGINT");
      out.Set("gaps", {{"streamRestarts", gaps.restarts},
                       {"pauses", gaps.gaps},
                       {"framesMissing", gaps.framesMissing},
                       {"longestPauseSeconds", std::round(gaps.longestGapSeconds * 1000) / 1000},
                       {"offlineEvents", offline},
                       {"reconnects", reconnects >= 0 ? reconnects : int64_t(gaps.restarts)}});

      out.Say("recorded " + std::to_string(frames) + " frames (" + std::to_string(keyFrames) +
              " key frames) from " + where + " in " + SecondsText(std::round(seconds * 10) / 10) +
              " s into " + path + " (" +
              (fileMade ? std::to_string(size) + " bytes" : "file missing") + ")");
      if (hasGaps) {
        out.Say("gaps: " + std::to_string(gaps.restarts) + " stream restart(s), " +
                std::to_string(gaps.gaps) + " pause(s) with about " +
                std::to_string(gaps.framesMissing) + " frame(s) missing (longest " +
                SecondsText(std::round(gaps.longestGapSeconds * 10) / 10) +
                " s), device off line " + std::to_string(offline) + " time(s)");
      } else {
        out.Say("gaps: none");
      }

      RecordingEvidence evidence;
      evidence.fileMade = fileMade;
      evidence.fileReadable = opening.read;
      evidence.fileBytes = fileMade ? uint64_t(size) : 0;
      evidence.pluginBytes = pluginBytes;
      evidence.framesRecorded = frames;
      evidence.bytesLost = bytesLost;
      evidence.writeErrors = writeErrors;
      evidence.hasGaps = hasGaps;
      evidence.failOnGap = options.failOnGap;
      switch (JudgeRecording(evidence)) {
        case RecordingVerdict::kRecorded:
          break;
        case RecordingVerdict::kNoFile:
          status = Worse(status, out.FailText("the recording file " + path + " was not made",
                                              kExitFailed, where));
          break;
        case RecordingVerdict::kNothingRecorded:
          status = Worse(
              status, out.FailText("nothing was recorded from " + where + ": " + path + " holds " +
                                       std::to_string(size) + " bytes and no frame (" +
                                       std::to_string(counts.frames) + " frames and " +
                                       std::to_string(counts.firstHeaders + counts.laterHeaders) +
                                       " headers delivered)",
                                   kExitFailed, where));
          break;
        case RecordingVerdict::kUnreadable:
          status = Worse(status, out.FailText("the recording file " + path + " could not be read",
                                              kExitFailed, where));
          break;
        case RecordingVerdict::kFileShort:
          status =
              Worse(status, out.FailText("the recording file " + path + " holds " +
                                             std::to_string(size) + " bytes, less than the " +
                                             std::to_string(pluginBytes) + " the plug-in recorded",
                                         kExitFailed, where));
          break;
        case RecordingVerdict::kDataLost:
          status = Worse(
              status, out.FailText("the plug-in lost " + std::to_string(bytesLost) + " bytes in " +
                                       std::to_string(writeErrors) + " failed write(s) to " + path,
                                   kExitPartial, where));
          break;
        case RecordingVerdict::kGaps:
          status = Worse(status,
                         out.FailText("the recording from " + where + " has gaps (--fail-on-gap)",
                                      kExitGap, where));
          break;
      }
      if (options.probe && fileMade) {
        ProbeResult probe = ProbeVideoFile(path, codec);
        out.Set("probe", {{"ran", probe.ran},
                          {"codec", probe.codec},
                          {"frames", probe.decodedFrames},
                          {"width", probe.width},
                          {"height", probe.height}});
        out.Say("ffprobe: " + (probe.ran ? probe.codec + " " + std::to_string(probe.width) + "x" +
                                               std::to_string(probe.height) + ", " +
                                               std::to_string(probe.decodedFrames) + " frames"
                                         : "failed: " + probe.error));
      }
    }
  }
  Reply close = requests.CloseStream(slot);
  if (!close.ok())
    status = Worse(status, out.Fail("closing the live stream of " + where, close.code, where));
  StreamTap::Detach(session->access(), slot);
  return Worse(status, session->Logout(slot, options.device));
}

int RunRecord(const GlobalOptions& global, const RecordOptions& options) {
  const std::string ownPath = WithoutEnding(options.file) + ".264";
  OwnFile own;
  std::string refused = own.Make(ownPath, options.overwrite);
  if (!refused.empty()) {
    Report::Instance().Set("file", ownPath);
    return Report::Instance().FailText(refused, kExitFailed);
  }
  int status = RecordInto(global, options, own);
  own.RemoveIfUnused(ownPath);
  return status;
}

}  // namespace

void AddRecordCommand(CLI::App& app, const GlobalOptions& global, CommandRun* run) {
  auto options = std::make_shared<RecordOptions>();
  CLI::App* command = app.add_subcommand(
      "record",
      "Record a device's live stream into a .264 file for some seconds. SIGINT or SIGTERM ends "
      "the recording early and cleanly (the file stays whole); a second signal ends at once. "
      "The summary gives the frames written to the file (as the plug-in counted them, for any "
      "codec) and reports gaps: stream restarts after reconnects, pauses in the frames (with the "
      "frames missing in them) and off-line reports.");
  AddDeviceOptions(*command, options->device);
  command
      ->add_option("--file", options->file,
                   "Recording file (\".264\" is added when missing); an existing file or a "
                   "symbolic link is refused")
      ->required()
      ->check(CLI::Validator([](std::string& file) { return FileNameProblem(file); }, "FILE"));
  command->add_flag("--overwrite", options->overwrite,
                    "Replace an existing recording file (never through a symbolic link)");
  command->add_option("--seconds,--duration", options->seconds, "How long to record")
      ->default_val(5)
      ->check(cli::NumberIn(0, 86400, "a number of seconds"));
  command->add_option("--stream-type", options->streamType, "Stream type asked of the device")
      ->default_val(0)
      ->check(cli::WholeIn(0, 255, "a stream type"));
  command->add_flag("--probe", options->probe, "Check the file with ffprobe afterwards");
  command->add_flag("--fail-on-gap", options->failOnGap,
                    "Exit with status 7 when the recording has gaps");
  command->callback([&global, options, run] {
    *run = [&global, options] { return RunRecord(global, *options); };
  });
}

}  // namespace qrv::host
