// The console's wire format as the game server speaks it: little-endian
// 32-bit numbers, packets of NUL-terminated strings, and the login exchange
// with its 10-byte scrambling key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gamesim {

inline constexpr std::size_t kKeyLength = 10;
// Caps on what a peer may announce; anything larger drops the connection.
inline constexpr std::uint32_t kMaxLoginField = 256;
inline constexpr std::uint32_t kMaxStrings = 4096;
inline constexpr std::uint32_t kMaxStringLength = 65536;
inline constexpr std::size_t kMaxPacketBytes = 1u << 20;

void PutU32Le(std::string* out, std::uint32_t value);
std::uint32_t GetU32Le(const unsigned char* bytes);

// One packet of strings: count, then per string its length (with the NUL)
// and its bytes with the NUL.
std::string EncodePacket(const std::vector<std::string>& strings);

enum class ParseResult { kNeedMore, kDone, kMalformed };

// Tries to take one packet of strings from the front of `buffer`. On kDone
// the strings (without their NULs, cut at an inner NUL) are in *strings and
// the packet's bytes are removed from the buffer. kMalformed means the peer
// announced more than the caps allow or sent a zero-length string.
ParseResult TakePacket(std::string* buffer, std::vector<std::string>* strings);

// Tries to take the login (two length-prefixed scrambled fields) from the
// front of `buffer` and unscrambles them with `key`.
ParseResult TakeLogin(std::string* buffer, const unsigned char* key,
                      std::string* user, std::string* password);

// Character i XOR key[i mod 10]; the same call scrambles and unscrambles.
std::string Scramble(std::string_view text, const unsigned char* key);

}  // namespace gamesim
