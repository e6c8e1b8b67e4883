// What a command prints, built once and shown as text or as JSON: a tree of
// named values in the order they were added.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vela::host {

class Value {
 public:
  enum class Kind { Null, Bool, Number, Text, List, Object };

  Value() = default;
  Value(bool value) : kind_(Kind::Bool), flag_(value) {}
  Value(int value) : Value(static_cast<std::int64_t>(value)) {}
  Value(unsigned value) : Value(static_cast<std::int64_t>(value)) {}
  Value(std::int64_t value) : kind_(Kind::Number), number_(value) {}
  Value(std::uint64_t value) : Value(static_cast<std::int64_t>(value)) {}
  Value(const char* text) : kind_(Kind::Text), text_(text) {}
  Value(std::string text) : kind_(Kind::Text), text_(std::move(text)) {}

  static Value List() { return Value(Kind::List); }
  static Value Object() { return Value(Kind::Object); }

  // Object: sets `key` (replacing an earlier value of it) and returns the stored value.
  Value& Set(const std::string& key, Value value);
  // Object: the value of `key`, created as an empty object if missing.
  Value& operator[](const std::string& key);
  // List: appends and returns the stored value.
  Value& Append(Value value);

  Kind kind() const { return kind_; }
  bool flag() const { return flag_; }
  std::int64_t number() const { return number_; }
  const std::string& text() const { return text_; }
  const std::vector<Value>& items() const { return items_; }
  const std::vector<std::pair<std::string, Value>>& fields() const { return fields_; }
  // Object: the value of `key` or null.
  const Value* Find(const std::string& key) const;

 private:
  explicit Value(Kind kind) : kind_(kind) {}
  Kind kind_ = Kind::Null;
  bool flag_ = false;
  std::int64_t number_ = 0;
  std::string text_;
  std::vector<Value> items_;
  std::vector<std::pair<std::string, Value>> fields_;
};

// JSON with two-space indentation and a final newline.
std::string RenderJson(const Value& value);
// "label: value" lines, nested values indented; a lower-camel-case key is
// shown as words ("serialNumber" as "serial number").
std::string RenderText(const Value& value);

// Bytes as upper-case hexadecimal pairs separated by `separator`.
std::string HexBytes(const std::uint8_t* bytes, std::size_t count, const char* separator = " ");

// Hexadecimal pairs without separators ("" is no bytes); false on anything else.
bool ParseHex(const std::string& text, std::vector<std::uint8_t>* bytes);

}  // namespace vela::host
