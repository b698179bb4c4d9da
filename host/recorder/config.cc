#include "host/recorder/config.h"

#include <toml++/toml.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "host/kit/device_address.h"
#include "host/kit/password_source.h"

namespace qrv::recorder {
namespace {

namespace fs = std::filesystem;

// Texts handed to the plug-in go into 32-byte fields with a terminating NUL.
constexpr size_t kMaxFieldText = 31;

struct Failure {
  std::string message;
};

std::optional<uint64_t> ParseUnsigned(std::string_view text) {
  uint64_t value = 0;
  if (text.empty()) return std::nullopt;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "FILE:LINE" of a value, so an operator can go straight to it.
std::string Where(const toml::node& node) {
  const auto& at = node.source();
  const std::string file = at.path ? *at.path : std::string("line ");
  return file + (at.path ? ":" : "") + std::to_string(at.begin.line);
}

// Upper bounds keep every duration far from overflowing the clocks' tick
// counts (nanoseconds in int64 last about 292 years) when added to "now".
constexpr int64_t kDay = 86400;
constexpr int64_t kMaxSegment = kDay;
constexpr int64_t kMaxAge = 36500 * kDay;
constexpr int64_t kMaxHealthInterval = kDay;
constexpr int64_t kMaxStallTimeout = 3600;
// A size limit smaller than this cannot hold even a short segment.
constexpr uint64_t kMinTotalSize = uint64_t{1} << 20;

std::string DurationText(int64_t seconds) {
  if (seconds % kDay == 0) return std::to_string(seconds / kDay) + "d";
  if (seconds % 3600 == 0) return std::to_string(seconds / 3600) + "h";
  return std::to_string(seconds) + "s";
}

// One table of device keys (defaults or a device), read into `into`.
class KeyReader {
 public:
  KeyReader(const toml::table& table, std::string context)
      : table_(table), context_(std::move(context)) {}

  // Fails on keys outside `known`, so a misspelt key is never ignored.
  void OnlyKeys(const std::set<std::string>& known) const {
    for (const auto& [key, node] : table_) {
      if (!known.contains(std::string(key.str())))
        Fail("unknown key \"" + std::string(key.str()) + "\" (" + Where(node) + ")");
    }
  }

  std::optional<std::string> Text(const std::string& key, size_t maxLength = 4096) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    auto value = node->value<std::string>();
    if (!node->is_string() || !value) Fail(key + " must be a text (" + Where(*node) + ")");
    if (value->find('\0') != std::string::npos)
      Fail(key + " holds a NUL character (" + Where(*node) + ")");
    if (value->size() > maxLength)
      Fail(key + " is longer than " + std::to_string(maxLength) + " bytes (" + Where(*node) + ")");
    return value;
  }

  std::optional<bool> Boolean(const std::string& key) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    auto value = node->value<bool>();
    if (!node->is_boolean() || !value) Fail(key + " must be true or false (" + Where(*node) + ")");
    return value;
  }

  std::optional<int64_t> Integer(const std::string& key, int64_t low, int64_t high) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    auto value = node->value<int64_t>();
    if (!node->is_integer() || !value) Fail(key + " must be a whole number (" + Where(*node) + ")");
    if (*value < low || *value > high)
      Fail(key + " = " + std::to_string(*value) + " is outside " + std::to_string(low) + ".." +
           std::to_string(high) + " (" + Where(*node) + ")");
    return value;
  }

  // A whole number of seconds, or a text with a unit ("10m").
  std::optional<std::chrono::seconds> Duration(const std::string& key, int64_t minSeconds,
                                               int64_t maxSeconds) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    std::optional<std::chrono::seconds> value;
    if (auto number = node->value<int64_t>(); node->is_integer() && number && *number >= 0)
      value = std::chrono::seconds(*number);
    else if (auto text = node->value<std::string>(); node->is_string() && text)
      value = ParseDuration(*text);
    if (!value)
      Fail(key + " must be a duration such as 90, \"90s\", \"10m\", \"2h\" or \"7d\" (" +
           Where(*node) + ")");
    if (value->count() < minSeconds)
      Fail(key + " must be at least " + std::to_string(minSeconds) + " s (" + Where(*node) + ")");
    if (value->count() > maxSeconds)
      Fail(key + " must be at most " + DurationText(maxSeconds) + " (" + Where(*node) + ")");
    return value;
  }

  std::optional<uint64_t> Size(const std::string& key, uint64_t minBytes) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    std::optional<uint64_t> value;
    if (auto number = node->value<int64_t>(); node->is_integer() && number && *number >= 0)
      value = static_cast<uint64_t>(*number);
    else if (auto text = node->value<std::string>(); node->is_string() && text)
      value = ParseSize(*text);
    if (!value)
      Fail(key + " must be a size such as 1073741824, \"500MiB\" or \"20GiB\" (" + Where(*node) +
           ")");
    if (*value != 0 && *value < minBytes)
      Fail(key + " must be 0 (no limit) or at least " + std::to_string(minBytes) + " bytes (" +
           Where(*node) + ")");
    return value;
  }

  [[noreturn]] void Fail(const std::string& what) const { throw Failure{context_ + ": " + what}; }

 private:
  const toml::table& table_;
  std::string context_;
};

const std::set<std::string> kDeviceKeys = {
    "name",           "address",       "port",        "user",    "password",
    "password_file",  "stream_type",   "output",      "segment", "max_age",
    "max_total_size", "stall_timeout", "allow_basic", "format"};
const std::set<std::string> kDefaultKeys = {
    "port",    "user",    "password",       "password_file", "stream_type",
    "segment", "max_age", "max_total_size", "stall_timeout", "format"};
const std::set<std::string> kRecorderKeys = {"log", "plugin", "output", "health_interval"};

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

struct Context {
  fs::path configDir;
  std::string credentialsDir;
  const FileReader* readFile;
};

std::string Anchor(const fs::path& base, const std::string& path) {
  fs::path p(path);
  return (p.is_absolute() ? p : base / p).lexically_normal().string();
}

// Applies the keys present in `reader` on top of `device`; true when the
// table gave a password or a password file.
bool ApplyDeviceKeys(const KeyReader& reader, const Context& context, DeviceSettings& device) {
  if (auto v = reader.Integer("port", 1, 65535)) device.port = static_cast<int32_t>(*v);
  if (auto v = reader.Text("user", kMaxFieldText)) device.user = *v;
  auto password = reader.Text("password", kMaxFieldText);
  auto passwordFile = reader.Text("password_file");
  if (password && passwordFile) reader.Fail("give password or password_file, not both");
  if (password) device.password = *password;
  if (passwordFile) {
    fs::path file(*passwordFile);
    std::string resolved;
    if (file.is_absolute())
      resolved = file.string();
    else if (!context.credentialsDir.empty())
      resolved = Anchor(context.credentialsDir, *passwordFile);
    else
      resolved = Anchor(context.configDir, *passwordFile);
    std::string why;
    auto content = (*context.readFile)(resolved, &why);
    if (!content) reader.Fail("password_file " + resolved + ": " + why);
    auto secret = host::PasswordLine(*content, &why);
    if (!secret) reader.Fail("password_file " + resolved + " " + why);
    device.password = *secret;
  }
  if (auto v = reader.Integer("stream_type", 0, 255)) device.streamType = static_cast<int32_t>(*v);
  if (auto v = reader.Duration("segment", 1, kMaxSegment)) device.segment = *v;
  if (auto v = reader.Duration("max_age", 0, kMaxAge)) device.maxAge = *v;
  if (auto v = reader.Size("max_total_size", kMinTotalSize)) device.maxTotalBytes = *v;
  if (auto v = reader.Duration("stall_timeout", 1, kMaxStallTimeout)) device.stallTimeout = *v;
  if (auto v = reader.Text("format")) {
    if (*v == "annexb")
      device.format = SegmentFormat::kAnnexB;
    else if (*v == "mp4")
      device.format = SegmentFormat::kMp4;
    else
      reader.Fail("format = \"" + *v + "\" must be \"annexb\" or \"mp4\"");
  }
  return password.has_value() || passwordFile.has_value();
}

RecorderSettings Parse(const toml::table& root, const std::string& path, const Context& context) {
  RecorderSettings settings;
  KeyReader top(root, path);
  top.OnlyKeys({"recorder", "defaults", "device"});

  std::string outputRoot;
  if (const toml::node* node = root.get("recorder")) {
    if (!node->is_table()) top.Fail("[recorder] must be a table");
    KeyReader reader(*node->as_table(), path + " [recorder]");
    reader.OnlyKeys(kRecorderKeys);
    if (auto v = reader.Text("log")) settings.log = *v == "-" ? "-" : Anchor(context.configDir, *v);
    if (auto v = reader.Text("plugin")) settings.plugin = Anchor(context.configDir, *v);
    if (auto v = reader.Text("output")) {
      outputRoot = Anchor(context.configDir, *v);
      if (outputRoot == "/") reader.Fail("output must not be the root folder \"/\"");
    }
    if (auto v = reader.Duration("health_interval", 1, kMaxHealthInterval))
      settings.healthInterval = std::chrono::duration_cast<std::chrono::milliseconds>(*v);
  }

  DeviceSettings defaults;
  bool defaultPassword = false;
  if (const toml::node* node = root.get("defaults")) {
    if (!node->is_table()) top.Fail("[defaults] must be a table");
    KeyReader reader(*node->as_table(), path + " [defaults]");
    reader.OnlyKeys(kDefaultKeys);
    defaultPassword = ApplyDeviceKeys(reader, context, defaults);
  }

  const toml::node* list = root.get("device");
  if (list == nullptr) return settings;  // no devices: the recorder waits for a reload
  if (!list->is_array_of_tables()) top.Fail("device must be a list of [[device]] tables");
  std::set<std::string> names;
  std::map<std::string, std::string> folders;  // output -> device
  int index = 0;
  for (const toml::node& entry : *list->as_array()) {
    ++index;
    const toml::table& table = *entry.as_table();
    KeyReader reader(table,
                     path + " [[device]] #" + std::to_string(index) + " (" + Where(entry) + ")");
    reader.OnlyKeys(kDeviceKeys);
    DeviceSettings device = defaults;
    auto name = reader.Text("name");
    if (!name) reader.Fail("name is missing");
    if (!ValidName(*name))
      reader.Fail("name \"" + *name +
                  "\" must be 1 to 64 of A-Z a-z 0-9 . _ - and not start with a dot");
    if (!names.insert(*name).second) reader.Fail("name \"" + *name + "\" is used twice");
    device.name = *name;
    auto address = reader.Text("address");
    if (!address) reader.Fail("address is missing");
    const host::AddressCheck checked = host::CheckDeviceAddress(*address);
    if (!checked.error.empty()) reader.Fail("address " + checked.error);
    device.address = *address;
    const bool ownPassword = ApplyDeviceKeys(reader, context, device);
    if (auto v = reader.Boolean("allow_basic")) device.allowBasic = *v;
    if (checked.urlPort) {
      // A URL names its port; a different one beside it would be ignored.
      if (table.get("port") != nullptr && device.port != *checked.urlPort)
        reader.Fail("port = " + std::to_string(device.port) + " differs from the port of " +
                    *address + " (" + std::to_string(*checked.urlPort) +
                    "): write the port in the URL only");
      device.port = *checked.urlPort;
    }
    if (auto v = reader.Text("output")) {
      device.output = Anchor(context.configDir, *v);
    } else if (!outputRoot.empty()) {
      device.output = (fs::path(outputRoot) / device.name).string();
    } else {
      reader.Fail("output is missing (set it here or [recorder] output)");
    }
    if (device.output == "/") reader.Fail("output must not be the root folder \"/\"");
    // Retention and the recovery of unfinished files treat the folder as the
    // device's own.
    auto [other, fresh] = folders.emplace(device.output, device.name);
    if (!fresh)
      reader.Fail("output " + device.output + " is already device \"" + other->second +
                  "\"'s folder: each device needs its own");
    if (!ownPassword && !defaultPassword) reader.Fail("password or password_file is missing");
    settings.devices.push_back(std::move(device));
  }
  return settings;
}

}  // namespace

std::string BasicAllowList(const RecorderSettings& settings) {
  std::string list;
  for (const DeviceSettings& device : settings.devices) {
    if (!device.allowBasic) continue;
    // An address alone would allow every port of it: name this device only.
    const std::string entry = host::IsDeviceUrl(device.address)
                                  ? device.address
                                  : device.address + ":" + std::to_string(device.port);
    list += (list.empty() ? "" : ",") + entry;
  }
  return list;
}

std::optional<std::chrono::seconds> ParseDuration(const std::string& text) {
  if (text.empty()) return std::nullopt;
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  auto number = ParseUnsigned(std::string_view(text).substr(0, digits));
  if (!number) return std::nullopt;
  const std::string unit = text.substr(digits);
  uint64_t scale = 0;
  if (unit.empty() || unit == "s")
    scale = 1;
  else if (unit == "m")
    scale = 60;
  else if (unit == "h")
    scale = 3600;
  else if (unit == "d")
    scale = 86400;
  else
    return std::nullopt;
  // Up to about 300 years: plenty, and far from any overflow.
  if (*number > uint64_t{10000000000} / scale) return std::nullopt;
  return std::chrono::seconds(static_cast<int64_t>(*number * scale));
}

std::optional<uint64_t> ParseSize(const std::string& text) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  auto number = ParseUnsigned(std::string_view(text).substr(0, digits));
  if (!number) return std::nullopt;
  const std::string unit = text.substr(digits);
  static const std::pair<const char*, uint64_t> kUnits[] = {{"", 1},
                                                            {"B", 1},
                                                            {"KiB", uint64_t{1} << 10},
                                                            {"MiB", uint64_t{1} << 20},
                                                            {"GiB", uint64_t{1} << 30},
                                                            {"TiB", uint64_t{1} << 40},
                                                            {"kB", 1000},
                                                            {"MB", 1000000},
                                                            {"GB", 1000000000},
                                                            {"TB", 1000000000000}};
  for (const auto& [name, scale] : kUnits) {
    if (unit != name) continue;
    if (*number > UINT64_MAX / scale) return std::nullopt;
    return *number * scale;
  }
  return std::nullopt;
}

ConfigResult ParseConfig(const std::string& text, const std::string& path,
                         const std::string& credentialsDir, const FileReader& readFile) {
  ConfigResult result;
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  Context context{(ec ? fs::path(path) : absolute).parent_path(), credentialsDir, &readFile};
  try {
    toml::table root = toml::parse(text, path);
    result.settings = Parse(root, path, context);
  } catch (const toml::parse_error& e) {
    std::ostringstream message;
    message << path << ": line " << e.source().begin.line << ": " << e.description();
    result.error = message.str();
  } catch (const Failure& e) {
    result.error = e.message;
  }
  return result;
}

ConfigResult LoadConfig(const std::string& path) {
  auto read = [](const std::string& file, std::string* error) -> std::optional<std::string> {
    std::error_code ec;
    if (fs::is_directory(file, ec)) {
      *error = "is a directory";
      return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      *error = std::string("cannot be read: ") + std::strerror(errno);
      return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
      *error = "read error";
      return std::nullopt;
    }
    return content.str();
  };
  std::string error;
  auto text = read(path, &error);
  if (!text) return {std::nullopt, path + ": " + error};
  const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
  return ParseConfig(*text, path, credentials != nullptr ? credentials : "", read);
}

std::string CheckOutputs(const RecorderSettings& settings) {
  for (const DeviceSettings& device : settings.devices) {
    // The folder itself, or the nearest folder above it that exists: the
    // recorder creates the rest.
    fs::path at(device.output);
    std::error_code ec;
    while (!fs::exists(fs::symlink_status(at, ec)) && at.has_relative_path()) at = at.parent_path();
    const std::string prefix = "device \"" + device.name + "\": output " + device.output + ": ";
    if (!fs::is_directory(at, ec))
      return prefix + at.string() + " is not a folder" + (ec ? " (" + ec.message() + ")" : "");
    if (::access(at.c_str(), W_OK | X_OK) != 0)
      return prefix + "cannot write in " + at.string() + ": " + std::strerror(errno);
  }
  return "";
}

}  // namespace qrv::recorder
