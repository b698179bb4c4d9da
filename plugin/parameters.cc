#include "plugin/parameters.h"

#include <charconv>
#include <limits>

namespace qrv::plugin {

namespace {

// White space as the default ("C") locale classifies it.
bool IsStreamSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

struct Magnitude {
  bool negative;
  uint64_t value;  // the digits; more than 64 bits of them give no value
};

// Skips white space, takes an optional sign and the decimal digits that
// follow; everything after them is ignored.
std::optional<Magnitude> ReadMagnitude(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && IsStreamSpace(text[pos])) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  size_t end = pos;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (end == pos) return std::nullopt;
  uint64_t value = 0;
  const auto [last, error] = std::from_chars(text.data() + pos, text.data() + end, value);
  if (error != std::errc() || last != text.data() + end) return std::nullopt;  // too long
  return Magnitude{negative, value};
}

}  // namespace

std::optional<int32_t> ParseInt(std::string_view text) {
  const auto magnitude = ReadMagnitude(text);
  if (!magnitude) return std::nullopt;
  constexpr uint64_t kMaxPositive = std::numeric_limits<int32_t>::max();
  const uint64_t limit = magnitude->negative ? kMaxPositive + 1 : kMaxPositive;
  if (magnitude->value > limit) return std::nullopt;
  const int64_t value = magnitude->negative ? -static_cast<int64_t>(magnitude->value)
                                            : static_cast<int64_t>(magnitude->value);
  return static_cast<int32_t>(value);
}

std::optional<int32_t> ParseLong(std::string_view text) {
  return ParseInt(text);
}

std::optional<uint32_t> ParseULong(std::string_view text) {
  const auto magnitude = ReadMagnitude(text);
  if (!magnitude || magnitude->value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  const uint32_t value = static_cast<uint32_t>(magnitude->value);
  return magnitude->negative ? 0u - value : value;
}

std::string FormatLong(int32_t value) {
  return std::to_string(value);
}

}  // namespace qrv::plugin
