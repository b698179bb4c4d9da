#include "host/kit/text_escape.h"

#include <cstdint>

namespace qrv::host {
namespace {

void AppendHex(std::string& out, uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out += "\\x";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0x0F];
}

}  // namespace

std::string EscapeControl(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<uint8_t>(text[i]);
    if (byte < 0x20 || byte == 0x7F) {
      AppendHex(out, byte);
    } else if (byte == '\\') {
      out += "\\\\";
    } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) >= 0x80 &&
               static_cast<uint8_t>(text[i + 1]) <= 0x9F) {
      AppendHex(out, byte);
      AppendHex(out, static_cast<uint8_t>(text[++i]));
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

}  // namespace qrv::host
