// coil::Properties, the property-file format and coil::stringTo.
#include <coil/Properties.h>
#include <coil/stringutil.h>

#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include "property_file.h"

namespace {

using Names = std::vector<std::string>;

coil::Properties load(const std::string& text) {
  coil::Properties p;
  std::istringstream in(text);
  p.load(in);
  return p;
}

TEST(PropertyFile, SeparatorsCommentsAndBlanks) {
  coil::Properties p = load(
      "# a comment line\n"
      "   ! another comment\n"
      "\n"
      "   \t\n"
      "colon.key: value one\n"
      "equals.key = value two\n"
      "blank.key value three\n"
      "  indented :   trimmed both ends   \n"
      "url: http://host:8080/x\n"
      "not.a.comment: value # stays\n"
      "crlf.key: dos\r\n"
      "bare.key\n");
  EXPECT_EQ(p.getProperty("colon.key"), "value one");
  EXPECT_EQ(p.getProperty("equals.key"), "value two");
  EXPECT_EQ(p.getProperty("blank.key"), "value three");
  EXPECT_EQ(p.getProperty("indented"), "trimmed both ends");
  EXPECT_EQ(p.getProperty("url"), "http://host:8080/x") << "only the first ':' separates";
  EXPECT_EQ(p.getProperty("not.a.comment"), "value # stays");
  EXPECT_EQ(p.getProperty("crlf.key"), "dos");
  EXPECT_NE(p.findNode("bare.key"), nullptr);
  EXPECT_EQ(p.getProperty("bare.key"), "");
  EXPECT_EQ(p.size(), 8);
}

TEST(PropertyFile, ContinuationAndEscapes) {
  coil::Properties p = load(
      "list: a, \\\n"
      "      b, \\\n"
      "# a comment inside is skipped\n"
      "      c\n"
      "escaped\\:key: x\n"
      "tab: a\\tb\n"
      "backslash: C:\\\\temp\n"
      "ends.with.escaped.backslash: x\\\\\n"
      "next: y\n"
      "last: unfinished \\");
  EXPECT_EQ(p.getProperty("list"), "a, b, c");
  EXPECT_EQ(p.getProperty("escaped:key"), "x");
  EXPECT_EQ(p.getProperty("tab"), "a\tb");
  EXPECT_EQ(p.getProperty("backslash"), "C:\\temp");
  EXPECT_EQ(p.getProperty("ends.with.escaped.backslash"), "x\\")
      << "an escaped backslash does not continue the line";
  EXPECT_EQ(p.getProperty("next"), "y");
  EXPECT_EQ(p.getProperty("last"), "unfinished") << "a continuation at the end still counts";
}

TEST(PropertyFile, EntriesKnowTheirFirstLine) {
  std::istringstream in("# header\nfirst: 1\n\nsecond: a \\\n  b\n: no key\n");
  std::vector<rtm_standin::PropertyEntry> entries = rtm_standin::parsePropertyStream(in);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].line, 2);
  EXPECT_EQ(entries[1].key, "second");
  EXPECT_EQ(entries[1].value, "a b");
  EXPECT_EQ(entries[1].line, 4);
  EXPECT_EQ(entries[2].key, "");
  EXPECT_EQ(entries[2].line, 6);
}

TEST(Properties, DefaultsArrayKeepsOrderAndStopsAtEmptyKey) {
  // Declared the way a component declares its profile.
  static const char* spec[] = {"implementation_id",
                               "Thing",
                               "type_name",
                               "Thing",
                               "conf.default.a",
                               "1",
                               "conf.default.b",
                               " two ",
                               "conf.__widget__.a",
                               "text",
                               "",
                               "ignored",
                               "after.end",
                               "ignored"};
  coil::Properties p(spec);
  EXPECT_EQ(p.propertyNames(), (Names{"implementation_id", "type_name", "conf.default.a",
                                      "conf.default.b", "conf.__widget__.a"}));
  EXPECT_EQ(p.getProperty("conf.default.b"), "two") << "pairs are trimmed";
  EXPECT_EQ(p.getDefault("type_name"), "Thing");
  EXPECT_STREQ(p.findNode("type_name")->getValue(), "") << "the array gives defaults";
  EXPECT_EQ(p.findNode("after.end"), nullptr);

  coil::Properties limited(spec, 4);
  EXPECT_EQ(limited.size(), 2) << "num counts array entries, not pairs";
}

TEST(Properties, ValuesOverrideDefaultsUntilCleared) {
  coil::Properties p;
  p.setDefault("a.b", "default");
  EXPECT_EQ(p.getProperty("a.b"), "default");
  EXPECT_EQ(p.setProperty("a.b", "value"), "");
  EXPECT_EQ(p.getProperty("a.b"), "value");
  EXPECT_EQ(p.setProperty("a.b", ""), "value");
  EXPECT_EQ(p.getProperty("a.b"), "default");
  EXPECT_EQ(p.getProperty("missing"), "");
  EXPECT_EQ(p.getProperty("missing", "fallback"), "fallback");
  EXPECT_EQ(p.getProperty("a.b", "fallback"), "default");
}

TEST(Properties, TreeNodesAndNamesDepthFirst) {
  coil::Properties p;
  p.setProperty("x.one", "1");
  p.setProperty("y", "2");
  p.setProperty("x.two", "3");
  EXPECT_EQ(p.propertyNames(), (Names{"x.one", "x.two", "y"}));
  coil::Properties& x = p.getNode("x");
  EXPECT_EQ(x.propertyNames(), (Names{"one", "two"}));
  x.setProperty("three", "4");
  EXPECT_EQ(p.getProperty("x.three"), "4");
  EXPECT_TRUE(p.createNode("z.w"));
  EXPECT_FALSE(p.createNode("z.w"));
  EXPECT_NE(p.hasKey("x"), nullptr);
  EXPECT_EQ(p.hasKey("x.one"), nullptr) << "hasKey looks at direct children only";
  delete p.removeNode("x");
  EXPECT_EQ(p.findNode("x.one"), nullptr);
}

TEST(Properties, CopyIsDeepAndMergeCopiesValuesAndDefaults) {
  coil::Properties a;
  a.setProperty("k.v", "1");
  a.setDefault("k.d", "2");
  coil::Properties b(a);
  b.setProperty("k.v", "changed");
  EXPECT_EQ(a.getProperty("k.v"), "1");

  coil::Properties c;
  c.setProperty("k.v", "old");
  c.setProperty("other", "kept");
  c << a;
  EXPECT_EQ(c.getProperty("k.v"), "1");
  EXPECT_EQ(c.getProperty("k.d"), "2");
  EXPECT_STREQ(c.findNode("k.d")->getValue(), "2") << "a default arrives as a value";
  EXPECT_EQ(c.getProperty("other"), "kept");

  coil::Properties d;
  d = c;
  EXPECT_EQ(d.propertyNames(), c.propertyNames());
}

TEST(Properties, IndexOperatorCreatesAndListWrites) {
  coil::Properties p;
  p["a"] = "1";
  p.setDefault("b", "2");
  EXPECT_EQ(p["b"], "2");
  const coil::Properties& cp = p;
  EXPECT_EQ(cp["missing"], "");
  EXPECT_EQ(cp.findNode("missing"), nullptr) << "the const operator creates nothing";
  std::ostringstream out;
  p.list(out);
  EXPECT_EQ(out.str(), "a: 1\nb: 2\n");

  std::ostringstream stored;
  p.setProperty("c", "x\\y");
  p.store(stored, " saved");
  coil::Properties back = load(stored.str());
  EXPECT_EQ(back.getProperty("c"), "x\\y");
  EXPECT_EQ(back.getProperty("a"), "1");
}

TEST(StringTo, NumbersByStreamExtraction) {
  double d = 0;
  EXPECT_TRUE(coil::stringTo(d, "0.5488"));
  EXPECT_DOUBLE_EQ(d, 0.5488);
  EXPECT_TRUE(coil::stringTo(d, "  -2e3"));
  EXPECT_DOUBLE_EQ(d, -2000);
  EXPECT_TRUE(coil::stringTo(d, "1.5m")) << "extraction stops at the first foreign character";
  EXPECT_DOUBLE_EQ(d, 1.5);
  int i = 0;
  EXPECT_TRUE(coil::stringTo(i, "42"));
  EXPECT_EQ(i, 42);
}

TEST(StringTo, FailureKeepsTheValue) {
  // A plain stream extraction would store 0 (or the limit) on failure.
  double d = 0.75;
  EXPECT_FALSE(coil::stringTo(d, "abc"));
  EXPECT_DOUBLE_EQ(d, 0.75);
  EXPECT_FALSE(coil::stringTo(d, ""));
  EXPECT_DOUBLE_EQ(d, 0.75);
  EXPECT_FALSE(coil::stringTo(d, nullptr));
  EXPECT_DOUBLE_EQ(d, 0.75);
  int i = 7;
  EXPECT_FALSE(coil::stringTo(i, "99999999999999999999"));
  EXPECT_EQ(i, 7);
  std::string s = "kept";
  EXPECT_FALSE(coil::stringTo(s, nullptr));
  EXPECT_EQ(s, "kept");
}

TEST(StringTo, StringTakesTheWholeText) {
  std::string s;
  EXPECT_TRUE(coil::stringTo(s, "  COM 3  "));
  EXPECT_EQ(s, "  COM 3  ");
  EXPECT_TRUE(coil::stringTo(s, ""));
  EXPECT_EQ(s, "");
}

TEST(StringTo, BooleansAndLists) {
  bool b = false;
  for (const char* yes : {"true", "TRUE", "1", "yes", "On"}) {
    b = false;
    EXPECT_TRUE(coil::stringTo(b, yes)) << yes;
    EXPECT_TRUE(b) << yes;
  }
  for (const char* no : {"false", "0", "No", "off"}) {
    b = true;
    EXPECT_TRUE(coil::stringTo(b, no)) << no;
    EXPECT_FALSE(b) << no;
  }
  b = true;
  EXPECT_FALSE(coil::stringTo(b, "maybe"));
  EXPECT_TRUE(b);

  std::vector<double> v{9};
  EXPECT_TRUE(coil::stringTo(v, "1, 2.5 ,3"));
  EXPECT_EQ(v, (std::vector<double>{1, 2.5, 3}));
  EXPECT_FALSE(coil::stringTo(v, "1, x, 3"));
  EXPECT_EQ(v, (std::vector<double>{1, 2.5, 3})) << "all or nothing";
}

TEST(StringUtil, SplitTrimsAndMayDropEmpties) {
  EXPECT_EQ(coil::split(" a , b,,c ", ","), (Names{"a", "b", "", "c"}));
  EXPECT_EQ(coil::split(" a , b,,c ", ",", true), (Names{"a", "b", "c"}));
  EXPECT_TRUE(coil::split("", ",").empty());
  EXPECT_EQ(coil::toUpper("Back"), "BACK");
  EXPECT_EQ(coil::toLower("Back"), "back");
}

}  // namespace
