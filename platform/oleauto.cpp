#include "platform/oleauto.h"

#include <cfenv>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/calendar.h"
#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel {

// ---------------------------------------------------------------------------------------
// GUID

bool operator<(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
  if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
  if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
  return std::memcmp(a.Data4, b.Data4, 8) < 0;
}

std::string GUID::ToString() const {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Data1, Data2,
                Data3, Data4[0], Data4[1], Data4[2], Data4[3], Data4[4], Data4[5], Data4[6],
                Data4[7]);
  return buf;
}

bool GUID::Parse(std::string_view text, GUID* out) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return false;
  uint8_t bytes[16];
  int n = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    int v = 0;
    for (int k = 0; k < 2; ++k, ++i) {
      const char c = text[i];
      int d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        return false;
      v = v * 16 + d;
    }
    bytes[n++] = static_cast<uint8_t>(v);
  }
  GUID g;
  g.Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
            bytes[3];
  g.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(g.Data4, bytes + 8, 8);
  *out = g;
  return true;
}

// ---------------------------------------------------------------------------------------
// BSTR. The allocation is [uint32 length][bytes][0]; the BSTR points at the bytes. The
// length word sits at a 4-byte aligned address because malloc aligns to 16.

namespace {
constexpr size_t kPrefix = sizeof(uint32_t);
}

BSTR SysAllocStringLen(const char* text, uint32_t len) {
  if (len > UINT32_MAX - 8) return nullptr;
  auto* block = static_cast<char*>(std::malloc(kPrefix + size_t{len} + 1));
  if (!block) return nullptr;
  std::memcpy(block, &len, kPrefix);
  char* s = block + kPrefix;
  if (text)
    std::memcpy(s, text, len);
  else
    std::memset(s, 0, len);
  s[len] = '\0';
  return s;
}

BSTR SysAllocString(const char* text) {
  if (!text) return nullptr;
  const size_t n = std::strlen(text);
  if (n > UINT32_MAX - 8) return nullptr;
  return SysAllocStringLen(text, static_cast<uint32_t>(n));
}

void SysFreeString(BSTR s) {
  if (s) std::free(s - kPrefix);
}

uint32_t SysStringLen(const char* s) {
  if (!s) return 0;
  uint32_t len;
  std::memcpy(&len, s - kPrefix, kPrefix);
  return len;
}

bool SysReAllocString(BSTR* s, std::string_view text) {
  BSTR fresh = SysAllocString(text);
  if (!fresh) return false;
  SysFreeString(*s);
  *s = fresh;
  return true;
}

void ClearExcepInfo(EXCEPINFO* e) {
  if (!e) return;
  SysFreeString(e->bstrSource);
  SysFreeString(e->bstrDescription);
  SysFreeString(e->bstrHelpFile);
  *e = EXCEPINFO{};
}

// ---------------------------------------------------------------------------------------
// Dates: day 0 of an automation date is 1899-12-30.

namespace {

constexpr double kMinDate = -657434.0;         // 0100-01-01
constexpr double kMaxDate = 2958465.99999999;  // 9999-12-31 23:59:59

}  // namespace

bool DateFromParts(int year, int month, int day, int hour, int minute, int second, DATE* out) {
  if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > platform::DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59)
    return false;
  const double days = static_cast<double>(platform::DayNumberFromCivil(year, month, day));
  const double frac = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
  // Before the epoch the fraction still counts forward from midnight, so it is
  // subtracted from the (negative) whole part.
  *out = days >= 0 ? days + frac : days - frac;
  return true;
}

bool DateToParts(DATE d, int* year, int* month, int* day, int* hour, int* minute, int* second) {
  if (!std::isfinite(d) || d < kMinDate || d > kMaxDate + 1) return false;
  double whole = std::trunc(d);
  double frac = std::fabs(d - whole);
  int64_t secs = std::llround(frac * 86400.0);
  if (secs >= 86400) {  // rounding reached the next midnight
    secs -= 86400;
    whole += d >= 0 ? 1 : -1;
  }
  platform::CivilFromDayNumber(static_cast<int64_t>(whole), year, month, day);
  if (*year < 100 || *year > 9999) return false;
  *hour = static_cast<int>(secs / 3600);
  *minute = static_cast<int>(secs / 60 % 60);
  *second = static_cast<int>(secs % 60);
  return true;
}

// ---------------------------------------------------------------------------------------
// VARIANT housekeeping

namespace {

bool KnownKind(VARTYPE vt) {
  switch (vt & VT_TYPEMASK) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      break;
    case VT_VARIANT:
      // Only a reference to a variant is a value; a variant cannot hold one by value.
      if (!(vt & VT_BYREF)) return false;
      break;
    default:
      return false;
  }
  if (vt & VT_ARRAY) return false;
  if (vt & ~(VT_TYPEMASK | VT_BYREF)) return false;
  if ((vt & VT_BYREF) && (vt & VT_TYPEMASK) <= VT_NULL) return false;
  return true;
}

}  // namespace

void VariantInit(VARIANT* v) {
  std::memset(v, 0, sizeof *v);
  v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v) {
  if (!v) return E_POINTER;
  if (!KnownKind(v->vt)) return DISP_E_BADVARTYPE;
  switch (v->vt) {
    case VT_BSTR:
      SysFreeString(v->bstrVal);
      break;
    case VT_DISPATCH:
      if (v->pdispVal) v->pdispVal->Release();
      break;
    case VT_UNKNOWN:
      if (v->punkVal) v->punkVal->Release();
      break;
    default:
      break;
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_POINTER;
  if (dest == src) return S_OK;
  if (!KnownKind(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT copy = *src;
  if (src->vt == VT_BSTR && src->bstrVal) {
    copy.bstrVal = SysAllocString(BstrView(src->bstrVal));
    if (!copy.bstrVal) return E_OUTOFMEMORY;
  } else if (src->vt == VT_DISPATCH && src->pdispVal) {
    src->pdispVal->AddRef();
  } else if (src->vt == VT_UNKNOWN && src->punkVal) {
    src->punkVal->AddRef();
  }
  const HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *dest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_POINTER;
  if (!(src->vt & VT_BYREF)) return VariantCopy(dest, src);
  if (!KnownKind(src->vt)) return DISP_E_BADVARTYPE;
  if (!src->byref) return E_POINTER;
  const VARTYPE kind = src->vt & VT_TYPEMASK;
  if (kind == VT_VARIANT) {
    const VARIANT* inner = src->pvarVal;
    // A reference to a reference is read through once more; deeper chains are refused.
    if (inner->vt & VT_BYREF) {
      if (inner->vt == (VT_VARIANT | VT_BYREF)) return E_INVALIDARG;
      return VariantCopyInd(dest, inner);
    }
    return VariantCopy(dest, inner);
  }
  VARIANT v;
  VariantInit(&v);
  v.vt = kind;
  switch (kind) {
    case VT_I1:
      v.cVal = *src->pcVal;
      break;
    case VT_UI1:
      v.bVal = *src->pbVal;
      break;
    case VT_I2:
      v.iVal = *src->piVal;
      break;
    case VT_UI2:
      v.uiVal = *src->puiVal;
      break;
    case VT_I4:
    case VT_INT:
      v.lVal = *src->plVal;
      break;
    case VT_UI4:
    case VT_UINT:
      v.ulVal = *src->pulVal;
      break;
    case VT_I8:
      v.llVal = *src->pllVal;
      break;
    case VT_UI8:
      v.ullVal = *src->pullVal;
      break;
    case VT_R4:
      v.fltVal = *src->pfltVal;
      break;
    case VT_R8:
      v.dblVal = *src->pdblVal;
      break;
    case VT_CY:
      v.cyVal = *src->pcyVal;
      break;
    case VT_DATE:
      v.date = *src->pdate;
      break;
    case VT_BOOL:
      v.boolVal = *src->pboolVal;
      break;
    case VT_ERROR:
      v.scode = *src->pscode;
      break;
    case VT_BSTR:
      v.bstrVal = *src->pbstrVal;
      break;
    case VT_DISPATCH:
      v.pdispVal = *src->ppdispVal;
      break;
    case VT_UNKNOWN:
      v.punkVal = *src->ppunkVal;
      break;
    default:
      return DISP_E_BADVARTYPE;
  }
  // v borrows the referenced BSTR or interface; VariantCopy makes dest's own copy.
  return VariantCopy(dest, &v);
}

// ---------------------------------------------------------------------------------------
// Conversions

namespace {

// Every numeric kind passes through one of three forms: a signed 64-bit integer, an
// unsigned 64-bit integer, or a double. Currency and dates travel as doubles.
struct Number {
  enum Kind { kSigned, kUnsigned, kFloat } kind;
  int64_t s = 0;
  uint64_t u = 0;
  double f = 0;
};

std::string_view Trim(std::string_view t) {
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
  return t;
}

// A number in text: an optional sign, digits with '.' or the locale's separator, an
// optional exponent; "True"/"False" are not numbers here.
bool ParseNumber(std::string_view text, Number* out) {
  text = Trim(text);
  if (text.empty()) return false;
  std::string t(text);
  const char sep = platform::Locale::DecimalSeparator();
  if (sep != '.')
    for (char& c : t)
      if (c == sep) c = '.';
  const char* first = t.data();
  const char* last = t.data() + t.size();
  if (*first == '+') ++first;
  int64_t s;
  auto r = std::from_chars(first, last, s);
  if (r.ec == std::errc() && r.ptr == last) {
    *out = Number{Number::kSigned, s, 0, 0};
    return true;
  }
  uint64_t u;
  r = std::from_chars(first, last, u);
  if (r.ec == std::errc() && r.ptr == last) {
    *out = Number{Number::kUnsigned, 0, u, 0};
    return true;
  }
  double f;
  r = std::from_chars(first, last, f, std::chars_format::general);
  if (r.ec == std::errc() && r.ptr == last && std::isfinite(f)) {
    *out = Number{Number::kFloat, 0, 0, f};
    return true;
  }
  return false;
}

bool ParseDate(std::string_view text, DATE* out) {
  text = Trim(text);
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  auto digits = [&](std::string_view& t, int count, int* v) {
    if (t.size() < static_cast<size_t>(count)) return false;
    int r = 0;
    for (int i = 0; i < count; ++i) {
      if (t[i] < '0' || t[i] > '9') return false;
      r = r * 10 + (t[i] - '0');
    }
    *v = r;
    t.remove_prefix(count);
    return true;
  };
  auto expect = [](std::string_view& t, char c) {
    if (t.empty() || t.front() != c) return false;
    t.remove_prefix(1);
    return true;
  };
  std::string_view t = text;
  bool have_date = false;
  if (t.size() >= 10 && t[4] == '-') {
    if (!digits(t, 4, &y) || !expect(t, '-') || !digits(t, 2, &mo) || !expect(t, '-') ||
        !digits(t, 2, &d))
      return false;
    have_date = true;
    if (!t.empty() && !expect(t, ' ') && !expect(t, 'T')) return false;
  }
  if (!t.empty()) {
    if (!digits(t, 2, &h) || !expect(t, ':') || !digits(t, 2, &mi)) return false;
    if (!t.empty() && (!expect(t, ':') || !digits(t, 2, &s))) return false;
    if (!t.empty()) return false;
  }
  if (!have_date) {
    if (text.empty()) return false;
    y = 1899, mo = 12, d = 30;
  }
  return DateFromParts(y, mo, d, h, mi, s, out);
}

std::string FormatDate(DATE date) {
  int y, mo, d, h, mi, s;
  if (!DateToParts(date, &y, &mo, &d, &h, &mi, &s)) return std::string();
  char buf[32];
  const bool has_time = h || mi || s;
  const bool has_day = std::trunc(date) != 0 || !has_time;
  if (has_day && has_time)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
  else if (has_day)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, mo, d);
  else
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", h, mi, s);
  return buf;
}

// Shortest text that reads back as the same double, with the locale's decimal separator.
std::string FormatDouble(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string t(buf, r.ptr);
  const char sep = platform::Locale::DecimalSeparator();
  if (sep != '.')
    for (char& c : t)
      if (c == '.') c = sep;
  return t;
}

// Reads a non-reference, non-text value as a number. DISP_E_TYPEMISMATCH for kinds
// without a numeric form.
HRESULT ToNumber(const VARIANT& v, Number* n) {
  switch (v.vt) {
    case VT_EMPTY:
      *n = {Number::kSigned, 0, 0, 0};
      return S_OK;
    case VT_I1:
      *n = {Number::kSigned, v.cVal, 0, 0};
      return S_OK;
    case VT_I2:
      *n = {Number::kSigned, v.iVal, 0, 0};
      return S_OK;
    case VT_I4:
    case VT_INT:
      *n = {Number::kSigned, v.lVal, 0, 0};
      return S_OK;
    case VT_I8:
      *n = {Number::kSigned, v.llVal, 0, 0};
      return S_OK;
    case VT_UI1:
      *n = {Number::kUnsigned, 0, v.bVal, 0};
      return S_OK;
    case VT_UI2:
      *n = {Number::kUnsigned, 0, v.uiVal, 0};
      return S_OK;
    case VT_UI4:
    case VT_UINT:
      *n = {Number::kUnsigned, 0, v.ulVal, 0};
      return S_OK;
    case VT_UI8:
      *n = {Number::kUnsigned, 0, v.ullVal, 0};
      return S_OK;
    case VT_BOOL:
      *n = {Number::kSigned, v.boolVal ? -1 : 0, 0, 0};
      return S_OK;
    case VT_R4:
      *n = {Number::kFloat, 0, 0, v.fltVal};
      return S_OK;
    case VT_R8:
      *n = {Number::kFloat, 0, 0, v.dblVal};
      return S_OK;
    case VT_DATE:
      *n = {Number::kFloat, 0, 0, v.date};
      return S_OK;
    case VT_CY:
      *n = {Number::kFloat, 0, 0, static_cast<double>(v.cyVal.int64) / 10000.0};
      return S_OK;
    case VT_BSTR: {
      const std::string_view t = Trim(BstrView(v.bstrVal));
      if (platform::Locale::EqualNoCase(t, "true")) {
        *n = {Number::kSigned, -1, 0, 0};
        return S_OK;
      }
      if (platform::Locale::EqualNoCase(t, "false")) {
        *n = {Number::kSigned, 0, 0, 0};
        return S_OK;
      }
      if (ParseNumber(t, n)) return S_OK;
      DATE d;
      if (ParseDate(t, &d)) {
        *n = {Number::kFloat, 0, 0, d};
        return S_OK;
      }
      return DISP_E_TYPEMISMATCH;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// Whole numbers from fractions round half to even, as automation does.
bool RoundToInteger(double f, double* out) {
  if (!std::isfinite(f)) return false;
  *out = std::nearbyint(f);  // the default rounding mode rounds half to even
  return true;
}

template <typename T>
HRESULT ToInteger(const Number& n, T* out) {
  using L = std::numeric_limits<T>;
  switch (n.kind) {
    case Number::kSigned:
      if constexpr (L::is_signed) {
        if (n.s < static_cast<int64_t>(L::min()) || n.s > static_cast<int64_t>(L::max()))
          return DISP_E_OVERFLOW;
      } else {
        if (n.s < 0 || static_cast<uint64_t>(n.s) > static_cast<uint64_t>(L::max()))
          return DISP_E_OVERFLOW;
      }
      *out = static_cast<T>(n.s);
      return S_OK;
    case Number::kUnsigned:
      if (n.u > static_cast<uint64_t>(L::max())) return DISP_E_OVERFLOW;
      *out = static_cast<T>(n.u);
      return S_OK;
    case Number::kFloat: {
      double r;
      if (!RoundToInteger(n.f, &r)) return DISP_E_OVERFLOW;
      // 2^63 and 2^64 are exact doubles; compare against them rather than max(), which
      // a double cannot hold exactly.
      const double lo = static_cast<double>(L::min());
      const double hi_excl = L::is_signed ? -lo : static_cast<double>(L::max()) + 1.0;
      if (r < lo || r >= hi_excl) return DISP_E_OVERFLOW;
      *out = static_cast<T>(r);
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

double ToDouble(const Number& n) {
  switch (n.kind) {
    case Number::kSigned:
      return static_cast<double>(n.s);
    case Number::kUnsigned:
      return static_cast<double>(n.u);
    case Number::kFloat:
      return n.f;
  }
  return 0;
}

HRESULT ToText(const VARIANT& v, uint16_t flags, std::string* out) {
  switch (v.vt) {
    case VT_EMPTY:
      out->clear();
      return S_OK;
    case VT_BSTR:
      *out = std::string(BstrView(v.bstrVal));
      return S_OK;
    case VT_BOOL:
      if (flags & VARIANT_ALPHABOOL)
        *out = v.boolVal ? "True" : "False";
      else
        *out = v.boolVal ? "-1" : "0";
      return S_OK;
    case VT_R4:
      *out = FormatDouble(v.fltVal);
      return S_OK;
    case VT_R8:
      *out = FormatDouble(v.dblVal);
      return S_OK;
    case VT_CY:
      *out = FormatDouble(static_cast<double>(v.cyVal.int64) / 10000.0);
      return S_OK;
    case VT_DATE: {
      *out = FormatDate(v.date);
      return out->empty() ? DISP_E_OVERFLOW : S_OK;
    }
    default: {
      Number n;
      const HRESULT hr = ToNumber(v, &n);
      if (FAILED(hr)) return hr;
      *out = n.kind == Number::kSigned ? std::to_string(n.s) : std::to_string(n.u);
      return S_OK;
    }
  }
}

// Converts a value that is neither a reference nor an array.
HRESULT Convert(const VARIANT& src, uint16_t flags, VARTYPE vt, VARIANT* out) {
  VariantInit(out);
  if (src.vt == vt) return VariantCopy(out, &src);
  if (src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
  out->vt = vt;
  switch (vt) {
    case VT_EMPTY:
      return S_OK;
    case VT_NULL:
      return DISP_E_TYPEMISMATCH;
    case VT_BSTR: {
      std::string t;
      const HRESULT hr = ToText(src, flags, &t);
      if (FAILED(hr)) {
        VariantInit(out);
        return hr;
      }
      out->bstrVal = SysAllocString(t);
      if (!out->bstrVal) {
        VariantInit(out);
        return E_OUTOFMEMORY;
      }
      return S_OK;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      IUnknown* unk = src.vt == VT_DISPATCH  ? static_cast<IUnknown*>(src.pdispVal)
                      : src.vt == VT_UNKNOWN ? src.punkVal
                                             : nullptr;
      if (src.vt != VT_DISPATCH && src.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
      if (!unk) {
        out->punkVal = nullptr;
        return S_OK;
      }
      if (vt == VT_UNKNOWN) {
        unk->AddRef();
        out->punkVal = unk;
        return S_OK;
      }
      void* p = nullptr;
      if (FAILED(unk->QueryInterface(IID_IDispatch, &p))) {
        VariantInit(out);
        return DISP_E_TYPEMISMATCH;
      }
      out->pdispVal = static_cast<IDispatch*>(p);
      return S_OK;
    }
    case VT_ERROR:
      if (src.vt == VT_I4 || src.vt == VT_UI4) {
        out->scode = src.lVal;
        return S_OK;
      }
      VariantInit(out);
      return DISP_E_TYPEMISMATCH;
    default:
      break;
  }
  Number n;
  HRESULT hr = ToNumber(src, &n);
  if (FAILED(hr)) {
    VariantInit(out);
    return hr;
  }
  switch (vt) {
    case VT_I1:
      hr = ToInteger(n, &out->cVal);
      break;
    case VT_UI1:
      hr = ToInteger(n, &out->bVal);
      break;
    case VT_I2:
      hr = ToInteger(n, &out->iVal);
      break;
    case VT_UI2:
      hr = ToInteger(n, &out->uiVal);
      break;
    case VT_I4:
    case VT_INT:
      hr = ToInteger(n, &out->lVal);
      break;
    case VT_UI4:
    case VT_UINT:
      hr = ToInteger(n, &out->ulVal);
      break;
    case VT_I8:
      hr = ToInteger(n, &out->llVal);
      break;
    case VT_UI8:
      hr = ToInteger(n, &out->ullVal);
      break;
    case VT_R4: {
      const double d = ToDouble(n);
      if (std::fabs(d) > std::numeric_limits<float>::max())
        hr = DISP_E_OVERFLOW;
      else
        out->fltVal = static_cast<float>(d);
      break;
    }
    case VT_R8:
      out->dblVal = ToDouble(n);
      break;
    case VT_DATE: {
      const double d = ToDouble(n);
      if (!(d >= kMinDate && d <= kMaxDate + 1))
        hr = DISP_E_OVERFLOW;
      else
        out->date = d;
      break;
    }
    case VT_CY: {
      const double d = ToDouble(n) * 10000.0;
      double r;
      if (!RoundToInteger(d, &r) || r < -9.2233720368547758e18 || r >= 9.2233720368547758e18)
        hr = DISP_E_OVERFLOW;
      else
        out->cyVal.int64 = static_cast<int64_t>(r);
      break;
    }
    case VT_BOOL: {
      bool b = false;
      switch (n.kind) {
        case Number::kSigned:
          b = n.s != 0;
          break;
        case Number::kUnsigned:
          b = n.u != 0;
          break;
        case Number::kFloat:
          b = n.f != 0;
          break;
      }
      out->boolVal = ToVariantBool(b);
      break;
    }
    default:
      hr = DISP_E_BADVARTYPE;
  }
  if (FAILED(hr)) VariantInit(out);
  return hr;
}

}  // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t flags, VARTYPE vt) {
  if (!dest || !src) return E_POINTER;
  if (!KnownKind(src->vt) || (vt & (VT_BYREF | VT_ARRAY)) || !KnownKind(vt) || vt == VT_VARIANT)
    return DISP_E_BADVARTYPE;
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = VariantCopyInd(&value, src);
  if (FAILED(hr)) return hr;
  VARIANT converted;
  hr = Convert(value, flags, vt, &converted);
  VariantClear(&value);
  if (FAILED(hr)) return hr;
  // dest may be src: it is cleared only now that the new value exists.
  VariantClear(dest);
  *dest = converted;
  return S_OK;
}

std::string VariantToText(const VARIANT& v) {
  Variant text;
  if (FAILED(VariantChangeType(&text, &v, 0, VT_BSTR))) throw Exception(kInvalidVariantConversion);
  return std::string(text.Text());
}

Variant::Variant(IDispatch* d) : Variant() {
  vt = VT_DISPATCH;
  pdispVal = d;
  if (d) d->AddRef();
}

Variant::Variant(IUnknown* u) : Variant() {
  vt = VT_UNKNOWN;
  punkVal = u;
  if (u) u->AddRef();
}

}  // namespace vastrel
