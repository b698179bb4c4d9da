// The XML reader: namespaces, character data, refusals and limits, and the
// writer's escaping read back.
#include <gtest/gtest.h>

#include <string>

#include "tmcc/onvif/codec/xml_reader.h"
#include "tmcc/onvif/codec/xml_writer.h"

namespace onvif = qrv::tmcc::onvif;
using onvif::XmlDocument;
using onvif::XmlElement;

namespace {

XmlDocument MustParse(std::string_view xml) {
  std::string error;
  auto doc = XmlDocument::Parse(xml, &error);
  EXPECT_TRUE(doc) << error << "\n" << xml;
  if (!doc) return std::move(*XmlDocument::Parse("<empty/>"));
  return std::move(*doc);
}

// The reason a document is refused, or "" when it parses.
std::string Refusal(std::string_view xml, const onvif::XmlLimits& limits = {}) {
  std::string error;
  return XmlDocument::Parse(xml, &error, limits) ? std::string() : error;
}

}  // namespace

TEST(XmlReader, NamespacesAreScopedRedeclaredAndResolvedNotMatchedByPrefix) {
  auto doc = MustParse(
      "<a:root xmlns:a='urn:one' xmlns='urn:default' plain='1' a:q='2'>"
      "  <a:x xmlns:a='urn:two'><a:y/></a:x>"
      "  <a:z/>"
      "  <d/>"
      "  <u xmlns=''><v/></u>"
      "</a:root>");
  const XmlElement root = doc.Root();
  EXPECT_TRUE(root.Is("urn:one", "root"));
  // Unprefixed attributes are in no namespace even under a default namespace.
  EXPECT_EQ(root.Attribute("", "plain"), "1");
  EXPECT_FALSE(root.Attribute("urn:default", "plain"));
  EXPECT_EQ(root.Attribute("urn:one", "q"), "2");
  EXPECT_FALSE(root.Attribute("", "q"));
  // Declarations are no attributes.
  const auto attributes = root.Attributes();
  ASSERT_EQ(attributes.size(), 2u);
  EXPECT_EQ(attributes[1].ns, "urn:one");
  EXPECT_EQ(attributes[1].name, "q");
  EXPECT_EQ(attributes[1].value, "2");

  const XmlElement x = root.FirstChild();
  EXPECT_TRUE(x.Is("urn:two", "x"));
  EXPECT_TRUE(x.FirstChild().Is("urn:two", "y"));
  // The redeclaration ends with its element.
  EXPECT_TRUE(root.Child("urn:one", "z"));
  EXPECT_FALSE(root.Child("urn:two", "z"));
  EXPECT_TRUE(root.Child("urn:default", "d"));
  const XmlElement u = root.Child("", "u");
  ASSERT_TRUE(u);
  EXPECT_TRUE(u.FirstChild().Is("", "v"));
  EXPECT_EQ(root.ChildCount(), 4u);
  EXPECT_EQ(x.FirstChild().Parent().Name(), "x");

  // QName values in text resolve where they stand.
  EXPECT_EQ(x.LookupPrefix("a"), "urn:two");
  EXPECT_EQ(root.LookupPrefix("a"), "urn:one");
  EXPECT_FALSE(root.LookupPrefix("nope"));
  auto q = onvif::ResolveQName(x.FirstChild(), " a:Motion ");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->ns, "urn:two");
  EXPECT_EQ(q->local, "Motion");
  EXPECT_FALSE(onvif::ResolveQName(x, "b:Motion"));
  EXPECT_FALSE(onvif::ResolveQName(x, "a:b:c"));
  EXPECT_FALSE(onvif::ResolveQName(x, ""));

  // A null handle answers everything with nothing, so lookups chain.
  const XmlElement none = root.Child("urn:nowhere", "a").Child("urn:x", "b");
  EXPECT_FALSE(none);
  EXPECT_EQ(none.Text(), "");
  EXPECT_FALSE(none.Attribute("", "a"));
  EXPECT_FALSE(none.LookupPrefix(""));
}

TEST(XmlReader, CharacterDataIsDecoded) {
  auto doc = MustParse(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- a comment -->\n<?pi data?>"
      "<r a=\"x&lt;&#65;&#x42;\ty\r\nz\" b='&quot;&apos;&amp;&gt;&#10;'>"
      "one &amp; two<!-- c --> <![CDATA[<not> &amp; markup]]>\r\nline&#x20AC;<c>child</c>tail"
      "</r>\n<!-- after -->\n");
  const XmlElement r = doc.Root();
  // Literal white space in attributes is normalized; a reference keeps its character.
  EXPECT_EQ(r.Attribute("", "a"), "x<AB y z");
  EXPECT_EQ(r.Attribute("", "b"), "\"'&>\n");
  EXPECT_EQ(r.Text(),
            "one & two <not> &amp; markup\nline\xE2\x82\xAC"
            "tail");
  EXPECT_EQ(r.FirstChild().Text(), "child");
  EXPECT_EQ(r.FirstChild().Source(), "<c>child</c>");
  EXPECT_EQ(MustParse("<r>  padded \n</r>").Root().TrimmedText(), "padded");
  // A byte order mark is allowed before the document.
  EXPECT_EQ(Refusal("\xEF\xBB\xBF<r/>"), "");
}

TEST(XmlReader, RefusesWhatIsNotOneWellFormedDocument) {
  const char* bad[] = {
      "",
      "   ",
      "<r>",
      "<r></s>",
      "<a><b></a></b>",
      "<r/><r/>",
      "text<r/>",
      "<r/>text",
      "<r a='1' a='2'/>",
      "<r xmlns:p='urn:x' xmlns:q='urn:x' p:a='1' q:a='2'/>",
      "<p:r/>",
      "<r p:a='1'/>",
      "<r xmlns:p=''/>",
      "<xmlns:r/>",
      "<r xmlns:xml='urn:not-xml'/>",
      "<r a=1/>",
      "<r a='<'/>",
      "<r a='1'b='2'/>",
      "<r>&unknown;</r>",
      "<r>&#0;</r>",
      "<r>&#xD800;</r>",
      "<r>&#1114112;</r>",
      "<r>&#x;</r>",
      "<r>& amp;</r>",
      "<r>]]></r>",
      "<r><![CDATA[open</r>",
      "<r><!-- open </r>",
      "<r><!-- a -- b --></r>",
      "<r>\x01</r>",
      "<r>\xC3\x28</r>",
      "<r>\xC0\xAF</r>",
      "<r>\xED\xA0\x80</r>",
      "<r>\xEF\xBF\xBE</r>",
      "<r/><?xml version='1.0'?>",
      "<?xml version='1.0' encoding='ISO-8859-1'?><r/>",
      "<r><1/></r>",
      "<a:b:c xmlns:a='urn:x'/>",
  };
  for (const char* xml : bad) EXPECT_NE(Refusal(xml), "") << xml;
}

TEST(XmlReader, RefusesDocumentTypesSoNoEntityIsEverExpanded) {
  // The classic exponential entity expansion, and an external entity.
  const std::string laughs =
      "<?xml version='1.0'?><!DOCTYPE lolz [<!ENTITY lol 'lol'>"
      "<!ENTITY lol2 '&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;'>]><lolz>&lol2;</lolz>";
  EXPECT_NE(Refusal(laughs).find("document type"), std::string::npos) << Refusal(laughs);
  EXPECT_NE(Refusal("<!DOCTYPE r SYSTEM 'file:///etc/passwd'><r/>"), "");
  EXPECT_NE(Refusal("<r><!DOCTYPE x></r>"), "");
  EXPECT_NE(Refusal("<r><!ENTITY x 'y'></r>"), "");
}

TEST(XmlReader, EnforcesItsLimits) {
  onvif::XmlLimits limits;
  limits.maxInputBytes = 64;
  EXPECT_EQ(Refusal("<r>" + std::string(50, 'x') + "</r>", limits), "");
  EXPECT_NE(Refusal("<r>" + std::string(60, 'x') + "</r>", limits), "");

  auto nested = [](size_t depth) {
    std::string s;
    for (size_t i = 0; i < depth; ++i) s += "<e>";
    for (size_t i = 0; i < depth; ++i) s += "</e>";
    return s;
  };
  EXPECT_EQ(Refusal(nested(32)), "");
  EXPECT_NE(Refusal(nested(33)).find("deep"), std::string::npos);
  // Far beyond the depth: refused early, not by running out of stack.
  EXPECT_NE(Refusal(nested(100000)), "");

  std::string many = "<r>";
  for (int i = 0; i < 10000; ++i) many += "<e/>";
  many += "</r>";
  EXPECT_NE(Refusal(many).find("too many elements"), std::string::npos);

  EXPECT_EQ(Refusal("<" + std::string(256, 'n') + "/>"), "");
  EXPECT_NE(Refusal("<" + std::string(257, 'n') + "/>"), "");

  std::string attrs = "<r";
  for (int i = 0; i < 65; ++i) attrs += " a" + std::to_string(i) + "='1'";
  EXPECT_NE(Refusal(attrs + "/>"), "");

  // Namespace declarations pile up down the tree; lookups walk them all.
  std::string declarations;
  for (int depth = 0; depth < 3; ++depth) {
    declarations += "<e";
    for (int i = 0; i < 50; ++i) {
      declarations += " xmlns:p" + std::to_string(depth) + "_" + std::to_string(i) + "='urn:x'";
    }
    declarations += ">";
  }
  EXPECT_NE(Refusal(declarations + "</e></e></e>").find("namespace"), std::string::npos);

  limits = {};
  limits.maxTextBytes = 8;
  EXPECT_EQ(Refusal("<r>12345678</r>", limits), "");
  EXPECT_NE(Refusal("<r>1234<![CDATA[5678]]>9</r>", limits), "");
  EXPECT_NE(Refusal("<r a='123456789'/>", limits), "");
}

TEST(XmlWriter, EscapedTextReadsBackAsWritten) {
  const std::string hostile = "</a><b x=\"1\">&amp;'\"\t\nline\r]]> \xE2\x82\xAC \xF0\x9F\x98\x80";
  std::string xml;
  onvif::XmlWriter(xml).Start("r").Attr("a", hostile).Text(hostile).End("r");
  auto doc = MustParse(xml);
  EXPECT_EQ(doc.Root().ChildCount(), 0u);
  EXPECT_EQ(doc.Root().Attribute("", "a"), hostile);
  EXPECT_EQ(doc.Root().Text(), hostile);
  // What XML cannot carry is dropped rather than breaking the document.
  EXPECT_EQ(onvif::EscapeXml(std::string("a\x01"
                                         "b\xFF"
                                         "c\xC3",
                                         6)),
            "abc");
  EXPECT_EQ(onvif::EscapeXml("\xED\xA0\x80x"), "x");
  std::string empty;
  onvif::XmlWriter(empty).Start("e").Attr("k", "v").End("e");
  EXPECT_EQ(empty, "<e k=\"v\"/>");
}
