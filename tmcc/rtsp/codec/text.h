// ASCII text helpers the RTSP, HTTP and SDP parsers share. Protocol text is
// ASCII whatever the locale, so none of these consult it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qrv::tmcc::rtsp {

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);

// Without leading and trailing spaces and tabs.
std::string_view TrimWhitespace(std::string_view s);

// A token character of RFC 7230 (header names, methods, auth schemes).
bool IsTokenChar(char c);
bool IsToken(std::string_view s);

// True when s holds a byte below 0x20 other than a tab, or DEL: what must
// never reach a header line, where CR or LF would start a new one.
bool HasControl(std::string_view s);

// A decimal number of at most maxDigits digits and nothing else, no sign.
std::optional<uint64_t> ParseDecimal(std::string_view s, size_t maxDigits = 19);

// The value of a hex digit, or -1.
int HexValue(char c);

}  // namespace qrv::tmcc::rtsp
