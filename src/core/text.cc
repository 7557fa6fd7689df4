// Case, escaping, integer parsing and formatting, cutting and trimming.
#include "core/text.h"

#include <cctype>
#include <climits>
#include <cstdio>

std::string EscapeControlText(std::string_view text, std::size_t max_length) {
  std::string out;
  for (char c : text) {
    if (out.size() >= max_length) break;
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte == '\r' || byte == '\n' || byte == 0x80) {
      out += ' ';
    } else if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
      if (out.size() + 4 > max_length) break;
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string FormatInteger(std::int32_t value, int base) {
  if (base < 2) base = 10;
  std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value)
                                      : static_cast<std::uint32_t>(value);
  std::string digits;
  do {
    std::uint32_t digit = magnitude % static_cast<std::uint32_t>(base);
    digits += static_cast<char>(digit > 9 ? 'a' + (digit - 10) : '0' + digit);
    magnitude /= static_cast<std::uint32_t>(base);
  } while (magnitude != 0);
  if (value < 0) digits += '-';
  return std::string(digits.rbegin(), digits.rend());
}

char* UpperCase(char* text) {
  for (char* p = text; p != nullptr && *p != '\0'; ++p)
    *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  return text;
}

char* LowerCase(char* text) {
  for (char* p = text; p != nullptr && *p != '\0'; ++p)
    *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  return text;
}

void UpperCase(std::string& text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

void LowerCase(std::string& text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::int64_t ParseLong(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    int digit = text[i] - '0';
    if (value > (INT64_MAX - digit) / 10) return negative ? INT64_MIN : INT64_MAX;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

std::int32_t ParseInt(std::string_view text) {
  std::int64_t value = ParseLong(text);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

std::string CutText(std::string_view text, std::size_t max_chars) {
  return std::string(text.substr(0, max_chars));
}

void TrimLineEnd(std::string& line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
}
