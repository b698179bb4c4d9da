// The recorder's configuration: a TOML file listing devices, with defaults
// shared by all of them. Parsing is pure (text in, values or an error out),
// except for reading password files, which go through a callback.
//
// Threads: any; no shared state.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qrv::recorder {

// How segments are written: the stream's own Annex B bytes (.264 / .265),
// or fragmented MP4 whose samples carry their times (.mp4).
enum class SegmentFormat { kAnnexB, kMp4 };

struct DeviceSettings {
  std::string name;     // unique; names the device's folder and its files
  std::string address;  // IPv4, or a standard camera's rtsp:// or http:// URL as written
  int32_t port = 6001;  // a URL's own port (its scheme's default when it names none)
  std::string user = "admin";
  std::string password;
  int32_t streamType = 0;
  std::string output;  // folder of the device's segments
  std::chrono::seconds segment{600};
  SegmentFormat format = SegmentFormat::kAnnexB;
  std::chrono::seconds maxAge{0};  // 0 = keep regardless of age
  uint64_t maxTotalBytes = 0;      // 0 = no size limit
  std::chrono::seconds stallTimeout{10};
  // A standard camera that offers only Basic authentication (the password
  // readable on the network) is answered; refused otherwise.
  bool allowBasic = false;

  bool operator==(const DeviceSettings&) const = default;
};

struct RecorderSettings {
  std::string log = "-";  // "-" = standard output
  std::string plugin;     // empty = the plug-in installed beside the program
  std::chrono::milliseconds healthInterval{60000};
  std::vector<DeviceSettings> devices;
};

struct ConfigResult {
  std::optional<RecorderSettings> settings;
  std::string error;  // names the file, the key and what is wrong with it
};

// Reads a password file's content (the whole file); nullopt with *error when
// it cannot be read.
using FileReader =
    std::function<std::optional<std::string>(const std::string& path, std::string* error)>;

// Parses `text` (the content of the file at `path`, whose folder anchors
// relative paths). `credentialsDir` (systemd's CREDENTIALS_DIRECTORY, may be
// empty) anchors relative password files before the config's folder does.
ConfigResult ParseConfig(const std::string& text, const std::string& path,
                         const std::string& credentialsDir, const FileReader& readFile);

// Reads and parses the file at `path` with the real file system.
ConfigResult LoadConfig(const std::string& path);

// Whether every device's output folder exists or can be made and written,
// as the user running this; empty when all can, else the first problem with
// its real cause.
std::string CheckOutputs(const RecorderSettings& settings);

// TMCC_ALLOW_BASIC's value for the devices with allow_basic: each one's URL,
// or address:port; empty when none has it.
std::string BasicAllowList(const RecorderSettings& settings);

// "90", "90s", "15m", "2h", "7d" -> seconds; nullopt for anything else.
std::optional<std::chrono::seconds> ParseDuration(const std::string& text);
// "1048576", "512KiB", "20MiB", "50GiB", "2TiB", also kB/MB/GB/TB (powers of
// 1000) -> bytes; nullopt for anything else or on overflow.
std::optional<uint64_t> ParseSize(const std::string& text);

}  // namespace qrv::recorder
