// A small JSON value with a strict reader and a writer, for the control's property bag.
//
// The reader takes RFC 8259 text: one value, UTF-8, no comments, no trailing commas,
// nesting at most kMaxDepth deep. It never reads past its input and reports the first
// fault with its byte offset (vastrel::Exception "Invalid property bag: <reason> at byte
// <n>"). Objects keep their members in text order; a repeated name is refused. Numbers keep
// whether they were written as integers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/export.h"

namespace vastrel::automation::json {

inline constexpr int kMaxDepth = 64;

class VASTREL_API Value {
 public:
  enum class Kind { kNull, kBool, kInteger, kNumber, kString, kArray, kObject };
  using Member = std::pair<std::string, Value>;

  Value() = default;
  static Value Bool(bool b);
  static Value Integer(int64_t i);
  static Value Number(double d);
  static Value String(std::string s);
  static Value Array(std::vector<Value> items = {});
  static Value Object(std::vector<Member> members = {});

  Kind kind() const { return kind_; }
  bool is_integer() const { return kind_ == Kind::kInteger; }
  bool AsBool() const { return b_; }
  int64_t AsInteger() const { return i_; }
  double AsNumber() const { return kind_ == Kind::kInteger ? static_cast<double>(i_) : d_; }
  const std::string& AsString() const { return s_; }
  const std::vector<Value>& items() const { return items_; }
  const std::vector<Member>& members() const { return members_; }

  // Appends an array item or an object member.
  void Push(Value v) { items_.push_back(std::move(v)); }
  void Set(std::string name, Value v) { members_.emplace_back(std::move(name), std::move(v)); }
  // The member of that name, or null when there is none.
  const Value* Find(std::string_view name) const;

  // Compact text with two-space indentation per level when pretty.
  std::string Write(bool pretty = true) const;

 private:
  void WriteTo(std::string& out, int indent, bool pretty) const;

  Kind kind_ = Kind::kNull;
  bool b_ = false;
  int64_t i_ = 0;
  double d_ = 0;
  std::string s_;
  std::vector<Value> items_;
  std::vector<Member> members_;
};

// Reads one JSON value that fills the whole text (blanks around it allowed).
VASTREL_API Value Parse(std::string_view text);

}  // namespace vastrel::automation::json
