// The property bag's JSON: what the strict parser refuses and where it says the fault is,
// values surviving a write and a parse, and input cut or damaged anywhere never read past.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "automation/json.h"

namespace vastrel::automation::json {
namespace {

// Parses a copy of the text in a buffer of exactly its size, so that the sanitizer build
// catches any read beyond the input.
Value ParseExact(std::string_view text, const ParseOptions& options = {}) {
  std::vector<char> copy(text.begin(), text.end());
  return Parse(std::string_view(copy.data(), copy.size()), options);
}

// ---- Values that survive ---------------------------------------------------------------------

TEST(JsonRoundTrip, EveryKindComesBackInOrder) {
  Object inner;
  inner.Append("zeta", 1);
  inner.Append("alpha", Array{});
  inner.Append("mid", Object{});
  Object top;
  top.Append("null", nullptr);
  top.Append("yes", true);
  top.Append("no", false);
  top.Append("min", std::numeric_limits<int64_t>::min());
  top.Append("max", std::numeric_limits<int64_t>::max());
  top.Append("third", 1.0 / 3.0);
  top.Append("whole double", 3.0);
  top.Append("tiny", 5e-324);
  top.Append("text", "quote \" backslash \\ slash / tab \t newline \n bell \x07 del \x7F");
  top.Append("unicode", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");  // é € 😀
  top.Append("nul", std::string("a\0b", 3));
  top.Append("list", Array{1, "two", Array{3.5, nullptr}, inner});
  top.Append("inner", inner);

  const std::string text = Write(Value(top));
  const Value back = ParseExact(text);
  EXPECT_EQ(back, Value(top)) << text;
  ASSERT_TRUE(back.AsObject().Find("whole double")->kind() == Value::Kind::kDouble);
  // The order of members is the order of insertion, not of names.
  std::vector<std::string> names;
  for (const Member& m : back.AsObject().Find("inner")->AsObject()) names.push_back(m.name);
  EXPECT_EQ(names, (std::vector<std::string>{"zeta", "alpha", "mid"}));
}

TEST(JsonWrite, IsIndentedWithPlainListsOnOneLine) {
  Object o;
  o.Append("a", Array{1, 2});
  o.Append("b", Array{Object{}});
  EXPECT_EQ(Write(Value(o)), "{\n  \"a\": [1, 2],\n  \"b\": [\n    {}\n  ]\n}\n");
  EXPECT_EQ(Write(Value("\x01")), "\"\\u0001\"\n");
}

TEST(JsonWrite, RefusesWhatJsonCannotHold) {
  EXPECT_THROW(Write(Value(std::nan(""))), vastrel::Exception);
  EXPECT_THROW(Write(Value(std::numeric_limits<double>::infinity())), vastrel::Exception);
  EXPECT_THROW(Write(Value("\xC3")), vastrel::Exception);          // cut sequence
  EXPECT_THROW(Write(Value("\xED\xA0\x80")), vastrel::Exception);  // a surrogate
}

TEST(JsonParse, ReadsNumbersAsWholeOrDouble) {
  EXPECT_EQ(ParseExact("-0"), Value(0));
  EXPECT_EQ(ParseExact("9223372036854775807"), Value(std::numeric_limits<int64_t>::max()));
  EXPECT_EQ(ParseExact("-9223372036854775808"), Value(std::numeric_limits<int64_t>::min()));
  // Beyond int64: a double.
  EXPECT_EQ(ParseExact("9223372036854775808"), Value(9223372036854775808.0));
  EXPECT_EQ(ParseExact("1E2"), Value(100.0));
  EXPECT_EQ(ParseExact("2.5e-1"), Value(0.25));
  EXPECT_EQ(ParseExact(" \t\r\n 7 \n"), Value(7));
  EXPECT_EQ(ParseExact("\xEF\xBB\xBF[]"), Value(Array{}));
}

TEST(JsonParse, ReadsEscapesAndSurrogatePairs) {
  EXPECT_EQ(ParseExact(R"("\u00e9\u20AC\ud83d\ude00\/\b\f\u0000")"),
            Value(std::string("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80/\b\f\0", 13)));
}

// ---- What it refuses, and where ----------------------------------------------------------------

struct Bad {
  const char* text;
  int line;
  int column;
  const char* message;
};

class JsonRefuses : public ::testing::TestWithParam<Bad> {};

TEST_P(JsonRefuses, WithLineAndColumn) {
  const Bad& b = GetParam();
  try {
    ParseExact(b.text);
    FAIL() << "accepted: " << b.text;
  } catch (const ParseError& e) {
    EXPECT_EQ(e.Line(), b.line) << e.what();
    EXPECT_EQ(e.Column(), b.column) << e.what();
    EXPECT_THAT(e.what(), ::testing::HasSubstr(b.message));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Strict, JsonRefuses,
    ::testing::Values(
        Bad{"", 1, 1, "expected a value, found the end of the text"},
        Bad{"{\"a\": 1,}", 1, 9, "expected a member name in double quotes, found '}'"},
        Bad{"[1, 2,]", 1, 7, "expected a value, found ']'"},
        Bad{"[1 2]", 1, 4, "expected ',' or ']' after an array element, found '2'"},
        Bad{"{\"a\" 1}", 1, 6, "expected ':' after the member name"},
        Bad{"{\"a\": 1 \"b\": 2}", 1, 9, "expected ',' or '}' after an object member"},
        Bad{"{'a': 1}", 1, 2, "expected a member name in double quotes, found '''"},
        Bad{"// note\n{}", 1, 1, "expected a value, found '/'"},
        Bad{"{\n  \"a\": 1,\n  \"a\": 2\n}", 3, 3, "duplicate member name \"a\""},
        Bad{"[NaN]", 1, 2, "expected a value, found 'N'"}, Bad{"tru", 1, 1, "expected a value"},
        Bad{"nul", 1, 1, "expected a value"}, Bad{"007", 1, 1, "leading zeros"},
        Bad{"-", 1, 1, "invalid number"}, Bad{"1.", 1, 1, "digits must follow the decimal point"},
        Bad{".5", 1, 1, "expected a value, found '.'"},
        Bad{"1e", 1, 1, "digits must follow the exponent mark"},
        Bad{"+1", 1, 1, "expected a value, found '+'"}, Bad{"1e400", 1, 1, "number out of range"},
        Bad{"[1] [2]", 1, 5, "unexpected text after the value, found '['"},
        Bad{"\"abc", 1, 1, "text not closed by a double quote"},
        Bad{"\"a\tb\"", 1, 3, "control character inside a text"},
        Bad{"\"\\x41\"", 1, 2, "invalid escape"},
        Bad{"\"\\u12\"", 1, 6, "expected four hex digits after \\u, found '\"'"},
        Bad{"\"\\udc00\"", 1, 2, "unpaired surrogate"},
        Bad{"\"\\ud800\"", 1, 2, "unpaired surrogate"},
        Bad{"\"\\ud800\\u0041\"", 1, 2, "unpaired surrogate"},
        Bad{"\"\xC0\x80\"", 1, 2, "invalid UTF-8"},          // overlong NUL
        Bad{"\"\xED\xA0\x80\"", 1, 2, "invalid UTF-8"},      // encoded surrogate
        Bad{"\"\xF4\x90\x80\x80\"", 1, 2, "invalid UTF-8"},  // above U+10FFFF
        Bad{"\"\xF5\"", 1, 2, "invalid UTF-8"},
        Bad{"\"\xE2\x82", 1, 2, "invalid UTF-8"},  // cut by the end of the text
        // Columns count characters: "é€" before the fault are two columns, not five bytes.
        Bad{"[\"\xC3\xA9\xE2\x82\xAC\", x]", 1, 8, "expected a value, found 'x'"},
        Bad{"[\x01]", 1, 2, "found the control character 0x01"},
        // Where a fault starts when the bytes before it could pass for part of the token.
        Bad{"1 07", 1, 3, "unexpected text after the value, found '0'"},
        Bad{"[007]", 1, 2, "leading zeros"}, Bad{"[true-1]", 1, 6, "found '-'"},
        Bad{"[1, 1e400]", 1, 5, "number out of range"},
        Bad{"[1e-400]", 1, 2, "number out of range"},  // too small for a double
        Bad{"{\"k\\\"\": 1, \"k\\\"\": 2}", 1, 12, "duplicate member name \"k\"\""},
        Bad{"\"\\ud800\\x\"", 1, 2, "unpaired surrogate"},
        Bad{"\"\xC3\x41\"", 1, 2, "invalid UTF-8"},  // a lead byte, then 'A'
        // The words of a text play no part in judging it.
        Bad{"\"missing closing quote\t\"", 1, 23, "control character inside a text"}));

// A NUL byte ends nothing: what follows it is still text after the value.
TEST(JsonParse, RefusesBytesAfterANul) {
  for (const std::string& text : {std::string("7\0", 2), std::string("[1]\0x", 5)}) {
    try {
      ParseExact(text);
      FAIL() << "accepted a NUL after the value";
    } catch (const ParseError& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr("found the control character 0x00"));
      EXPECT_EQ(e.Column(), static_cast<int>(text.find('\0')) + 1);
    }
  }
}

TEST(JsonParse, RefusesNestingBeyondTheLimit) {
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_NO_THROW(ParseExact(nested(64)));
  EXPECT_THROW(ParseExact(nested(65)), ParseError);
  EXPECT_NO_THROW(ParseExact(nested(3), ParseOptions{3}));
  EXPECT_THROW(ParseExact(nested(4), ParseOptions{3}), ParseError);
  // Far deeper than any stack would allow, even with a generous limit: refused, no crash.
  EXPECT_THROW(ParseExact(std::string(1'000'000, '['), ParseOptions{1'000'000}), ParseError);
  try {
    ParseExact("{\"a\": " + nested(64) + "}");
    FAIL();
  } catch (const ParseError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("nesting deeper than 64 levels"));
  }
}

// ---- Damaged input ------------------------------------------------------------------------------

// Every cut of a valid text and every single byte replaced by a troublesome one either
// parses or raises ParseError; nothing reads past the input (checked by the sanitizer
// build) and nothing else is thrown.
TEST(JsonParse, DamagedInputFailsCleanly) {
  const std::string good =
      "{\"Keys\": [{\"Length\": -12, \"KeyType\": \"ktString\"}], \"x\": 1.5e3,"
      " \"t\": \"\\u00e9\xE2\x82\xAC\\ud83d\\ude00\", \"n\": [null, true, false]}";
  ASSERT_NO_THROW(ParseExact(good));
  const char kBytes[] = {'"', '\\', '{',  '}',    '[',    ']',    ',',    ':',
                         'u', '0',  '\0', '\x80', '\xC3', '\xED', '\xF4', '\xFF'};
  int refused = 0;
  const auto attempt = [&](std::string_view text) {
    try {
      ParseExact(text);
    } catch (const ParseError&) {
      ++refused;
    }
  };
  for (size_t cut = 0; cut < good.size(); ++cut) attempt(std::string_view(good).substr(0, cut));
  for (size_t at = 0; at < good.size(); ++at) {
    for (char b : kBytes) {
      std::string damaged = good;
      damaged[at] = b;
      attempt(damaged);
    }
  }
  EXPECT_GT(refused, static_cast<int>(good.size()));
}

}  // namespace
}  // namespace vastrel::automation::json
