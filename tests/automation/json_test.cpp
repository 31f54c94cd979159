// The property bag's JSON reader and writer: exact round trips, and a clear refusal with the
// byte offset for every malformed text, never a read past its end.
#include "automation/json.h"

#include <gtest/gtest.h>

#include "platform/error.h"

namespace vastrel::automation::json {
namespace {

TEST(JsonText, RoundTripsValuesEscapesAndOrder) {
  const std::string text =
      "{\"b\": [true, false, null], \"a\": -9223372036854775808, \"f\": 2.5e-3,"
      " \"s\": \"q\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0001\\u00e9\\ud83d\\ude00\"}";
  const Value v = Parse(text);
  ASSERT_EQ(v.kind(), Value::Kind::kObject);
  EXPECT_EQ(v.members()[0].first, "b") << "members keep their text order";
  EXPECT_EQ(v.Find("a")->AsInteger(), INT64_MIN);
  EXPECT_FALSE(v.Find("f")->is_integer());
  EXPECT_DOUBLE_EQ(v.Find("f")->AsNumber(), 0.0025);
  EXPECT_EQ(v.Find("s")->AsString(), "q\"\\/\b\f\n\r\t\x01\xC3\xA9\xF0\x9F\x98\x80");
  // What the writer gives, the reader takes back unchanged.
  for (bool pretty : {true, false}) {
    const Value back = Parse(v.Write(pretty));
    EXPECT_EQ(back.Write(false), v.Write(false));
  }
  EXPECT_EQ(Parse("  [ ]  ").items().size(), 0u);
  EXPECT_EQ(Parse("{}").members().size(), 0u);
  EXPECT_EQ(Parse("18446744073709551616").kind(), Value::Kind::kNumber)
      << "an integer beyond 64 bits is kept as a number";
}

TEST(JsonText, MalformedTextIsRefusedWithItsPlace) {
  const struct {
    std::string text;
    const char* message;
  } rows[] = {
      {"", "value expected at byte 0"},
      {"{\"a\":1,}", "member name expected at byte 7"},
      {"[1,]", "value expected at byte 3"},
      {"{\"a\":1 \"b\":2}", "',' or '}' expected at byte 7"},
      {"{\"a\":1,\"a\":2}", "repeated member name at byte 10"},
      {"\"abc", "unterminated string at byte 4"},
      {"\"a\\x\"", "unknown escape at byte 4"},
      {"\"\\u12\"", "short \\u escape at byte 3"},
      {"\"\\u12g4\"", "bad \\u escape at byte 6"},
      {"\"\\ud800x\"", "lone surrogate at byte 7"},
      {"\"\\udc00\"", "lone surrogate at byte 7"},
      {std::string("\"a\nb\""), "control character in string at byte 3"},
      {"01", "text after the value at byte 1"},
      {"1.", "digit expected at byte 2"},
      {"-", "value expected at byte 1"},
      {"1e999", "number out of range at byte 5"},
      {"tru", "unknown word at byte 0"},
      {"nul", "unknown word at byte 0"},
      {"[1] x", "text after the value at byte 4"},
      {std::string(200, '['), "nesting too deep at byte 65"},
  };
  for (const auto& row : rows) {
    try {
      Parse(row.text);
      ADD_FAILURE() << "accepted: " << row.text;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), std::string("Invalid property bag: ") + row.message) << row.text;
    }
  }
}

}  // namespace
}  // namespace vastrel::automation::json
