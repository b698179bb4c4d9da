// Command-line value checks shared by qrv-host and qrv-simulator, as CLI11
// validators: the whole text must be a value of the right kind and in range,
// and the message says which rule it broke, in words.
#pragma once

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

namespace qrv::host::cli {

// The whole text as a number, or nullopt (trailing junk, empty, not a number).
template <typename Number>
std::optional<Number> ParseWhole(const std::string& text) {
  Number value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

inline std::string NumberText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// A number from `low` to `high` (both included); `what` names the unit for
// the message, for example "a number of seconds".
inline CLI::Validator NumberIn(double low, double high, const std::string& what) {
  return CLI::Validator(
      [low, high, what](std::string& text) -> std::string {
        auto value = ParseWhole<double>(text);
        // NaN compares false with everything: it would pass a range test.
        if (!value || std::isnan(*value)) return "'" + text + "' is not " + what;
        if (*value < low || *value > high) {
          return NumberText(*value) + " is out of range: it must be from " + NumberText(low) +
                 " to " + NumberText(high);
        }
        return "";
      },
      what + " " + NumberText(low) + ".." + NumberText(high));
}

// A whole number from `low` to `high`.
inline CLI::Validator WholeIn(int64_t low, int64_t high, const std::string& what) {
  return CLI::Validator(
      [low, high, what](std::string& text) -> std::string {
        auto value = ParseWhole<int64_t>(text);
        if (!value) return "'" + text + "' is not " + what;
        if (*value < low || *value > high) {
          return std::to_string(*value) + " is out of range: it must be from " +
                 std::to_string(low) + " to " + std::to_string(high);
        }
        return "";
      },
      what + " " + std::to_string(low) + ".." + std::to_string(high));
}

inline CLI::Validator Port() {
  return WholeIn(1, 65535, "a port number");
}

// WIDTHxHEIGHT with both from 16 to 8192 and even (the encoder's 4:2:0 needs it).
inline std::optional<std::pair<int, int>> ParsePictureSize(const std::string& text) {
  auto x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  auto width = ParseWhole<int>(text.substr(0, x));
  auto height = ParseWhole<int>(text.substr(x + 1));
  if (!width || !height) return std::nullopt;
  return std::pair{*width, *height};
}

inline CLI::Validator PictureSize() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        auto size = ParsePictureSize(text);
        if (!size) return "'" + text + "' is not a picture size WIDTHxHEIGHT (like 640x360)";
        auto [w, h] = *size;
        if (w < 16 || h < 16 || w > 8192 || h > 8192 || w % 2 != 0 || h % 2 != 0) {
          return "'" + text + "': width and height must be even and from 16 to 8192";
        }
        return "";
      },
      "WIDTHxHEIGHT");
}

// A loopback IPv4 address (127.0.0.0/8) as digits.
inline bool IsLoopbackV4(const std::string& text) {
  int parts[4];
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    size_t end = text.find('.', at);
    if ((i < 3) != (end != std::string::npos)) return false;
    auto part = ParseWhole<int>(text.substr(at, end == std::string::npos ? end : end - at));
    if (!part || *part < 0 || *part > 255) return false;
    parts[i] = *part;
    at = end + 1;
  }
  return parts[0] == 127;
}

inline CLI::Validator LoopbackAddress() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        return IsLoopbackV4(text) ? "" : "'" + text + "' is not an address in 127.0.0.0/8";
      },
      "127.x.y.z");
}

// HOST:PORT with a loopback host and a port 1..65535.
inline CLI::Validator LoopbackTarget() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        auto colon = text.rfind(':');
        if (colon == std::string::npos) return "'" + text + "' is not HOST:PORT";
        if (!IsLoopbackV4(text.substr(0, colon))) {
          return "'" + text + "': the host is not an address in 127.0.0.0/8";
        }
        auto port = ParseWhole<int>(text.substr(colon + 1));
        if (!port || *port < 1 || *port > 65535) {
          return "'" + text + "': the port must be a number from 1 to 65535";
        }
        return "";
      },
      "127.x.y.z:PORT");
}

}  // namespace qrv::host::cli
