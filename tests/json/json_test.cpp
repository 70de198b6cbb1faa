#include "json/json.h"

#include "json/json_text.h"

#include <clocale>
#include <cmath>
#include <string>

#include <gtest/gtest.h>

namespace pxo {
namespace {

JsonValue parse(std::string_view text) {
  JsonValue value;
  EXPECT_TRUE(parseJsonDocument(text, &value)) << text;
  return value;
}

std::string roundTrip(std::string_view text) { return toJsonText(parse(text)); }

TEST(JsonRoundTrip, KeysKeepTheirOrder) {
  EXPECT_EQ(roundTrip(R"({"b":1,"a":2,"ab":3})"), R"({"b":1,"a":2,"ab":3})");
  EXPECT_EQ(roundTrip(R"({"Z":1,"\u00e9":3,"a":2})"),
            "{\"Z\":1,\"\xC3\xA9\":3,\"a\":2}");
  // A repeated key keeps its first place and its last value, in small
  // objects and in large ones (which index their keys while parsing).
  EXPECT_EQ(roundTrip(R"({"k":1,"j":0,"k":2})"), R"({"k":2,"j":0})");
  std::string large = "{";
  std::string expected = "{";
  for (int i = 0; i < 100; ++i) {
    large += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    if (i) expected += ",";
    expected += "\"k" + std::to_string(i) + "\":";
    expected += std::to_string(i == 3 || i == 70 ? 1000 + i : i);
  }
  large += R"("k3":1003,"k70":1070})";
  expected += "}";
  EXPECT_EQ(roundTrip(large), expected);

  JsonValue doc = JsonValue::makeObject();
  setNumber(doc, "z", 1);
  setString(doc, "a", "x");
  setNumber(doc, "z", 2);  // replaced in its place
  EXPECT_TRUE(doc.object.erase("a"));
  EXPECT_FALSE(doc.object.erase("a"));
  doc.object["m"] = JsonValue::makeArray();
  EXPECT_EQ(toJsonText(doc), R"({"z":2,"m":[]})");
}

TEST(JsonRoundTrip, NumberForms) {
  struct Case {
    const char* in;
    const char* out;
  };
  // Numbers written as JSON writes them come back as they were read, so a
  // document read and posted again keeps its bytes; anything else the
  // lenient reader accepts is written in the writer's own form.
  for (Case c : {Case{"3.0", "3.0"},
                 Case{"0.1", "0.1"},
                 Case{"-0", "-0"},
                 Case{"1e3", "1e3"},
                 Case{"-12", "-12"},
                 Case{"2.50", "2.50"},
                 Case{"1E+300", "1E+300"},
                 Case{"9223372036854775807", "9223372036854775807"},
                 Case{"1e-999", "1e-999"},
                 Case{"1e999", "null"},
                 // The largest exponent there is, after 80 digits.
                 Case{"9990000000000000000000000000000000000000000000000000000"
                      "0000000000000000000000000E9223372036854775807",
                      "null"},
                 Case{"-1e999", "null"},
                 Case{"01", "1"},
                 Case{"1.", "1"},
                 Case{"1-2", "1"},
                 Case{"+5", "5"},
                 Case{".5", "0.5"},
                 Case{"-", "0"},
                 Case{"e5", "0"}}) {
    EXPECT_EQ(roundTrip(c.in), c.out) << c.in;
  }
  // Numbers made in code: integers without a fraction, others with 17
  // significant digits.
  for (Case c : {Case{"3", "3"},
                 Case{"0.1", "0.10000000000000001"},
                 Case{"1e300", "1.0000000000000001e+300"},
                 Case{"9223372036854775807", "9.2233720368547758e+18"},
                 Case{"-9223372036854775808", "-9223372036854775808"}}) {
    EXPECT_EQ(toJsonText(JsonValue::makeNumber(parse(c.in).number)), c.out)
        << c.in;
  }
  JsonValue doc = parse(R"({"a":1.0})");
  setNumber(doc, "a", 2);
  EXPECT_EQ(toJsonText(doc), R"({"a":2})");
  JsonValue inf = JsonValue::makeNumber(INFINITY);
  EXPECT_EQ(toJsonText(inf), "null");
  EXPECT_EQ(toJsonText(JsonValue::makeNumber(NAN)), "null");
}

TEST(JsonRoundTrip, StringEscapes) {
  EXPECT_EQ(parse(R"("\u00e9")").string, "\xC3\xA9");
  EXPECT_EQ(parse(R"("\u20AC")").string, "\xE2\x82\xAC");
  EXPECT_EQ(parse(R"("a\/b\"c\\d\b\f\n\r\t")").string, "a/b\"c\\d\b\f\n\r\t");
  EXPECT_EQ(parse(R"("\q")").string, "q");  // any other escaped byte
  // An escaped surrogate pair is one character, four bytes of UTF-8.
  EXPECT_EQ(parse(R"("\ud83c\udf84")").string, "\xF0\x9F\x8E\x84");
  // A lone surrogate has no UTF-8 form; it is written as its own code.
  EXPECT_EQ(parse(R"("\ud83cx")").string,
            "\xED\xA0\xBC"
            "x");
  // Raw control bytes and UTF-8 pass through.
  EXPECT_EQ(parse("\"a\x01\tb\xC3\xA4\"").string, "a\x01\tb\xC3\xA4");

  JsonValue s =
      JsonValue::makeString("q\"b\\s/\x01\x1f\n\xC3\xA4\xF0\x9F\x8E\x84");
  EXPECT_EQ(toJsonText(s),
            "\"q\\\"b\\\\s/\\u0001\\u001f\\n\xC3\xA4\xF0\x9F\x8E\x84\"");
  // What the writer writes, the parser reads back the same.
  EXPECT_EQ(parse(toJsonText(s)).string, s.string);
}

// Other writers' habits, as the simulated controller reproduces them: the
// styled text reads back as the same value.
TEST(JsonStyles, SlashesAsciiNumbersAndIndent) {
  JsonValue doc =
      parse(R"({"s":"a/\u00e9\ud83c\udf84","n":[1.50,2e0,0.1],"e":[],"o":{}})");
  JsonStyle style;
  std::string text;
  writeJson(doc, style, &text);
  EXPECT_EQ(text, toJsonText(doc));  // the defaults are the compact text

  style.escapeSlash = true;
  style.asciiOnly = true;
  style.shortestNumbers = true;
  text.clear();
  writeJson(doc, style, &text);
  EXPECT_EQ(text,
            R"({"s":"a\/\u00e9\ud83c\udf84","n":[1.5,2,0.1],"e":[],"o":{}})");
  EXPECT_EQ(parse(text).object.at("s").string, doc.object.at("s").string);

  style.indent = "  ";
  text.clear();
  writeJson(doc, style, &text);
  EXPECT_EQ(text,
            "{\n  \"s\": \"a\\/\\u00e9\\ud83c\\udf84\",\n  \"n\": "
            "[\n    1.5,\n    2,\n    0.1\n  ],\n  \"e\": [],\n  \"o\": {}\n}");

  // Bytes that start no UTF-8 sequence, or a sequence cut short, are
  // U+FFFD each; what follows them is read as it stands.
  style = JsonStyle{};
  style.asciiOnly = true;
  text.clear();
  writeJson(JsonValue::makeString("a\xFF"
                                  "b\xC3"),
            style,
            &text);
  EXPECT_EQ(text, R"("a\ufffdb\ufffd")");
  text.clear();
  writeJson(JsonValue::makeString("\xE2\x82x"), style, &text);
  EXPECT_EQ(text, R"("\ufffd\ufffdx")");
  text.clear();
  writeJson(
      JsonValue::makeNumber(INFINITY), JsonStyle{true, true, true, {}}, &text);
  EXPECT_EQ(text, "null");
}

TEST(JsonParse, WhiteSpaceAndTrailingText) {
  JsonValue v = parse(" \t\r\n{ \"a\" : [ 1 , true , null ] }  trailing words");
  ASSERT_TRUE(v.isObject());
  EXPECT_EQ(toJsonText(v), R"({"a":[1,true,null]})");
  EXPECT_TRUE(parse("[]").isArray());
  EXPECT_TRUE(parse("{}").isObject());
}

TEST(JsonParse, LiteralsAreMatchedAsPrefixes) {
  JsonValue v = parse("truex");
  EXPECT_EQ(v.type, JsonType::kBoolean);
  EXPECT_TRUE(v.boolean);
  EXPECT_FALSE(parse("falsey").boolean);
  EXPECT_EQ(parse("nullable").type, JsonType::kNull);
  JsonValue out;
  EXPECT_FALSE(parseJsonDocument("[truex]", &out));
}

TEST(JsonParse, MalformedInputFails) {
  for (const char* bad : {"",
                          "   ",
                          "[1,]",
                          "{\"a\":1,}",
                          "[1 2]",
                          "{\"a\" 1}",
                          "{1:2}",
                          "\"open",
                          "\"esc\\",
                          "\"\\u12\"",
                          "tru",
                          "nul",
                          "[",
                          "{",
                          "{\"a\":",
                          "[,1]",
                          "]",
                          "}",
                          "{\"a\":1 \"b\":2}",
                          "x"}) {
    JsonValue out;
    EXPECT_FALSE(parseJsonDocument(bad, &out)) << "'" << bad << "'";
  }
}

TEST(JsonParse, NestingDepthIsBounded) {
  JsonValue out;
  std::string deep =
      std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']');
  EXPECT_TRUE(parseJsonDocument(deep, &out));
  std::string deeper = "[" + deep + "]";
  EXPECT_FALSE(parseJsonDocument(deeper, &out));
  std::string hostile(1 << 20, '{');
  EXPECT_FALSE(parseJsonDocument(hostile, &out));
  std::string hostileArrays(1 << 20, '[');
  EXPECT_FALSE(parseJsonDocument(hostileArrays, &out));
}

// A locale whose decimal separator is a comma must not change how numbers
// are read or written.
TEST(JsonNumbers, IgnoreTheProcessLocale) {
  const char* previous = std::setlocale(LC_ALL, nullptr);
  std::string saved = previous ? previous : "C";
  const char* comma = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"})
    if ((comma = std::setlocale(LC_ALL, name))) break;
  if (!comma || std::localeconv()->decimal_point[0] != ',') {
    std::setlocale(LC_ALL, saved.c_str());
    GTEST_SKIP() << "no locale with a decimal comma is installed";
  }
  EXPECT_DOUBLE_EQ(parse("1.5").number, 1.5);
  EXPECT_DOUBLE_EQ(parse("-2.25e1").number, -22.5);
  EXPECT_EQ(toJsonText(JsonValue::makeNumber(0.25)), "0.25");
  EXPECT_EQ(toJsonText(JsonValue::makeNumber(0.1)), "0.10000000000000001");
  EXPECT_EQ(roundTrip("[0.1,3.5]"), "[0.1,3.5]");
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(JsonLookups, IntegersStringsAndDefaults) {
  JsonValue v = parse(
      R"({"n":-2.7,"p":2.7,"t":true,"f":false,"s":"x","big":1e12,"neg":-1e12,
          "arr":[],"nul":null})");
  EXPECT_EQ(getInt(v, "n", 9), -2);
  EXPECT_EQ(getInt(v, "p", 9), 2);
  EXPECT_EQ(getInt(v, "t", 9), 1);
  EXPECT_EQ(getInt(v, "f", 9), 0);
  EXPECT_EQ(getInt(v, "s", 9), 9);
  EXPECT_EQ(getInt(v, "nul", 9), 9);
  EXPECT_EQ(getInt(v, "missing", 9), 9);
  EXPECT_EQ(getInt(v, "big", 9), INT32_MAX);
  EXPECT_EQ(getInt(v, "neg", 9), INT32_MIN);
  EXPECT_EQ(getString(v, "s", "d"), "x");
  EXPECT_EQ(getString(v, "n", "d"), "d");
  EXPECT_EQ(getString(v, "missing", "d"), "d");
  EXPECT_EQ(findMember(v, "arr")->type, JsonType::kArray);
  EXPECT_EQ(findMember(parse("[1]"), "a"), nullptr);
  EXPECT_EQ(getInt(parse("[1]"), "a", 4), 4);
}

TEST(JsonBuilders, InsertOrReplace) {
  JsonValue v = parse(R"({"a":"old","b":1})");
  setString(v, "a", "new");
  setNumber(v, "b", 2.5);
  setNumber(v, "c", 3);
  EXPECT_EQ(toJsonText(v), R"({"a":"new","b":2.5,"c":3})");
  JsonValue notObject = parse("[1]");
  setString(notObject, "k", "v");
  EXPECT_EQ(toJsonText(notObject), R"({"k":"v"})");
  // Copies are deep.
  JsonValue copy = v;
  setString(copy, "a", "changed");
  EXPECT_EQ(getString(v, "a", ""), "new");
}

TEST(JsonText, NumberRules) {
  EXPECT_EQ(jsonDouble(3.0), "3");
  EXPECT_EQ(jsonDouble(0.1), "0.1");
  EXPECT_EQ(jsonDouble(-2.0), "-2");
  EXPECT_EQ(jsonDouble(-0.0), "0");
  EXPECT_EQ(jsonDouble(1.0 / 3), "0.333333333");
  EXPECT_EQ(jsonDouble(1234567890.5), "1.23456789e+09");
  EXPECT_EQ(jsonDouble(1e300), "1e+300");
  EXPECT_EQ(jsonDouble(2.5e-7), "2.5e-07");
  EXPECT_EQ(jsonFloat(0.1f), "0.100000001");
  EXPECT_EQ(jsonDouble(NAN), "null");
  EXPECT_EQ(jsonDouble(INFINITY), "null");
  EXPECT_EQ(jsonDouble(-INFINITY), "null");
  EXPECT_EQ(jsonInt(-7), "-7");
  EXPECT_EQ(jsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(jsonList({}), "[]");
  EXPECT_EQ(JsonObjectText().text(), "{}");
  EXPECT_EQ(jsonPairList({{1, -2}, {0, 0}}), "[[1,-2],[0,0]]");
}

}  // namespace
}  // namespace pxo
