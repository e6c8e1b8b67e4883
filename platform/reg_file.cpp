#include "platform/reg_file.h"

#include <algorithm>

#include "platform/utf8.h"

namespace vela::platform {

namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// UTF-16LE bytes to the narrow text a narrow query hands out; an odd last
// byte is dropped.
std::string NarrowFromUtf16(std::span<const std::uint8_t> bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  }
  return Utf8FromUtf16(units);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A quoted string at the start of `text` with the \\ and \" escapes; the rest
// of the text follows in `rest`. Nothing when the closing quote is missing.
std::optional<std::string> QuotedString(std::string_view text, std::string_view* rest) {
  if (text.empty() || text.front() != '"') return std::nullopt;
  std::string out;
  for (std::size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      *rest = text.substr(i + 1);
      return out;
    }
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) ++i;
    out.push_back(text[i]);
  }
  return std::nullopt;
}

// "aa,bb,cc" (blanks allowed around the commas; empty is no bytes).
std::optional<std::vector<std::uint8_t>> HexBytes(std::string_view text) {
  std::vector<std::uint8_t> out;
  text = Trim(text);
  if (text.empty()) return out;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view item = Trim(text.substr(0, comma));
    if (item.empty() || item.size() > 2) return std::nullopt;
    int value = 0;
    for (char c : item) {
      const int d = HexDigit(c);
      if (d < 0) return std::nullopt;
      value = value * 16 + d;
    }
    out.push_back(static_cast<std::uint8_t>(value));
    if (comma == std::string_view::npos) return out;
    text = text.substr(comma + 1);
  }
}

// The data after '=': nothing when it cannot be read.
std::optional<std::vector<std::uint8_t>> ValueData(std::string_view data, bool unicodeExport) {
  std::string_view rest;
  if (auto text = QuotedString(data, &rest)) {
    if (!Trim(rest).empty()) return std::nullopt;
    std::vector<std::uint8_t> out(text->begin(), text->end());
    out.push_back(0);
    return out;
  }
  if (data.starts_with("dword:")) {
    const std::string_view digits = Trim(data.substr(6));
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : digits) {
      const int d = HexDigit(c);
      if (d < 0) return std::nullopt;
      value = value << 4 | static_cast<std::uint32_t>(d);
    }
    return std::vector<std::uint8_t>{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                     static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  }
  if (data.starts_with("hex:")) return HexBytes(data.substr(4));
  if (data.starts_with("hex(")) {
    const std::size_t close = data.find("):");
    if (close == std::string_view::npos || close == 4 || close > 12) return std::nullopt;
    std::uint32_t type = 0;
    for (char c : data.substr(4, close - 4)) {
      const int d = HexDigit(c);
      if (d < 0) return std::nullopt;
      type = type << 4 | static_cast<std::uint32_t>(d);
    }
    auto bytes = HexBytes(data.substr(close + 2));
    // String types (1 string, 2 expandable, 7 multi-string) are UTF-16 in a
    // version 5 export; a narrow query converts them.
    if (bytes && unicodeExport && (type == 1 || type == 2 || type == 7)) {
      const std::string narrow = NarrowFromUtf16(*bytes);
      bytes->assign(narrow.begin(), narrow.end());
    }
    return bytes;
  }
  return std::nullopt;
}

// The file's text as narrow characters, lines still joined.
std::string DecodeText(std::span<const std::uint8_t> bytes) {
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) return NarrowFromUtf16(bytes.subspan(2));
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) bytes = bytes.subspan(3);
  return std::string(bytes.begin(), bytes.end());
}

// Logical lines: a line ending in a backslash continues on the next (long
// hex values are wrapped that way).
std::vector<std::string> LogicalLines(std::string_view text) {
  std::vector<std::string> lines;
  std::string current;
  bool continuing = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    line = Trim(line);
    if (!continuing && line.starts_with(';')) {
      lines.emplace_back(line);  // a comment never continues
      continue;
    }
    if (continuing) {
      current += line;
    } else {
      current = line;
    }
    continuing = !current.empty() && current.back() == '\\';
    if (continuing) {
      current.pop_back();
      continue;
    }
    lines.push_back(std::move(current));
    current.clear();
  }
  if (continuing) lines.push_back(std::move(current));
  return lines;
}

}  // namespace

class RegFileParser {
 public:
  static std::optional<RegFile> Parse(std::span<const std::uint8_t> bytes) {
    const std::vector<std::string> lines = LogicalLines(DecodeText(bytes));
    auto line = lines.begin();
    while (line != lines.end() && line->empty()) ++line;
    if (line == lines.end()) return std::nullopt;
    bool unicodeExport;
    if (*line == "Windows Registry Editor Version 5.00") {
      unicodeExport = true;
    } else if (*line == "REGEDIT4") {
      unicodeExport = false;
    } else {
      return std::nullopt;
    }

    RegFile file;
    RegFile::Values* key = nullptr;
    for (++line; line != lines.end(); ++line) {
      const std::string_view text = *line;
      if (text.empty() || text.front() == ';') continue;
      if (text.front() == '[') {
        key = nullptr;
        if (text.back() != ']') continue;
        std::string_view path = Trim(text.substr(1, text.size() - 2));
        if (path.starts_with('-')) {
          DeleteKey(&file, Upper(Trim(path.substr(1))));
        } else if (!path.empty()) {
          key = &file.keys_[Upper(path)];
        }
        continue;
      }
      if (key == nullptr) continue;
      std::string name;
      std::string_view rest;
      if (text.front() == '@') {
        rest = text.substr(1);
      } else if (auto quoted = QuotedString(text, &rest)) {
        name = std::move(*quoted);
      } else {
        continue;
      }
      rest = Trim(rest);
      if (!rest.starts_with('=')) continue;
      const std::string_view data = Trim(rest.substr(1));
      if (data == "-") {
        key->erase(Upper(name));
      } else if (auto value = ValueData(data, unicodeExport)) {
        (*key)[Upper(name)] = std::move(*value);
      }
    }
    return file;
  }

 private:
  // The key and every key below it: in the sorted map those are the key
  // itself and the run of paths from "path\" up to "path]" (']' is the
  // character after the backslash), so a deletion costs only its own keys.
  static void DeleteKey(RegFile* file, const std::string& path) {
    auto& keys = file->keys_;
    keys.erase(path);
    keys.erase(keys.lower_bound(path + '\\'), keys.lower_bound(path + static_cast<char>('\\' + 1)));
  }
};

std::optional<RegFile> RegFile::Parse(std::span<const std::uint8_t> bytes) { return RegFileParser::Parse(bytes); }

bool RegFile::HasKey(std::string_view path) const {
  const std::string wanted = Upper(path);
  auto it = keys_.lower_bound(wanted);
  if (it == keys_.end()) return false;
  if (it->first == wanted) return true;
  // Keys sort after their parent; one starting with "parent\" proves it.
  for (; it != keys_.end() && it->first.starts_with(wanted); ++it) {
    if (it->first.size() > wanted.size() && it->first[wanted.size()] == '\\') return true;
  }
  return false;
}

const std::vector<std::uint8_t>* RegFile::Value(std::string_view keyPath, std::string_view name) const {
  const auto key = keys_.find(Upper(keyPath));
  if (key == keys_.end()) return nullptr;
  const auto value = key->second.find(Upper(name));
  return value == key->second.end() ? nullptr : &value->second;
}

}  // namespace vela::platform
