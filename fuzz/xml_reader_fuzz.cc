// Feeds arbitrary bytes to the XML reader. An accepted document must respect
// every limit, and written back out by our writer (namespaces declared
// afresh on each element) must read back to the same tree: names,
// namespaces, attributes and text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tmcc/onvif/codec/xml_reader.h"
#include "tmcc/onvif/codec/xml_writer.h"

namespace onvif = qrv::tmcc::onvif;
using onvif::XmlElement;

namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// A fresh prefix for ns declared on the element being written ("xml" is
// predeclared and may not be bound again).
std::string Prefix(std::string_view ns, size_t& counter, std::string& declarations) {
  if (ns.empty()) return {};
  if (ns == kXmlNamespace) return "xml:";
  const std::string prefix = "n" + std::to_string(counter++);
  declarations += " xmlns:" + prefix + "=\"" + onvif::EscapeXml(ns) + "\"";
  return prefix + ":";
}

void Write(const XmlElement& e, std::string& out) {
  size_t counter = 0;
  std::string declarations;
  const std::string name = Prefix(e.Namespace(), counter, declarations) + std::string(e.Name());
  std::string attributes;
  for (const auto& a : e.Attributes()) {
    attributes += " " + Prefix(a.ns, counter, declarations) + std::string(a.name) + "=\"" +
                  onvif::EscapeXml(a.value) + "\"";
  }
  out += "<" + name + declarations + attributes + ">";
  out += onvif::EscapeXml(e.Text());
  for (XmlElement c = e.FirstChild(); c; c = c.NextSibling()) Write(c, out);
  out += "</" + name + ">";
}

void Compare(const XmlElement& a, const XmlElement& b) {
  Check(a.Namespace() == b.Namespace());
  Check(a.Name() == b.Name());
  Check(a.Text() == b.Text());
  const auto attributesA = a.Attributes(), attributesB = b.Attributes();
  Check(attributesA.size() == attributesB.size());
  for (size_t i = 0; i < attributesA.size(); ++i) {
    Check(attributesA[i].ns == attributesB[i].ns);
    Check(attributesA[i].name == attributesB[i].name);
    Check(attributesA[i].value == attributesB[i].value);
  }
  Check(a.ChildCount() == b.ChildCount());
  XmlElement x = a.FirstChild(), y = b.FirstChild();
  for (; x && y; x = x.NextSibling(), y = y.NextSibling()) Compare(x, y);
  Check(!x && !y);
}

size_t Walk(const XmlElement& e, size_t depth, const onvif::XmlLimits& limits) {
  Check(depth <= limits.maxDepth);
  Check(e.Name().size() <= limits.maxNameLength);
  Check(e.Text().size() <= limits.maxTextBytes);
  const std::string_view source = e.Source();
  Check(source.size() >= 3 && source.front() == '<' && source.back() == '>');
  size_t count = 1;
  size_t children = 0;
  for (XmlElement c = e.FirstChild(); c; c = c.NextSibling()) {
    Check(c.Parent().Source().data() == source.data());
    count += Walk(c, depth + 1, limits);
    ++children;
  }
  Check(children == e.ChildCount());
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const onvif::XmlLimits limits;
  std::string error;
  auto doc = onvif::XmlDocument::Parse(input, &error, limits);
  if (!doc) {
    Check(!error.empty());
    return 0;
  }
  Check(Walk(doc->Root(), 1, limits) == doc->ElementCount());
  Check(doc->ElementCount() <= limits.maxElements);

  std::string written;
  Write(doc->Root(), written);
  onvif::XmlLimits relaxed;
  relaxed.maxInputBytes = size_t{64} << 20;
  relaxed.maxNamespacesInScope = 1 << 20;
  relaxed.maxAttributes = 2 * limits.maxAttributes + 1;
  auto again = onvif::XmlDocument::Parse(written, &error, relaxed);
  Check(again.has_value());
  Compare(doc->Root(), again->Root());
  return 0;
}
