// A small JSON value type with a strict parser and a pretty-printing writer, for the
// control's property bag.
//
// Values: null, true/false, whole numbers (int64), other numbers (double), texts (UTF-8),
// arrays and objects. An object keeps its members in insertion order and holds each name
// once, so a value written and parsed again comes back member for member.
//
// The parser takes RFC 8259 JSON and nothing more: no comments, no trailing commas, no
// single quotes, no NaN or Infinity, no leading zeros, no control characters inside texts,
// no duplicate member names, no invalid UTF-8 and no unpaired surrogate escapes. A leading
// UTF-8 byte order mark is skipped. It never reads past the input it is given, and it
// refuses nesting deeper than a limit (so hostile input cannot exhaust the stack). A
// number without fraction or exponent that fits int64 parses as a whole number; any other
// number as a double (one beyond the double range is refused).
//
// Failures raise ParseError (a vastrel::Exception) whose message names the line and column
// (both from 1; columns count characters, not bytes) and what was expected.
//
// Not thread-safe: a value is used by one thread at a time; distinct values are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "platform/error.h"
#include "platform/export.h"

namespace vastrel::automation::json {

class Value;
struct Member;
using Array = std::vector<Value>;

// The members of an object, in insertion order, each name once.
class VASTREL_API Object {
 public:
  Object() = default;
  // Declared here and defaulted below, where Member is complete: a vector's members of an
  // incomplete type may not be instantiated yet (clang refuses what GCC lets pass).
  Object(const Object&);
  Object(Object&&) noexcept;
  Object& operator=(const Object&);
  Object& operator=(Object&&) noexcept;
  ~Object();

  // Defined below, where Member is complete.
  size_t size() const;
  bool empty() const;
  std::vector<Member>::const_iterator begin() const;
  std::vector<Member>::const_iterator end() const;

  // The value of the member with this exact name; nullptr when there is none.
  const Value* Find(std::string_view name) const;
  Value* Find(std::string_view name);
  // Sets a member: replaces the value of an existing name in its place, or appends.
  Value& Set(std::string name, Value value);
  // Removes the member with this name; false when there is none.
  bool Remove(std::string_view name);
  // Appends a member without looking for the name, for builders that know their names
  // are distinct (the parser, the property writer). REQUIRES: no member has this name.
  Value& Append(std::string name, Value value);

  friend bool operator==(const Object& a, const Object& b);

 private:
  std::vector<Member> members_;
};

class VASTREL_API Value {
 public:
  enum class Kind { kNull, kBool, kInt, kDouble, kString, kArray, kObject };

  Value() = default;
  Value(std::nullptr_t) {}                           // NOLINT: implicit by design
  Value(bool b) : v_(b) {}                           // NOLINT
  Value(double d) : v_(d) {}                         // NOLINT
  Value(std::string s) : v_(std::move(s)) {}         // NOLINT
  Value(std::string_view s) : v_(std::string(s)) {}  // NOLINT
  Value(const char* s) : v_(std::string(s)) {}       // NOLINT
  Value(Array a) : v_(std::move(a)) {}               // NOLINT
  Value(Object o) : v_(std::move(o)) {}              // NOLINT
  // Every integer type but bool becomes a whole number. Unsigned values above INT64_MAX
  // cannot be held and are not accepted at compile time.
  template <class I,
            std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool> &&
                                 !std::is_same_v<I, char> && (std::is_signed_v<I> || sizeof(I) < 8),
                             int> = 0>
  Value(I i) : v_(static_cast<int64_t>(i)) {}  // NOLINT

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool IsNull() const { return kind() == Kind::kNull; }
  bool IsBool() const { return kind() == Kind::kBool; }
  bool IsInt() const { return kind() == Kind::kInt; }
  // A whole number or a double.
  bool IsNumber() const { return kind() == Kind::kInt || kind() == Kind::kDouble; }
  bool IsString() const { return kind() == Kind::kString; }
  bool IsArray() const { return kind() == Kind::kArray; }
  bool IsObject() const { return kind() == Kind::kObject; }

  // REQUIRES: the value is of that kind (a failed requirement raises vastrel::Exception).
  bool AsBool() const { return Get<bool>(); }
  int64_t AsInt() const { return Get<int64_t>(); }
  // A whole number converts; REQUIRES: IsNumber().
  double AsDouble() const;
  const std::string& AsString() const { return Get<std::string>(); }
  const Array& AsArray() const { return Get<Array>(); }
  Array& AsArray() { return GetMutable<Array>(); }
  const Object& AsObject() const { return Get<Object>(); }
  Object& AsObject() { return GetMutable<Object>(); }

  // "null", "true or false", "a whole number", "a number", "a text", "a list", "an object".
  static const char* KindName(Kind kind);

  friend bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

 private:
  template <class T>
  const T& Get() const {
    if (const T* p = std::get_if<T>(&v_)) return *p;
    ThrowWrongKind();
  }
  template <class T>
  T& GetMutable() {
    if (T* p = std::get_if<T>(&v_)) return *p;
    ThrowWrongKind();
  }
  [[noreturn]] void ThrowWrongKind() const;

  std::variant<std::monostate, bool, int64_t, double, std::string, Array, Object> v_;
};

struct Member {
  std::string name;
  Value value;
  friend bool operator==(const Member&, const Member&) = default;
};

inline Object::Object(const Object&) = default;
inline Object::Object(Object&&) noexcept = default;
inline Object& Object::operator=(const Object&) = default;
inline Object& Object::operator=(Object&&) noexcept = default;
inline Object::~Object() = default;
inline size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }

inline std::vector<Member>::const_iterator Object::begin() const { return members_.begin(); }
inline std::vector<Member>::const_iterator Object::end() const { return members_.end(); }

// The error of a text that is not JSON: where and what. The message reads
// "line 3, column 14: expected ',' or '}' after an object member".
class VASTREL_API ParseError : public vastrel::Exception {
 public:
  ParseError(int line, int column, const std::string& what);
  int Line() const { return line_; }
  int Column() const { return column_; }

 private:
  int line_;
  int column_;
};

struct ParseOptions {
  // The deepest nesting of arrays and objects accepted; the top-level value is depth 1
  // when it is an array or object. Values above 512 count as 512.
  int max_depth = 64;
};

// True when the text is valid UTF-8: no overlong forms, surrogates or code points above
// U+10FFFF, no sequence cut short.
VASTREL_API bool IsValidUtf8(std::string_view text);

// Parses one JSON value that makes up the whole text (whitespace around it allowed).
// Raises ParseError.
VASTREL_API Value Parse(std::string_view text, const ParseOptions& options = {});

// Writes the value as JSON, pretty-printed with two spaces per level and a final newline;
// object members in their order. Non-ASCII text is written as UTF-8; control characters,
// the quote and the backslash are escaped. Raises vastrel::Exception for a text that is
// not valid UTF-8 and for a double that is not finite, which JSON cannot hold.
VASTREL_API std::string Write(const Value& value);

}  // namespace vastrel::automation::json
