// A small strict JSON reader for checking korvctl's --json output: it
// refuses anything that is not well-formed JSON.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvctltest {

struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> members;
  const Json& operator[](const std::string& key) const {
    static const Json missing;
    auto found = members.find(key);
    return found == members.end() ? missing : found->second;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}
  // The one value that makes up the whole text, or nothing.
  std::optional<Json> ReadAll() {
    Json value;
    if (!Value(&value)) return std::nullopt;
    Blank();
    if (at_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  void Blank() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\t' ||
                                  text_[at_] == '\r'))
      ++at_;
  }
  bool Take(char c) {
    Blank();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(const std::string& word) {
    if (text_.compare(at_, word.size(), word) != 0) return false;
    at_ += word.size();
    return true;
  }
  bool String(std::string* out) {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      unsigned char c = text_[at_++];
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (at_ >= text_.size()) return false;
      char e = text_[at_++];
      const std::string simple = "\"\\/bfnrt";
      const std::string meant = "\"\\/\b\f\n\r\t";
      if (auto pos = simple.find(e); pos != std::string::npos) {
        out->push_back(meant[pos]);
      } else if (e == 'u' && at_ + 4 <= text_.size()) {
        unsigned value = std::stoul(text_.substr(at_, 4), nullptr, 16);
        at_ += 4;
        if (value < 0x80) {
          out->push_back(static_cast<char>(value));
        } else if (value < 0x800) {
          out->push_back(static_cast<char>(0xC0 | (value >> 6)));
          out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
        } else {
          out->push_back(static_cast<char>(0xE0 | (value >> 12)));
          out->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
          out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
        }
      } else {
        return false;
      }
    }
    return false;
  }
  bool Value(Json* value) {
    Blank();
    if (at_ >= text_.size()) return false;
    char c = text_[at_];
    if (c == '"') {
      value->kind = Json::kString;
      return String(&value->text);
    }
    if (c == '{') {
      ++at_;
      value->kind = Json::kObject;
      if (Take('}')) return true;
      do {
        std::string key;
        Json member;
        if (!String(&key) || !Take(':') || !Value(&member)) return false;
        value->members[key] = member;
      } while (Take(','));
      return Take('}');
    }
    if (c == '[') {
      ++at_;
      value->kind = Json::kArray;
      if (Take(']')) return true;
      do {
        Json item;
        if (!Value(&item)) return false;
        value->items.push_back(item);
      } while (Take(','));
      return Take(']');
    }
    if (Word("true") || Word("false")) {
      value->kind = Json::kBool;
      value->boolean = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
      return true;
    }
    if (Word("null")) return true;
    std::size_t used = 0;
    try {
      value->number = std::stod(text_.substr(at_), &used);
    } catch (...) {
      return false;
    }
    value->kind = Json::kNumber;
    at_ += used;
    return used > 0;
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

inline std::optional<Json> ParseJson(const std::string& text) { return JsonReader(text).ReadAll(); }

// The lines of `text` that begin with '{', each parsed (none for a line that
// does not parse).
inline std::vector<std::optional<Json>> JsonLines(const std::string& text) {
  std::vector<std::optional<Json>> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (text[start] == '{') lines.push_back(ParseJson(text.substr(start, end - start)));
    start = end + 1;
  }
  return lines;
}

}  // namespace korvctltest
