// A small, strict XML reader for the SOAP messages cameras and clients send
// us. Every peer is untrusted, so it reads only what SOAP needs (elements,
// attributes, namespaces, text, CDATA) within fixed limits, and refuses
// document type declarations outright: no entity is ever expanded beyond the
// five predefined ones and character references.
// Pure; a parsed document is immutable and may be read from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qrv::tmcc::onvif {

struct XmlLimits {
  size_t maxInputBytes = 1 << 20;
  size_t maxDepth = 32;
  size_t maxElements = 10000;
  size_t maxNameLength = 256;
  // Attributes (namespace declarations included) on one element.
  size_t maxAttributes = 64;
  // Namespace bindings in force at once: every prefix lookup walks them.
  size_t maxNamespacesInScope = 128;
  // Character data directly inside one element, after decoding.
  size_t maxTextBytes = 256 * 1024;
  // Prefixes a document may use without declaring them, each standing for
  // the namespace given; a declaration in scope still wins. Some devices
  // write their envelope's well-known prefix and leave its declaration out.
  std::span<const std::pair<std::string_view, std::string_view>> undeclaredPrefixes;
};

class XmlDocument;
struct XmlTree;

struct XmlAttribute {
  std::string_view ns;  // empty for an unprefixed attribute
  std::string_view name;
  std::string_view value;
};

// A handle to an element of a parsed document; a null handle (from a failed
// lookup) answers every question with "nothing", so lookups can be chained.
// Valid while its document lives; moving the document keeps it valid.
class XmlElement {
 public:
  XmlElement() = default;

  explicit operator bool() const { return tree_ != nullptr; }

  // The resolved namespace URI (empty when the element has none) and the
  // local name, without prefix.
  std::string_view Namespace() const;
  std::string_view Name() const;
  bool Is(std::string_view ns, std::string_view name) const;

  // The decoded character data directly inside the element (CDATA included,
  // child elements' text not).
  std::string_view Text() const;
  // The same without leading and trailing XML white space.
  std::string_view TrimmedText() const;

  // An attribute by namespace (empty for an unprefixed one) and local name.
  std::optional<std::string_view> Attribute(std::string_view ns, std::string_view name) const;

  // Every attribute but namespace declarations, in document order.
  std::vector<XmlAttribute> Attributes() const;

  XmlElement Parent() const;
  XmlElement FirstChild() const;
  XmlElement NextSibling() const;
  // The first child with this namespace and local name, or a null handle.
  XmlElement Child(std::string_view ns, std::string_view name) const;
  // The next sibling with this namespace and local name, or a null handle.
  XmlElement NextNamed(std::string_view ns, std::string_view name) const;
  size_t ChildCount() const;

  // The namespace URI a prefix is bound to where this element stands (for
  // QName values in text such as fault codes, topics and discovery types);
  // the empty prefix gives the default namespace.
  std::optional<std::string_view> LookupPrefix(std::string_view prefix) const;

  // The namespace declarations written on this element: (prefix, URI), the
  // empty prefix for the default namespace.
  std::vector<std::pair<std::string_view, std::string_view>> Declarations() const;

  // The element's bytes in the source document, start tag to end tag.
  std::string_view Source() const;

 private:
  friend class XmlDocument;
  XmlElement(const XmlTree* tree, uint32_t index) : tree_(tree), index_(index) {}

  const XmlTree* tree_ = nullptr;
  uint32_t index_ = 0;
};

class XmlDocument {
 public:
  XmlDocument(XmlDocument&&) noexcept;
  XmlDocument& operator=(XmlDocument&&) noexcept;
  ~XmlDocument();

  XmlElement Root() const;
  size_t ElementCount() const;

  // Parses input as one document. On failure returns nothing and, when
  // error is given, a short reason with the byte offset it was found at.
  static std::optional<XmlDocument> Parse(std::string_view input, std::string* error = nullptr,
                                          const XmlLimits& limits = {});

 private:
  explicit XmlDocument(std::unique_ptr<XmlTree> tree);
  // Heap-held, so element handles survive moving the document.
  std::unique_ptr<XmlTree> tree_;
};

// A QName value in element text ("prefix:local"), resolved where element
// stands; nothing if the prefix is unbound or the text is not a QName.
struct QName {
  std::string ns;
  std::string local;
  bool operator==(const QName&) const = default;
};
std::optional<QName> ResolveQName(const XmlElement& element, std::string_view text);

// Splits XML white space separated lists (discovery Types, Scopes, XAddrs).
std::vector<std::string_view> SplitWhitespace(std::string_view text, size_t maxItems);

}  // namespace qrv::tmcc::onvif
