// The automation value types: strings that keep every byte, conversions between kinds
// with their failures, and values held by reference.
#include "platform/oleauto.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel {
namespace {

TEST(BstrStorage, KeepsLengthAndEmbeddedZeros) {
  const std::string text("a\0b\xC3\xA9", 5);
  BSTR s = SysAllocString(std::string_view(text));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(s[5], '\0');  // still readable as a C string
  EXPECT_EQ(BstrView(s), text);
  EXPECT_TRUE(SysReAllocString(&s, "longer text"));
  EXPECT_EQ(BstrView(s), "longer text");
  SysFreeString(s);

  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(BstrView(nullptr), "");
  EXPECT_EQ(SysAllocString(static_cast<const char*>(nullptr)), nullptr);
  SysFreeString(nullptr);
  BSTR zeros = SysAllocStringLen(nullptr, 3);
  EXPECT_EQ(BstrView(zeros), std::string_view("\0\0\0", 3));
  SysFreeString(zeros);
}

TEST(GuidText, RoundTripsAndRefusesMalformedText) {
  constexpr GUID g = MakeGuid("1CF2B120-547D-101B-8E65-08002B2BC599");
  EXPECT_EQ(g.ToString(), "{1CF2B120-547D-101B-8E65-08002B2BC599}");
  GUID back;
  ASSERT_TRUE(GUID::Parse("{1cf2b120-547d-101b-8e65-08002b2bc599}", &back));
  EXPECT_EQ(back, g);
  ASSERT_TRUE(GUID::Parse("1CF2B120-547D-101B-8E65-08002B2BC599", &back));
  EXPECT_EQ(back, g);
  EXPECT_FALSE(GUID::Parse("{1CF2B120-547D-101B-8E65-08002B2BC59}", &back));
  EXPECT_FALSE(GUID::Parse("{1CF2B120-547D-101B-8E65-08002B2BC59X}", &back));
  EXPECT_FALSE(GUID::Parse("{1CF2B120+547D-101B-8E65-08002B2BC599}", &back));
  EXPECT_NE(IID_IUnknown, IID_IDispatch);
}

// One conversion case: a source value, the target kind, the expected result or failure.
struct Case {
  const char* what;
  Variant src;
  VARTYPE to;
  HRESULT hr;
  Variant expect;
};

void ExpectSame(const VARIANT& a, const VARIANT& b, const char* what) {
  ASSERT_EQ(a.vt, b.vt) << what;
  switch (a.vt) {
    case VT_BSTR:
      EXPECT_EQ(BstrView(a.bstrVal), BstrView(b.bstrVal)) << what;
      break;
    case VT_R4:
      EXPECT_EQ(a.fltVal, b.fltVal) << what;
      break;
    case VT_R8:
    case VT_DATE:
      EXPECT_DOUBLE_EQ(a.dblVal, b.dblVal) << what;
      break;
    case VT_I8:
    case VT_UI8:
    case VT_CY:
      EXPECT_EQ(a.llVal, b.llVal) << what;
      break;
    case VT_BOOL:
    case VT_I2:
    case VT_UI2:
      EXPECT_EQ(a.iVal, b.iVal) << what;
      break;
    case VT_UI1:
    case VT_I1:
      EXPECT_EQ(a.bVal, b.bVal) << what;
      break;
    default:
      EXPECT_EQ(a.lVal, b.lVal) << what;
      break;
  }
}

TEST(VariantConversion, TableOfKindsAndFailures) {
  const Case cases[] = {
      {"text to int", Variant(" 42 "), VT_I4, S_OK, Variant(int32_t{42})},
      {"negative text to short", Variant("-32768"), VT_I2, S_OK, Variant(int16_t{-32768})},
      {"short overflow", Variant("32768"), VT_I2, DISP_E_OVERFLOW, Variant()},
      {"byte overflow", Variant(int32_t{256}), VT_UI1, DISP_E_OVERFLOW, Variant()},
      {"negative to unsigned", Variant(int32_t{-1}), VT_UI4, DISP_E_OVERFLOW, Variant()},
      {"half to even, down", Variant(2.5), VT_I4, S_OK, Variant(int32_t{2})},
      {"half to even, up", Variant(3.5), VT_I4, S_OK, Variant(int32_t{4})},
      {"negative half", Variant(-2.5), VT_I2, S_OK, Variant(int16_t{-2})},
      {"double overflow of int", Variant(3e9), VT_I4, DISP_E_OVERFLOW, Variant()},
      {"nan to int", Variant(std::nan("")), VT_I4, DISP_E_OVERFLOW, Variant()},
      {"word text", Variant("65535"), VT_UI2, S_OK, Variant(uint16_t{65535})},
      {"not a number", Variant("12a"), VT_I4, DISP_E_TYPEMISMATCH, Variant()},
      {"empty text", Variant(""), VT_I4, DISP_E_TYPEMISMATCH, Variant()},
      {"text true", Variant("True"), VT_BOOL, S_OK, Variant(true)},
      {"text false", Variant("false"), VT_BOOL, S_OK, Variant(false)},
      {"text number to bool", Variant("7"), VT_BOOL, S_OK, Variant(true)},
      {"bool to int", Variant(true), VT_I4, S_OK, Variant(int32_t{-1})},
      {"bool to text", Variant(true), VT_BSTR, S_OK, Variant("-1")},
      {"int to bool", Variant(int32_t{2}), VT_BOOL, S_OK, Variant(true)},
      {"zero to bool", Variant(0.0), VT_BOOL, S_OK, Variant(false)},
      {"int to text", Variant(int32_t{-17}), VT_BSTR, S_OK, Variant("-17")},
      {"double to text", Variant(2.25), VT_BSTR, S_OK, Variant("2.25")},
      {"text to double", Variant("1.5e3"), VT_R8, S_OK, Variant(1500.0)},
      {"float overflow", Variant(1e300), VT_R4, DISP_E_OVERFLOW, Variant()},
      {"empty to int", Variant(), VT_I4, S_OK, Variant(int32_t{0})},
      {"empty to text", Variant(), VT_BSTR, S_OK, Variant("")},
      {"null to int", Variant::Null(), VT_I4, DISP_E_TYPEMISMATCH, Variant()},
      {"null to text", Variant::Null(), VT_BSTR, DISP_E_TYPEMISMATCH, Variant()},
      {"error to int", Variant::Error(E_FAIL), VT_I4, DISP_E_TYPEMISMATCH, Variant()},
      {"date to text", Variant::Date(36526.5), VT_BSTR, S_OK, Variant("2000-01-01 12:00:00")},
      {"date only", Variant::Date(36526.0), VT_BSTR, S_OK, Variant("2000-01-01")},
      {"time only", Variant::Date(0.25), VT_BSTR, S_OK, Variant("06:00:00")},
      {"text to date", Variant("2000-01-01 12:00"), VT_DATE, S_OK, Variant::Date(36526.5)},
      {"bad date", Variant("2000-02-30"), VT_DATE, DISP_E_TYPEMISMATCH, Variant()},
      {"currency", Variant(1.23456), VT_CY, S_OK, Variant::Currency(12346)},
      {"currency to text", Variant::Currency(-15000), VT_BSTR, S_OK, Variant("-1.5")},
      {"large unsigned", Variant("18446744073709551615"), VT_UI8, S_OK,
       Variant(uint64_t{18446744073709551615ull})},
      {"large unsigned to signed", Variant(uint64_t{1} << 63), VT_I8, DISP_E_OVERFLOW, Variant()},
  };
  for (const Case& c : cases) {
    Variant out;
    EXPECT_EQ(VariantChangeType(&out, &c.src, 0, c.to), c.hr) << c.what;
    if (SUCCEEDED(c.hr))
      ExpectSame(out, c.expect, c.what);
    else
      EXPECT_EQ(out.vt, VT_EMPTY) << c.what << ": a failure leaves the target alone";
  }
}

TEST(VariantConversion, AlphaBoolAndLocaleSeparator) {
  Variant b(false);
  ASSERT_EQ(b.ChangeType(VT_BSTR, VARIANT_ALPHABOOL), S_OK);
  EXPECT_EQ(b.Text(), "False");

  const auto previous = platform::Locale::Replace({',', ':'});
  Variant d(2.5);
  EXPECT_EQ(d.ChangeType(VT_BSTR), S_OK);
  EXPECT_EQ(d.Text(), "2,5");
  EXPECT_EQ(d.ChangeType(VT_R8), S_OK);
  EXPECT_EQ(d.dblVal, 2.5);
  platform::Locale::Replace(previous);
}

TEST(VariantConversion, InPlaceFailureKeepsTheValue) {
  Variant v("not a number");
  EXPECT_EQ(v.ChangeType(VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(v.Text(), "not a number");
}

TEST(VariantConversion, UnknownAndArrayKindsAreRefused) {
  VARIANT bad;
  VariantInit(&bad);
  bad.vt = 99;
  Variant out;
  EXPECT_EQ(VariantChangeType(&out, &bad, 0, VT_I4), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  bad.vt = VT_ARRAY | VT_I4;
  EXPECT_EQ(VariantCopy(&out, &bad), DISP_E_BADVARTYPE);
  Variant i(int32_t{1});
  EXPECT_EQ(i.ChangeType(VT_ARRAY | VT_I4), DISP_E_BADVARTYPE);
  EXPECT_EQ(i.ChangeType(77), DISP_E_BADVARTYPE);
}

TEST(VariantByReference, ReadsThroughAndConverts) {
  int16_t word = 1234;
  Variant ref = Variant::ByRef(VT_I2, &word);
  Variant out;
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
  EXPECT_EQ(out.Text(), "1234");

  Variant inner("inner text");
  Variant vref = Variant::ByRef(VT_VARIANT, static_cast<VARIANT*>(&inner));
  Variant copy;
  ASSERT_EQ(VariantCopyInd(&copy, &vref), S_OK);
  EXPECT_EQ(copy.Text(), "inner text");
  EXPECT_NE(copy.bstrVal, inner.bstrVal) << "the copy owns its own string";

  BSTR owned = SysAllocString("by ref");
  Variant sref = Variant::ByRef(VT_BSTR, &owned);
  ASSERT_EQ(VariantCopyInd(&copy, &sref), S_OK);
  EXPECT_EQ(copy.Text(), "by ref");
  sref.Clear();  // a reference owns nothing
  SysFreeString(owned);

  Variant null_ref = Variant::ByRef(VT_I4, nullptr);
  EXPECT_EQ(VariantCopyInd(&copy, &null_ref), E_POINTER);
}

TEST(VariantText, RefusesValuesWithoutText) {
  EXPECT_EQ(VariantToText(Variant(int32_t{5})), "5");
  EXPECT_EQ(VariantToText(Variant::Date(2.0)), "1900-01-01");
  try {
    VariantToText(Variant(static_cast<IUnknown*>(nullptr)));
    FAIL() << "an interface has no text";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), kInvalidVariantConversion);
  }
}

TEST(Dates, CalendarRoundTripAcrossTheEpoch) {
  struct {
    int y, mo, d, h, mi, s;
    double date;
  } const rows[] = {
      {1899, 12, 30, 0, 0, 0, 0.0},    {1899, 12, 29, 6, 0, 0, -1.25},
      {1900, 1, 1, 0, 0, 0, 2.0},      {2000, 2, 29, 18, 0, 0, 36585.75},
      {100, 1, 1, 0, 0, 0, -657434.0}, {9999, 12, 31, 0, 0, 0, 2958465.0},
  };
  for (const auto& r : rows) {
    DATE d;
    ASSERT_TRUE(DateFromParts(r.y, r.mo, r.d, r.h, r.mi, r.s, &d)) << r.y;
    EXPECT_DOUBLE_EQ(d, r.date) << r.y;
    int y, mo, dd, h, mi, s;
    ASSERT_TRUE(DateToParts(r.date, &y, &mo, &dd, &h, &mi, &s));
    EXPECT_EQ((std::array{y, mo, dd, h, mi, s}), (std::array{r.y, r.mo, r.d, r.h, r.mi, r.s}));
  }
  DATE d;
  EXPECT_FALSE(DateFromParts(1900, 2, 29, 0, 0, 0, &d));  // 1900 is no leap year
  EXPECT_FALSE(DateFromParts(10000, 1, 1, 0, 0, 0, &d));
  int y, mo, dd, h, mi, s;
  EXPECT_FALSE(DateToParts(1e12, &y, &mo, &dd, &h, &mi, &s));
  EXPECT_FALSE(DateToParts(std::nan(""), &y, &mo, &dd, &h, &mi, &s));
}

}  // namespace
}  // namespace vastrel
