// Dotted IPv4 addresses and key hash checks.
#include "core/ids.h"

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "core/last_error.h"
#include "core/text.h"

std::uint32_t ParseDottedIp(const char* text) {
  if (text == nullptr) return 0;
  std::string_view view(text, strnlen(text, 15));
  std::uint32_t parts[4] = {0, 0, 0, 0};
  std::size_t start = 0;
  for (int i = 0; i < 4 && start <= view.size(); ++i) {
    std::size_t dot = view.find('.', start);
    std::string_view part =
        view.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    std::int32_t value = ParseInt(part);
    parts[i] = (value < 0 || value > 255) ? 0 : static_cast<std::uint32_t>(value);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
}

std::string FormatDottedIp(std::uint32_t address) {
  char text[sizeof "255.255.255.255"];
  std::snprintf(text, sizeof text, "%i.%i.%i.%i", static_cast<int>(address >> 24),
                static_cast<int>((address >> 16) & 0xFF), static_cast<int>((address >> 8) & 0xFF),
                static_cast<int>(address & 0xFF));
  return text;
}

bool IsHexString(std::string_view text) {
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool CheckKeyhash(std::string_view text) {
  if (text.size() != 32) {
    SetLastError(kErrKeyhashLength);
    return false;
  }
  if (!IsHexString(text)) {
    SetLastError(kErrKeyhashDigits);
    return false;
  }
  return true;
}
