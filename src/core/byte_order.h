// Little-endian 32-bit words and counted texts as the wire and the archives
// carry them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline std::uint32_t LoadU32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}
inline void StoreU32(unsigned char* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}
inline void AppendU32(std::string& out, std::uint32_t value) {
  unsigned char bytes[4];
  StoreU32(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), 4);
}
// A text on the wire: its length with the ending zero, the text, the zero.
inline void AppendCountedText(std::string& out, std::string_view text) {
  AppendU32(out, static_cast<std::uint32_t>(text.size() + 1));
  out.append(text);
  out.push_back('\0');
}
