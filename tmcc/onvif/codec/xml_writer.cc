#include "tmcc/onvif/codec/xml_writer.h"

#include <cstdint>

namespace qrv::tmcc::onvif {

std::string EscapeXml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      switch (b) {
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '&':
          out += "&amp;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&apos;";
          break;
        // Written as references so that line ends and tabs survive attribute
        // value normalization.
        case '\t':
          out += "&#9;";
          break;
        case '\n':
          out += "&#10;";
          break;
        case '\r':
          out += "&#13;";
          break;
        default:
          if (b >= 0x20) out += static_cast<char>(b);
      }
      ++i;
      continue;
    }
    // A well-formed UTF-8 sequence of an XML character is copied; anything
    // else is dropped a byte at a time.
    size_t n = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    uint32_t c = n == 2 ? b & 0x1Fu : n == 3 ? b & 0x0Fu : b & 0x07u;
    bool ok = n != 0 && text.size() - i >= n;
    for (size_t k = 1; ok && k < n; ++k) {
      const auto cont = static_cast<unsigned char>(text[i + k]);
      ok = (cont & 0xC0) == 0x80;
      c = c << 6 | (cont & 0x3Fu);
    }
    static constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && c >= kMinimum[n] && !(c >= 0xD800 && c <= 0xDFFF) && c != 0xFFFE && c != 0xFFFF &&
         c <= 0x10FFFF;
    if (ok) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      ++i;
    }
  }
  return out;
}

void XmlWriter::CloseStart() {
  if (startOpen_) {
    out_ += '>';
    startOpen_ = false;
  }
}

XmlWriter& XmlWriter::Start(std::string_view name) {
  CloseStart();
  out_ += '<';
  out_ += name;
  startOpen_ = true;
  return *this;
}

XmlWriter& XmlWriter::Attr(std::string_view name, std::string_view value) {
  out_ += ' ';
  out_ += name;
  out_ += "=\"";
  out_ += EscapeXml(value);
  out_ += '"';
  return *this;
}

XmlWriter& XmlWriter::End(std::string_view name) {
  if (startOpen_) {
    out_ += "/>";
    startOpen_ = false;
    return *this;
  }
  out_ += "</";
  out_ += name;
  out_ += '>';
  return *this;
}

XmlWriter& XmlWriter::Text(std::string_view text) {
  CloseStart();
  out_ += EscapeXml(text);
  return *this;
}

XmlWriter& XmlWriter::Leaf(std::string_view name, std::string_view text) {
  Start(name);
  CloseStart();
  out_ += EscapeXml(text);
  return End(name);
}

XmlWriter& XmlWriter::Raw(std::string_view markup) {
  CloseStart();
  out_ += markup;
  return *this;
}

}  // namespace qrv::tmcc::onvif
