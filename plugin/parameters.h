// Parameter texts of Execute: key reading with insert-on-lookup and the four
// number conversions.
//
// A number is read as a standard input stream in its default state reads it:
// leading white space is skipped, an optional sign and decimal digits are
// taken, and reading stops at the first character that cannot continue the
// number ("18abc" is 18, "0x1F" is 0). A text that holds no number (empty, no
// digit after the optional sign, or outside the 32-bit range) gives no value.
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "qrvaccess/qrv_access.h"

namespace qrv::plugin {

std::optional<int32_t> ParseInt(std::string_view text);
// The host's 32-bit long: the same rules as ParseInt.
std::optional<int32_t> ParseLong(std::string_view text);
// Unsigned 32-bit: a leading minus negates modulo 2^32 ("-1" is 4294967295);
// the digits themselves must not exceed 4294967295.
std::optional<uint32_t> ParseULong(std::string_view text);
// Decimal text: a minus sign for negative values, no leading zeros or blanks.
std::string FormatLong(int32_t value);

// Reads the keys of one request from the host's input map. Reading a key that
// is absent adds it with an empty text, so the map ends up holding every key
// the operation read, in the order the operation read them.
class ParameterReader {
 public:
  explicit ParameterReader(ParameterMap& input) : input_(input) {}

  // The text under key, as stored in the host's map (so an operation may
  // rewrite it in place).
  std::string& Text(const std::string& key) { return input_[key]; }
  std::optional<int32_t> Int(const std::string& key) { return ParseInt(Text(key)); }
  std::optional<int32_t> Long(const std::string& key) { return ParseLong(Text(key)); }
  std::optional<uint32_t> ULong(const std::string& key) { return ParseULong(Text(key)); }

 private:
  ParameterMap& input_;
};

}  // namespace qrv::plugin
