// Writes the small XML documents we send: every text and attribute value is
// escaped here, so no argument can change a message's structure.
// Pure; any thread.
#pragma once

#include <string>
#include <string_view>

namespace qrv::tmcc::onvif {

// Text and attribute values with markup characters replaced by references.
// Characters XML cannot carry at all (control characters, bytes that are not
// UTF-8) are dropped, so whatever we write parses.
std::string EscapeXml(std::string_view text);

// Appends elements to a string. Names are ours (literals with the prefixes
// the envelope declares), never a peer's; values are escaped.
class XmlWriter {
 public:
  explicit XmlWriter(std::string& out) : out_(out) {}

  // <name attr="value"...> : Start, then Attr calls, then content.
  XmlWriter& Start(std::string_view name);
  XmlWriter& Attr(std::string_view name, std::string_view value);
  // </name>, or "/>" when nothing was written since Start.
  XmlWriter& End(std::string_view name);
  XmlWriter& Text(std::string_view text);
  // <name>text</name>
  XmlWriter& Leaf(std::string_view name, std::string_view text);
  // Markup we built ourselves, inserted as is.
  XmlWriter& Raw(std::string_view markup);

 private:
  void CloseStart();

  std::string& out_;
  bool startOpen_ = false;
};

}  // namespace qrv::tmcc::onvif
