// Typed field access on the record text: offsets, trimming, fitting, refusals.
#include <gtest/gtest.h>

#include <string>

#include "dictionary/btrfld.h"
#include "dictionary/field_text.h"
#include "platform/error.h"
#include "platform/locale.h"
#include "tests/dictionary/fake_host.h"

namespace vastrel::dictionary {
namespace {

using testing::ExpectError;
using testing::FakeHost;

class FieldAccess : public ::testing::Test {
 protected:
  // Loads the accessor with a field, as a lookup by name does.
  TBtrField& At(int32_t offset, int32_t size, const std::string& name = "F") {
    field.SetFieldName(name);
    field.SetOffset(offset);
    field.SetSize(size);
    return field;
  }

  FakeHost host{40};
  TBtrField field{host};
};

TEST_F(FieldAccess, ReadsAndWritesAtOffsetKeepingNeighbours) {
  host.SetRecord("JOHN      42  ");
  EXPECT_EQ(At(0, 10).AsString(), "JOHN");
  EXPECT_EQ(At(10, 4).AsInteger(), 42);
  At(10, 4).SetAsInteger(7);
  EXPECT_EQ(host.Record(), "JOHN      7   ");
  At(0, 10).SetAsString("ALEXANDRIANA");
  EXPECT_EQ(host.Record(), "ALEXANDRIA7   ");
  At(0, 10).SetAsString("AL");
  EXPECT_EQ(host.Record(), "AL        7   ");
}

TEST_F(FieldAccess, StringKeepsLeadingBlanksDropsTrailingOnes) {
  host.SetRecord("  AB  \t");
  EXPECT_EQ(At(0, 7).AsString(), "  AB");
}

TEST_F(FieldAccess, FieldPastTheNulReadsEmpty) {
  host.SetRecord("ABCDE");
  host.Buffer()[6] = '9';  // beyond the NUL: not part of the record text
  EXPECT_EQ(At(10, 4).AsString(), "");
  ExpectError([&] { At(10, 4).AsInteger(); }, "'' is not a valid integer value");
  EXPECT_EQ(At(3, 10).AsString(), "DE") << "a field that straddles the NUL";
}

TEST_F(FieldAccess, WriteBeyondRecordTextFillsTheGapWithBlanks) {
  host.SetRecord("ABCDE");
  At(10, 3).SetAsInteger(12);
  EXPECT_EQ(host.Record(), "ABCDE     12 ");
  EXPECT_EQ(At(10, 3).AsInteger(), 12) << "the value sits where reads expect it";
}

TEST_F(FieldAccess, WriteKeepsBytesAfterTheNewNul) {
  host.SetRecord("ABCDEFGHIJ");
  host.Buffer()[20] = 'Z';
  At(2, 2).SetAsString("xy");
  EXPECT_EQ(host.Record(), "ABxyEFGHIJ");
  EXPECT_EQ(host.Buffer()[11], 0) << "old NUL position untouched beyond new text";
  EXPECT_EQ(host.Buffer()[20], 'Z');
}

TEST_F(FieldAccess, WriteThatWouldNotFitIsRefusedAndChangesNothing) {
  host.SetRecord("ABC");
  const std::vector<uint8_t> before = host.Buffer();
  ExpectError([&] { At(37, 4).SetAsString("WXYZ"); },
              "Field \"F\" does not fit into the data buffer: 41 bytes needed, 40 available");
  EXPECT_EQ(host.Buffer(), before);
  At(35, 4).SetAsString("WXYZ");  // 39 characters and the NUL
  EXPECT_EQ(host.Record().size(), 39u);
  At(36, 4).SetAsString("WXYZ");  // 40 characters fill the buffer: no room for a NUL, none needed
  EXPECT_EQ(host.Record().size(), 40u);
  EXPECT_EQ(At(36, 4).AsString(), "WXYZ");
  ExpectError([&] { At(0, INT32_MAX).SetAsString("A"); },
              "Field \"F\" does not fit into the data buffer: 2147483647 bytes needed, "
              "40 available");
}

// A fixed-width record with no zero byte, in a buffer of exactly its length (the state after
// an open): writes inside the record go in, and the text still ends at the buffer's end.
TEST_F(FieldAccess, WriteIntoARecordThatFillsTheBuffer) {
  FakeHost full(8);
  std::fill(full.Buffer().begin(), full.Buffer().end(), 'A');
  TBtrField f(full);
  f.SetOffset(2);
  f.SetSize(3);
  f.SetAsString("xy");
  EXPECT_EQ(full.Buffer(), (std::vector<uint8_t>{'A', 'A', 'x', 'y', ' ', 'A', 'A', 'A'}));
  f.SetOffset(6);
  f.SetSize(2);
  f.SetAsInteger(42);
  EXPECT_EQ(full.Record(), "AAxy A42");
}

TEST_F(FieldAccess, ValueWithNulIsRefusedSoLaterFieldsSurvive) {
  host.SetRecord("AAAA1234");
  ExpectError([&] { At(0, 4).SetAsString(std::string("B\0C", 3)); },
              "Field \"F\" can't be written: the value contains a NUL character");
  EXPECT_EQ(host.Record(), "AAAA1234");
  host.true_format = std::string("Y\0", 2);
  EXPECT_THROW(At(4, 4).SetAsBoolean(true), Exception);
  At(0, 2).SetAsString(std::string("BB\0C", 4));  // the NUL lies beyond the field's width
  EXPECT_EQ(host.Record(), "BBAA1234");
}

TEST_F(FieldAccess, RecordTextWithoutNulEndsAtBufferEnd) {
  FakeHost full(8);
  std::fill(full.Buffer().begin(), full.Buffer().end(), 'A');
  TBtrField f(full);
  f.SetOffset(6);
  f.SetSize(10);
  EXPECT_EQ(f.AsString(), "AA");
  ExpectError([&] { f.SetAsString("B"); },
              "Field \"\" does not fit into the data buffer: 16 bytes needed, 8 available");
  EXPECT_EQ(full.Buffer(), std::vector<uint8_t>(8, 'A'));
}

TEST_F(FieldAccess, NegativeOffsetOrSizeReadsEmptyAndIsRefusedOnWrite) {
  host.SetRecord("ABCDEFGH");
  EXPECT_EQ(At(-2, 4).AsString(), "");
  EXPECT_EQ(At(2, -1).AsString(), "");
  ExpectError([&] { At(-2, 4, "N").SetAsString("x"); },
              "Field \"N\" can't be written: negative offset (-2) or size (4)");
  ExpectError([&] { At(2, -1, "N").SetAsInteger(1); },
              "Field \"N\" can't be written: negative offset (2) or size (-1)");
  EXPECT_EQ(host.Record(), "ABCDEFGH");
}

TEST_F(FieldAccess, ClosedTableRefusesEveryTypedAccess) {
  host.SetRecord("12");
  host.active = false;
  At(0, 2);
  const std::vector<uint8_t> before = host.Buffer();
  ExpectError([&] { field.AsString(); }, "File not open.");
  ExpectError([&] { field.AsInteger(); }, "File not open.");
  ExpectError([&] { field.AsFloat(); }, "File not open.");
  ExpectError([&] { field.AsBoolean(); }, "File not open.");
  ExpectError([&] { field.AsDate(); }, "File not open.");
  ExpectError([&] { field.AsTime(); }, "File not open.");
  ExpectError([&] { field.AsDateTime(); }, "File not open.");
  ExpectError([&] { field.SetAsString("x"); }, "File not open.");
  ExpectError([&] { field.SetAsInteger(1); }, "File not open.");
  ExpectError([&] { field.SetAsFloat(1); }, "File not open.");
  ExpectError([&] { field.SetAsBoolean(true); }, "File not open.");
  ExpectError([&] { field.SetAsDate(1); }, "File not open.");
  ExpectError([&] { field.SetAsTime(1); }, "File not open.");
  ExpectError([&] { field.SetAsDateTime(1); }, "File not open.");
  EXPECT_EQ(host.Buffer(), before);
}

TEST_F(FieldAccess, NoBufferReadsEmptyAndRefusesWrites) {
  FakeHost none(0);
  TBtrField f(none);
  f.SetSize(3);
  EXPECT_EQ(f.AsString(), "");
  EXPECT_THROW(f.SetAsString("x"), Exception);
}

TEST_F(FieldAccess, IntegerReadAndWrite) {
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  };
  const Case cases[] = {
      {"  42 ", true, 42},
      {"-17", true, -17},
      {"+5", true, 5},
      {"2147483647", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"4 2", false, 0},
      {"12a", false, 0},
      {"-", false, 0},
      {"1.0", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    host.SetRecord(c.text);
    At(0, 20);
    if (c.ok) {
      EXPECT_EQ(field.AsInteger(), c.value);
    } else {
      ExpectError([&] { field.AsInteger(); },
                  "'" + std::string(TrimBlanks(c.text)) + "' is not a valid integer value");
    }
  }
  host.SetRecord("......");
  At(1, 4).SetAsInteger(-305);
  EXPECT_EQ(host.Record(), ".-305.");
}

TEST_F(FieldAccess, BooleanComparesTrimmedTextWithTrueFormat) {
  At(0, 5);
  for (const char* t : {"1", " 1  "}) {
    host.SetRecord(t);
    EXPECT_TRUE(field.AsBoolean()) << t;
  }
  for (const char* t : {"0", "Y", "", "11"}) {
    host.SetRecord(t);
    EXPECT_FALSE(field.AsBoolean()) << t;
  }
  host.true_format = "Yes";
  host.SetRecord("YES  ");
  EXPECT_TRUE(field.AsBoolean());
  host.SetRecord("ABCDEFG");
  At(1, 3).SetAsBoolean(false);
  EXPECT_EQ(host.Record(), "A0  EFG");
  At(1, 3).SetAsBoolean(true);
  EXPECT_EQ(host.Record(), "AYesEFG");
}

// The table's decimal separator is exchanged with the system's in both directions.
class DecimalSeparators : public FieldAccess {
 protected:
  void SetSystemSeparator(char c) { platform::Locale::Replace({c, ':'}); }
  void TearDown() override { platform::Locale::Replace(saved_); }

  platform::LocaleSettings saved_ = platform::Locale::Current();
};

TEST_F(DecimalSeparators, CommaInTablePointInSystem) {
  SetSystemSeparator('.');
  host.decimal_separator = ',';
  host.SetRecord("3,25  1.5 ");
  EXPECT_DOUBLE_EQ(At(0, 6).AsFloat(), 3.25);
  At(0, 6).SetAsFloat(3.25);
  EXPECT_EQ(host.Record(), "3,25  1.5 ");
  EXPECT_EQ(At(6, 4).AsString(), "1.5") << "a point in another field stays a point";
  EXPECT_DOUBLE_EQ(At(6, 4).AsFloat(), 1.5) << "the system's own separator still reads";
}

TEST_F(DecimalSeparators, CommaInSystemPointInTable) {
  SetSystemSeparator(',');
  host.decimal_separator = '.';
  host.SetRecord("2.5");
  EXPECT_DOUBLE_EQ(At(0, 3).AsFloat(), 2.5);
  At(0, 8).SetAsFloat(-0.125);
  EXPECT_EQ(host.Record(), "-0.125  ");
  host.SetRecord("2,5");
  EXPECT_DOUBLE_EQ(At(0, 3).AsFloat(), 2.5) << "the system's own separator still reads";
}

TEST_F(DecimalSeparators, BadNumbersNameTheExchangedText) {
  SetSystemSeparator('.');
  host.decimal_separator = ',';
  for (const char* t : {"", "1,2,3", "abc", "1e", ",", "1 2", "INF", "1e999"}) {
    host.SetRecord(t);
    std::string exchanged = t;
    for (char& c : exchanged) c = c == ',' ? '.' : c;
    ExpectError([&] { At(0, 10).AsFloat(); },
                "'" + exchanged + "' is not a valid floating point value");
  }
  host.SetRecord(" -1,5E3 ");
  EXPECT_DOUBLE_EQ(At(0, 10).AsFloat(), -1500);
  host.SetRecord("1e-400");
  EXPECT_EQ(At(0, 10).AsFloat(), 0) << "underflow reads as zero, not as an error";
}

TEST_F(FieldAccess, DatesTimesAndDateTimesRoundTrip) {
  const double when = EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9);
  host.SetRecord(std::string(30, '.'));
  At(0, 17).SetAsDateTime(when);
  EXPECT_EQ(host.Record().substr(0, 18), "20240305,14:07:09.");
  EXPECT_DOUBLE_EQ(field.AsDateTime(), when);
  At(20, 8).SetAsDate(when);
  EXPECT_EQ(host.Record().substr(20, 8), "20240305");
  EXPECT_DOUBLE_EQ(field.AsDate(), EncodeDate(2024, 3, 5));
  At(20, 8).SetAsTime(when);
  EXPECT_EQ(host.Record().substr(20, 8), "14:07:09");
  EXPECT_DOUBLE_EQ(field.AsTime(), EncodeTime(14, 7, 9));
  host.SetRecord("        ");
  EXPECT_DOUBLE_EQ(At(0, 8).AsDate(), EncodeDate(1900, 1, 1));
  EXPECT_EQ(field.AsTime(), 0);
  ExpectError([&] { field.SetAsDate(1e12); }, "Invalid date value");
  EXPECT_EQ(host.Record(), "        ");
}

}  // namespace
}  // namespace vastrel::dictionary
