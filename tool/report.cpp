#include "tool/report.h"

#include <cctype>
#include <cstdio>

namespace vela::host {

Value& Value::Set(const std::string& key, Value value) {
  kind_ = Kind::Object;
  for (auto& field : fields_) {
    if (field.first == key) return field.second = std::move(value);
  }
  fields_.emplace_back(key, std::move(value));
  return fields_.back().second;
}

Value& Value::operator[](const std::string& key) {
  for (auto& field : fields_) {
    if (field.first == key) return field.second;
  }
  return Set(key, Object());
}

Value& Value::Append(Value value) {
  kind_ = Kind::List;
  items_.push_back(std::move(value));
  return items_.back();
}

const Value* Value::Find(const std::string& key) const {
  for (const auto& field : fields_) {
    if (field.first == key) return &field.second;
  }
  return nullptr;
}

namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

void Json(const Value& value, int depth, std::string* out) {
  const std::string inner(2 * (depth + 1), ' ');
  const std::string outer(2 * depth, ' ');
  switch (value.kind()) {
    case Value::Kind::Null: *out += "null"; break;
    case Value::Kind::Bool: *out += value.flag() ? "true" : "false"; break;
    case Value::Kind::Number: *out += std::to_string(value.number()); break;
    case Value::Kind::Text: *out += JsonString(value.text()); break;
    case Value::Kind::List:
      if (value.items().empty()) {
        *out += "[]";
        break;
      }
      *out += "[\n";
      for (std::size_t i = 0; i < value.items().size(); ++i) {
        *out += inner;
        Json(value.items()[i], depth + 1, out);
        *out += i + 1 < value.items().size() ? ",\n" : "\n";
      }
      *out += outer + "]";
      break;
    case Value::Kind::Object:
      if (value.fields().empty()) {
        *out += "{}";
        break;
      }
      *out += "{\n";
      for (std::size_t i = 0; i < value.fields().size(); ++i) {
        *out += inner + JsonString(value.fields()[i].first) + ": ";
        Json(value.fields()[i].second, depth + 1, out);
        *out += i + 1 < value.fields().size() ? ",\n" : "\n";
      }
      *out += outer + "}";
      break;
  }
}

std::string Label(const std::string& key) {
  if (key.empty() || !std::islower(static_cast<unsigned char>(key[0]))) return key;
  std::string label;
  for (const char c : key) {
    if (std::isupper(static_cast<unsigned char>(c))) {
      label += ' ';
      label += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else {
      label += c;
    }
  }
  return label;
}

bool IsScalar(const Value& value) {
  return value.kind() != Value::Kind::List && value.kind() != Value::Kind::Object;
}

// A scalar on one line; continuation lines of a multi-line text are indented.
std::string Scalar(const Value& value, const std::string& indent) {
  switch (value.kind()) {
    case Value::Kind::Null: return "unavailable";
    case Value::Kind::Bool: return value.flag() ? "yes" : "no";
    case Value::Kind::Number: return std::to_string(value.number());
    default: break;
  }
  std::string out;
  for (const char c : value.text()) {
    out += c;
    if (c == '\n') out += indent + "  ";
  }
  return out;
}

void Text(const Value& value, const std::string& indent, std::string* out);

void TextField(const std::string& label, const Value& value, const std::string& indent, std::string* out) {
  if (IsScalar(value)) {
    *out += indent + label + ": " + Scalar(value, indent) + "\n";
    return;
  }
  const bool empty = value.kind() == Value::Kind::List ? value.items().empty() : value.fields().empty();
  if (empty) {
    *out += indent + label + ": none\n";
    return;
  }
  *out += indent + label + ":\n";
  Text(value, indent + "  ", out);
}

void Text(const Value& value, const std::string& indent, std::string* out) {
  switch (value.kind()) {
    case Value::Kind::Object:
      for (const auto& [key, field] : value.fields()) TextField(Label(key), field, indent, out);
      break;
    case Value::Kind::List:
      for (const Value& item : value.items()) {
        if (IsScalar(item)) {
          *out += indent + "- " + Scalar(item, indent) + "\n";
        } else {
          // The first line of an item carries the dash, the rest align under it.
          std::string block;
          Text(item, indent + "  ", &block);
          if (block.empty()) block = indent + "  none\n";
          block.replace(indent.size(), 2, "- ");
          *out += block;
        }
      }
      break;
    default:
      *out += indent + Scalar(value, indent) + "\n";
      break;
  }
}

}  // namespace

std::string RenderJson(const Value& value) {
  std::string out;
  Json(value, 0, &out);
  return out + "\n";
}

std::string RenderText(const Value& value) {
  std::string out;
  Text(value, "", &out);
  return out;
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t count, const char* separator) {
  std::string out;
  char pair[3];
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += separator;
    std::snprintf(pair, sizeof(pair), "%02X", bytes[i]);
    out += pair;
  }
  return out;
}

bool ParseHex(const std::string& text, std::vector<std::uint8_t>* bytes) {
  if (text.size() % 2 != 0) return false;
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bytes->clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return true;
}

}  // namespace vela::host
