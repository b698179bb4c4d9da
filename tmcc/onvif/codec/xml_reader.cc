#include "tmcc/onvif/codec/xml_reader.h"

#include <functional>
#include <set>
#include <utility>

namespace qrv::tmcc::onvif {

namespace {

constexpr uint32_t kNone = UINT32_MAX;
constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

struct Attr {
  const std::string* ns;
  std::string name;
  std::string value;
};

// A namespace binding declared on an element; the empty prefix is the default
// namespace, and an empty URI undeclares it.
struct Binding {
  std::string prefix;
  const std::string* uri;
};

struct Node {
  uint32_t parent = kNone;
  uint32_t firstChild = kNone;
  uint32_t lastChild = kNone;
  uint32_t nextSibling = kNone;
  uint32_t childCount = 0;
  const std::string* ns = nullptr;
  std::string name;
  std::string text;
  std::vector<Attr> attributes;
  std::vector<Binding> bindings;
  size_t begin = 0;
  size_t end = 0;
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(unsigned char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Whether code point c is a character XML allows in a document.
bool IsXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The offset of the first byte that is not well-formed UTF-8 or not an XML
// character, or npos.
size_t FindBadCharacter(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    uint32_t c = 0;
    size_t n = 0;
    if (b < 0x80) {
      c = b;
      n = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      n = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      n = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      n = 4;
    } else {
      return i;
    }
    if (s.size() - i < n) return i;
    for (size_t k = 1; k < n; ++k) {
      const auto cont = static_cast<unsigned char>(s[i + k]);
      if ((cont & 0xC0) != 0x80) return i;
      c = c << 6 | (cont & 0x3F);
    }
    // Overlong forms would let one character hide behind another.
    static constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMinimum[n] || !IsXmlChar(c)) return i;
    i += n;
  }
  return std::string_view::npos;
}

bool IsAscii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

struct XmlTree {
  std::string source;
  // Interned namespace URIs: set nodes never move, so nodes keep pointers.
  std::set<std::string, std::less<>> uris;
  std::vector<Node> nodes;
  // Undeclared prefixes taken from XmlLimits::undeclaredPrefixes: in force
  // everywhere a declaration does not hide them.
  std::vector<Binding> implicit;

  const std::string* Intern(std::string_view uri) { return &*uris.emplace(uri).first; }
};

namespace {

class Parser {
 public:
  Parser(XmlTree& doc, const XmlLimits& limits) : doc_(doc), in_(doc.source), limits_(limits) {
    empty_ = doc_.Intern("");
    scope_.push_back({"xml", doc_.Intern(kXmlNamespace)});
  }

  bool Run() {
    if (const size_t bad = FindBadCharacter(in_); bad != std::string_view::npos) {
      pos_ = bad;
      return Fail("byte that is not a UTF-8 encoded XML character");
    }
    if (in_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    if (!XmlDeclaration()) return false;
    // Prolog: white space, comments and processing instructions.
    for (;;) {
      SkipSpace();
      if (pos_ >= in_.size()) return Fail("no root element");
      if (!Misc()) break;
      if (!error_.empty()) return false;
    }
    if (!error_.empty()) return false;
    if (Peek("<!")) return Fail("document type declarations are not accepted");
    if (Peek("<") && pos_ + 1 < in_.size() && IsNameStart(Byte(pos_ + 1))) {
      if (!Content()) return false;
    } else {
      return Fail("text outside the root element");
    }
    // Epilog.
    for (;;) {
      SkipSpace();
      if (pos_ >= in_.size()) return true;
      if (!Misc()) return error_.empty() ? Fail("content after the root element") : false;
      if (!error_.empty()) return false;
    }
  }

  std::string Error() const { return "offset " + std::to_string(pos_) + ": " + error_; }

 private:
  struct Open {
    uint32_t node;
    std::string_view qname;
    size_t scopeMark;
  };

  unsigned char Byte(size_t i) const { return static_cast<unsigned char>(in_[i]); }
  bool Peek(std::string_view s) const { return in_.substr(pos_, s.size()) == s; }
  bool Fail(std::string reason) {
    if (error_.empty()) error_ = std::move(reason);
    return false;
  }
  void SkipSpace() {
    while (pos_ < in_.size() && IsSpace(in_[pos_])) ++pos_;
  }

  bool XmlDeclaration() {
    if (!Peek("<?xml") || pos_ + 5 >= in_.size() || !IsSpace(in_[pos_ + 5])) return true;
    const size_t end = in_.find("?>", pos_);
    if (end == std::string_view::npos) return Fail("unterminated XML declaration");
    const std::string_view decl = in_.substr(pos_ + 5, end - pos_ - 5);
    if (const size_t at = decl.find("encoding"); at != std::string_view::npos) {
      size_t i = at + 8;
      while (i < decl.size() && (IsSpace(decl[i]) || decl[i] == '=')) ++i;
      if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) {
        return Fail("malformed XML declaration");
      }
      const size_t close = decl.find(decl[i], i + 1);
      if (close == std::string_view::npos) return Fail("malformed XML declaration");
      const std::string_view encoding = decl.substr(i + 1, close - i - 1);
      // Some encoders declare UTF-16 over single bytes; without a byte
      // order mark, bytes that are all ASCII read the same in UTF-8.
      const bool asciiUtf16 = EqualsIgnoringCase(encoding, "utf-16") && IsAscii(in_);
      if (!EqualsIgnoringCase(encoding, "utf-8") && !EqualsIgnoringCase(encoding, "us-ascii") &&
          !asciiUtf16) {
        return Fail("unsupported encoding (UTF-8 only)");
      }
    }
    pos_ = end + 2;
    return true;
  }

  // A comment or processing instruction at pos_: skipped, true. Anything
  // else: false (error_ set if it was a malformed one).
  bool Misc() {
    if (Peek("<!--")) return Comment();
    if (Peek("<?")) return Instruction();
    return false;
  }

  bool Comment() {
    const size_t end = in_.find("--", pos_ + 4);
    if (end == std::string_view::npos) return Fail("unterminated comment");
    if (end + 2 >= in_.size() || in_[end + 2] != '>') return Fail("'--' inside a comment");
    pos_ = end + 3;
    return true;
  }

  bool Instruction() {
    const size_t end = in_.find("?>", pos_ + 2);
    if (end == std::string_view::npos) return Fail("unterminated processing instruction");
    size_t i = pos_ + 2;
    while (i < end && IsNameChar(Byte(i))) ++i;
    if (EqualsIgnoringCase(in_.substr(pos_ + 2, i - pos_ - 2), "xml")) {
      return Fail("XML declaration not at the start");
    }
    pos_ = end + 2;
    return true;
  }

  // A name at pos_ (advanced past it), or empty after Fail.
  std::string_view Name() {
    const size_t start = pos_;
    if (pos_ >= in_.size() || !IsNameStart(Byte(pos_))) {
      Fail("name expected");
      return {};
    }
    while (pos_ < in_.size() && IsNameChar(Byte(pos_))) {
      if (pos_ - start >= limits_.maxNameLength) {
        Fail("name too long");
        return {};
      }
      ++pos_;
    }
    return in_.substr(start, pos_ - start);
  }

  static bool SplitQName(std::string_view qname, std::string_view& prefix,
                         std::string_view& local) {
    const size_t colon = qname.find(':');
    if (colon == std::string_view::npos) {
      prefix = {};
      local = qname;
      return !local.empty();
    }
    prefix = qname.substr(0, colon);
    local = qname.substr(colon + 1);
    return !prefix.empty() && !local.empty() && local.find(':') == std::string_view::npos &&
           IsNameStart(static_cast<unsigned char>(local[0]));
  }

  const std::string* Resolve(std::string_view prefix) {
    for (auto it = scope_.rbegin(); it != scope_.rend(); ++it) {
      if (it->prefix == prefix) return it->uri;
    }
    if (prefix.empty()) return empty_;
    for (const auto& b : doc_.implicit) {
      if (b.prefix == prefix) return b.uri;
    }
    for (const auto& [known, uri] : limits_.undeclaredPrefixes) {
      if (known == prefix) {
        doc_.implicit.push_back({std::string(prefix), doc_.Intern(uri)});
        return doc_.implicit.back().uri;
      }
    }
    return nullptr;
  }

  // Decodes raw character data into out: references, line ends, and for
  // attribute values white space normalization. False after Fail.
  bool Decode(std::string_view raw, std::string& out, bool attribute, size_t limit) {
    for (size_t i = 0; i < raw.size(); ++i) {
      char c = raw[i];
      if (c == '&') {
        const size_t semi = raw.find(';', i + 1);
        if (semi == std::string_view::npos || semi - i > 12) return Fail("malformed reference");
        const std::string_view ref = raw.substr(i + 1, semi - i - 1);
        if (!Reference(ref, out)) return false;
        i = semi;
      } else if (c == '\r') {
        if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
        out += attribute ? ' ' : '\n';
      } else if (attribute && (c == '\n' || c == '\t')) {
        out += ' ';
      } else if (c == '<') {
        return Fail("'<' in an attribute value");
      } else {
        out += c;
      }
      if (out.size() > limit) return Fail("text too long");
    }
    return true;
  }

  bool Reference(std::string_view ref, std::string& out) {
    if (ref == "lt") {
      out += '<';
    } else if (ref == "gt") {
      out += '>';
    } else if (ref == "amp") {
      out += '&';
    } else if (ref == "quot") {
      out += '"';
    } else if (ref == "apos") {
      out += '\'';
    } else if (ref.size() >= 2 && ref[0] == '#') {
      const bool hex = ref[1] == 'x';
      const std::string_view digits = ref.substr(hex ? 2 : 1);
      if (digits.empty()) return Fail("malformed character reference");
      uint32_t value = 0;
      for (char d : digits) {
        int v = -1;
        if (d >= '0' && d <= '9') v = d - '0';
        if (hex && d >= 'a' && d <= 'f') v = d - 'a' + 10;
        if (hex && d >= 'A' && d <= 'F') v = d - 'A' + 10;
        if (v < 0) return Fail("malformed character reference");
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(v);
        if (value > 0x10FFFF) return Fail("character reference out of range");
      }
      if (!IsXmlChar(value)) return Fail("character reference to a character XML forbids");
      AppendUtf8(out, value);
    } else {
      return Fail("reference to an undeclared entity");
    }
    return true;
  }

  bool StartTag(std::vector<Open>& stack) {
    const size_t begin = pos_;
    ++pos_;  // '<'
    const std::string_view qname = Name();
    if (qname.empty()) return false;
    struct RawAttr {
      std::string_view qname;
      std::string value;
    };
    std::vector<RawAttr> raw;
    bool selfClosing = false;
    for (;;) {
      const size_t before = pos_;
      SkipSpace();
      if (pos_ >= in_.size()) return Fail("unterminated start tag");
      if (Peek("/>")) {
        pos_ += 2;
        selfClosing = true;
        break;
      }
      if (in_[pos_] == '>') {
        ++pos_;
        break;
      }
      if (pos_ == before) return Fail("white space expected between attributes");
      if (raw.size() >= limits_.maxAttributes) return Fail("too many attributes");
      const std::string_view name = Name();
      if (name.empty()) return false;
      SkipSpace();
      if (pos_ >= in_.size() || in_[pos_] != '=') return Fail("'=' expected after attribute name");
      ++pos_;
      SkipSpace();
      if (pos_ >= in_.size() || (in_[pos_] != '"' && in_[pos_] != '\'')) {
        return Fail("quoted attribute value expected");
      }
      const size_t close = in_.find(in_[pos_], pos_ + 1);
      if (close == std::string_view::npos) return Fail("unterminated attribute value");
      for (const auto& a : raw) {
        if (a.qname == name) return Fail("attribute given twice");
      }
      RawAttr attr{name, {}};
      if (!Decode(in_.substr(pos_ + 1, close - pos_ - 1), attr.value, true, limits_.maxTextBytes)) {
        return false;
      }
      raw.push_back(std::move(attr));
      pos_ = close + 1;
    }

    if (doc_.nodes.size() >= limits_.maxElements) return Fail("too many elements");
    if (stack.size() >= limits_.maxDepth) return Fail("elements nested too deep");
    const size_t scopeMark = scope_.size();
    Node node;
    node.begin = begin;
    // Namespace declarations first: they apply to the element's own names.
    for (const auto& a : raw) {
      std::string_view prefix;
      if (a.qname == "xmlns") {
        prefix = {};
      } else if (a.qname.substr(0, 6) == "xmlns:") {
        prefix = a.qname.substr(6);
        if (prefix.empty() || prefix.find(':') != std::string_view::npos) {
          return Fail("malformed namespace declaration");
        }
        if (a.value.empty()) return Fail("namespace prefix bound to nothing");
        if (prefix == "xmlns") return Fail("the xmlns prefix cannot be declared");
      } else {
        continue;
      }
      if ((prefix == "xml") != (a.value == kXmlNamespace) || a.value == kXmlnsNamespace) {
        return Fail("reserved namespace misused");
      }
      if (scope_.size() >= limits_.maxNamespacesInScope) {
        return Fail("too many namespace declarations in scope");
      }
      const Binding binding{std::string(prefix), doc_.Intern(a.value)};
      node.bindings.push_back(binding);
      scope_.push_back(binding);
    }
    std::string_view prefix, local;
    if (!SplitQName(qname, prefix, local)) return Fail("malformed element name");
    if (prefix == "xmlns") return Fail("element with the xmlns prefix");
    node.ns = Resolve(prefix);
    if (node.ns == nullptr) {
      pos_ = begin;  // the element's start names what offends
      return Fail("undeclared namespace prefix '" + std::string(prefix) + "'");
    }
    node.name = local;
    for (auto& a : raw) {
      if (a.qname == "xmlns" || a.qname.substr(0, 6) == "xmlns:") continue;
      std::string_view attrPrefix, attrLocal;
      if (!SplitQName(a.qname, attrPrefix, attrLocal)) return Fail("malformed attribute name");
      // Unprefixed attributes are in no namespace, whatever the default.
      const std::string* ns = attrPrefix.empty() ? empty_ : Resolve(attrPrefix);
      if (ns == nullptr) {
        pos_ = begin;
        return Fail("undeclared namespace prefix '" + std::string(attrPrefix) + "'");
      }
      for (const auto& other : node.attributes) {
        if (other.ns == ns && other.name == attrLocal) return Fail("attribute given twice");
      }
      node.attributes.push_back({ns, std::string(attrLocal), std::move(a.value)});
    }

    const auto index = static_cast<uint32_t>(doc_.nodes.size());
    if (!stack.empty()) {
      Node& parent = doc_.nodes[stack.back().node];
      node.parent = stack.back().node;
      if (parent.lastChild == kNone) {
        parent.firstChild = index;
      } else {
        doc_.nodes[parent.lastChild].nextSibling = index;
      }
      parent.lastChild = index;
      ++parent.childCount;
    }
    if (selfClosing) node.end = pos_;
    doc_.nodes.push_back(std::move(node));
    if (selfClosing) {
      scope_.resize(scopeMark);
    } else {
      stack.push_back({index, qname, scopeMark});
    }
    return true;
  }

  bool EndTag(std::vector<Open>& stack) {
    pos_ += 2;  // "</"
    const std::string_view qname = Name();
    if (qname.empty()) return false;
    SkipSpace();
    if (pos_ >= in_.size() || in_[pos_] != '>') return Fail("unterminated end tag");
    ++pos_;
    if (qname != stack.back().qname) return Fail("end tag does not match its start tag");
    doc_.nodes[stack.back().node].end = pos_;
    scope_.resize(stack.back().scopeMark);
    stack.pop_back();
    return true;
  }

  // The root element and everything inside it.
  bool Content() {
    std::vector<Open> stack;
    if (!StartTag(stack)) return false;
    while (!stack.empty()) {
      if (pos_ >= in_.size()) return Fail("unterminated element");
      std::string& text = doc_.nodes[stack.back().node].text;
      if (Peek("</")) {
        if (!EndTag(stack)) return false;
      } else if (Peek("<!--")) {
        if (!Comment()) return false;
      } else if (Peek("<![CDATA[")) {
        const size_t end = in_.find("]]>", pos_ + 9);
        if (end == std::string_view::npos) return Fail("unterminated CDATA section");
        const std::string_view data = in_.substr(pos_ + 9, end - pos_ - 9);
        if (text.size() + data.size() > limits_.maxTextBytes) return Fail("text too long");
        // Line ends are normalized in CDATA too; no references there.
        for (size_t i = 0; i < data.size(); ++i) {
          if (data[i] == '\r') {
            if (i + 1 < data.size() && data[i + 1] == '\n') ++i;
            text += '\n';
          } else {
            text += data[i];
          }
        }
        pos_ = end + 3;
      } else if (Peek("<?")) {
        if (!Instruction()) return false;
      } else if (Peek("<!")) {
        return Fail("document type declarations are not accepted");
      } else if (in_[pos_] == '<') {
        if (!StartTag(stack)) return false;
      } else {
        size_t end = in_.find('<', pos_);
        if (end == std::string_view::npos) end = in_.size();
        const std::string_view raw = in_.substr(pos_, end - pos_);
        if (raw.find("]]>") != std::string_view::npos) return Fail("']]>' in text");
        if (!Decode(raw, text, false, limits_.maxTextBytes)) return false;
        pos_ = end;
      }
    }
    return true;
  }

  XmlTree& doc_;
  std::string_view in_;
  const XmlLimits& limits_;
  size_t pos_ = 0;
  std::string error_;
  const std::string* empty_ = nullptr;
  std::vector<Binding> scope_;
};

}  // namespace

XmlDocument::XmlDocument(std::unique_ptr<XmlTree> tree) : tree_(std::move(tree)) {}
XmlDocument::XmlDocument(XmlDocument&&) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&&) noexcept = default;
XmlDocument::~XmlDocument() = default;

XmlElement XmlDocument::Root() const {
  if (!tree_ || tree_->nodes.empty()) return {};
  return XmlElement(tree_.get(), 0);
}

size_t XmlDocument::ElementCount() const {
  return tree_ ? tree_->nodes.size() : 0;
}

std::optional<XmlDocument> XmlDocument::Parse(std::string_view input, std::string* error,
                                              const XmlLimits& limits) {
  if (input.size() > limits.maxInputBytes) {
    if (error) *error = "document too large";
    return std::nullopt;
  }
  auto tree = std::make_unique<XmlTree>();
  tree->source.assign(input);
  Parser parser(*tree, limits);
  if (!parser.Run()) {
    if (error) *error = parser.Error();
    return std::nullopt;
  }
  return XmlDocument(std::move(tree));
}

#define QRV_NODE() tree_->nodes[index_]

std::string_view XmlElement::Namespace() const {
  return tree_ ? std::string_view(*QRV_NODE().ns) : std::string_view();
}

std::string_view XmlElement::Name() const {
  return tree_ ? std::string_view(QRV_NODE().name) : std::string_view();
}

bool XmlElement::Is(std::string_view ns, std::string_view name) const {
  return tree_ && Namespace() == ns && Name() == name;
}

std::string_view XmlElement::Text() const {
  return tree_ ? std::string_view(QRV_NODE().text) : std::string_view();
}

std::string_view XmlElement::TrimmedText() const {
  std::string_view t = Text();
  while (!t.empty() && IsSpace(t.front())) t.remove_prefix(1);
  while (!t.empty() && IsSpace(t.back())) t.remove_suffix(1);
  return t;
}

std::optional<std::string_view> XmlElement::Attribute(std::string_view ns,
                                                      std::string_view name) const {
  if (!tree_) return std::nullopt;
  for (const auto& a : QRV_NODE().attributes) {
    if (*a.ns == ns && a.name == name) return std::string_view(a.value);
  }
  return std::nullopt;
}

std::vector<XmlAttribute> XmlElement::Attributes() const {
  std::vector<XmlAttribute> out;
  if (!tree_) return out;
  for (const auto& a : QRV_NODE().attributes) out.push_back({*a.ns, a.name, a.value});
  return out;
}

XmlElement XmlElement::Parent() const {
  if (!tree_ || QRV_NODE().parent == kNone) return {};
  return XmlElement(tree_, QRV_NODE().parent);
}

XmlElement XmlElement::FirstChild() const {
  if (!tree_ || QRV_NODE().firstChild == kNone) return {};
  return XmlElement(tree_, QRV_NODE().firstChild);
}

XmlElement XmlElement::NextSibling() const {
  if (!tree_ || QRV_NODE().nextSibling == kNone) return {};
  return XmlElement(tree_, QRV_NODE().nextSibling);
}

XmlElement XmlElement::Child(std::string_view ns, std::string_view name) const {
  for (XmlElement c = FirstChild(); c; c = c.NextSibling()) {
    if (c.Is(ns, name)) return c;
  }
  return {};
}

XmlElement XmlElement::NextNamed(std::string_view ns, std::string_view name) const {
  for (XmlElement c = NextSibling(); c; c = c.NextSibling()) {
    if (c.Is(ns, name)) return c;
  }
  return {};
}

size_t XmlElement::ChildCount() const {
  return tree_ ? QRV_NODE().childCount : 0;
}

std::optional<std::string_view> XmlElement::LookupPrefix(std::string_view prefix) const {
  if (!tree_) return std::nullopt;
  if (prefix == "xml") return kXmlNamespace;
  for (XmlElement e = *this; e; e = e.Parent()) {
    for (const auto& b : e.tree_->nodes[e.index_].bindings) {
      if (b.prefix == prefix) return std::string_view(*b.uri);
    }
  }
  if (prefix.empty()) return std::string_view();
  for (const auto& b : tree_->implicit) {
    if (b.prefix == prefix) return std::string_view(*b.uri);
  }
  return std::nullopt;
}

std::vector<std::pair<std::string_view, std::string_view>> XmlElement::Declarations() const {
  std::vector<std::pair<std::string_view, std::string_view>> out;
  if (!tree_) return out;
  for (const auto& b : QRV_NODE().bindings) out.emplace_back(b.prefix, *b.uri);
  return out;
}

std::string_view XmlElement::Source() const {
  if (!tree_) return {};
  const Node& n = QRV_NODE();
  return std::string_view(tree_->source).substr(n.begin, n.end - n.begin);
}

#undef QRV_NODE

std::optional<QName> ResolveQName(const XmlElement& element, std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  const size_t colon = text.find(':');
  const std::string_view prefix = colon == std::string_view::npos ? "" : text.substr(0, colon);
  const std::string_view local = colon == std::string_view::npos ? text : text.substr(colon + 1);
  if (local.empty() || local.find(':') != std::string_view::npos) return std::nullopt;
  if (colon != std::string_view::npos && prefix.empty()) return std::nullopt;
  for (char c : local) {
    if (!IsNameChar(static_cast<unsigned char>(c))) return std::nullopt;
  }
  auto ns = element.LookupPrefix(prefix);
  if (!ns) return std::nullopt;
  return QName{std::string(*ns), std::string(local)};
}

std::vector<std::string_view> SplitWhitespace(std::string_view text, size_t maxItems) {
  std::vector<std::string_view> items;
  size_t i = 0;
  while (i < text.size() && items.size() < maxItems) {
    while (i < text.size() && IsSpace(text[i])) ++i;
    const size_t start = i;
    while (i < text.size() && !IsSpace(text[i])) ++i;
    if (i > start) items.push_back(text.substr(start, i - start));
  }
  return items;
}

}  // namespace qrv::tmcc::onvif
