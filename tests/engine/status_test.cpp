// Status texts and the message of Btrexception: hosts match these texts, so every row of
// the table that a host is likely to see is checked byte for byte.
#include <gtest/gtest.h>

#include "binding/btrexception.h"
#include "binding/engine.h"

namespace vastrel::engine {
namespace {

struct TextCase {
  int16_t status;
  const char* text;
};

class StatusTexts : public ::testing::TestWithParam<TextCase> {};

TEST_P(StatusTexts, ReadExactly) { EXPECT_STREQ(StatusText(GetParam().status), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Table, StatusTexts,
    ::testing::Values(TextCase{-9999, "WBTRV32.DLL Not Found"}, TextCase{0, "No Error"},
                      TextCase{4, "Key Not Found"}, TextCase{19, "Unrecoverable_Error"},
                      TextCase{22, "Data Length Error"}, TextCase{32, "Extend IO Error"},
                      TextCase{34, "Invalid Extension Name"}, TextCase{69, "RI Cascade Error"},
                      TextCase{71, "RI Violation"}, TextCase{88, "Incompatible mode error"},
                      TextCase{100, "No Chache Buffer Available"},
                      TextCase{103, "Chunck Offet too Long"},
                      TextCase{107, "Chunk Incompatible File"},
                      TextCase{1001, "Lock Parm Out Of Range"},
                      TextCase{1006, "Pre-Image buffer parameter out of range"},
                      TextCase{1016, "Already Initialised"}, TextCase{2007, "Invalid Ptr Parm"}));

// The gaps of the table and codes around its ends fall back to one text.
INSTANTIATE_TEST_SUITE_P(
    Unlisted, StatusTexts,
    ::testing::Values(
        TextCase{33, "Unknown Btrieve Error"}, TextCase{70, "Unknown Btrieve Error"},
        TextCase{75, "Unknown Btrieve Error"}, TextCase{89, "Unknown Btrieve Error"},
        TextCase{99, "Unknown Btrieve Error"}, TextCase{108, "Unknown Btrieve Error"},
        TextCase{1012, "Unknown Btrieve Error"}, TextCase{1015, "Unknown Btrieve Error"},
        TextCase{2008, "Unknown Btrieve Error"}, TextCase{-1, "Unknown Btrieve Error"},
        TextCase{-9998, "Unknown Btrieve Error"}, TextCase{32767, "Unknown Btrieve Error"},
        TextCase{-32768, "Unknown Btrieve Error"}));

TEST(Btrexception, ComposesTextStatusCarriageReturnAndFileName) {
  Btrexception e(4, "C:\\DATA\\PARTS.DAT");
  EXPECT_STREQ(e.what(), "Key Not Found (4)\rC:\\DATA\\PARTS.DAT");
  EXPECT_EQ(e.Status(), 4);
}

TEST(Btrexception, KeepsStatusesAtFullWidth) {
  EXPECT_EQ(Btrexception(1001, "f").Message(), "Lock Parm Out Of Range (1001)\rf");
  EXPECT_EQ(Btrexception(33, "f").Message(), "Unknown Btrieve Error (33)\rf");
  EXPECT_EQ(Btrexception(-1, "f").Message(), "Unknown Btrieve Error (-1)\rf");
  EXPECT_EQ(Btrexception(-9999, "").Message(), "WBTRV32.DLL Not Found (-9999)\r");
  EXPECT_EQ(Btrexception(1001, "f").Status(), 1001);
  EXPECT_EQ(Btrexception(-9999, "f").Status(), -9999);
}

TEST(Btrexception, IsTheGeneralExceptionOfTheComponent) {
  try {
    throw Btrexception(12, "x.dat");
  } catch (const vastrel::Exception& e) {
    EXPECT_STREQ(e.what(), "File Not Found (12)\rx.dat");
  }
}

}  // namespace
}  // namespace vastrel::engine
