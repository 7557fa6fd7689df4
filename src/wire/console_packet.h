// The game server's console link as both ends speak it (the daemon and the
// simulated server): after the 10-byte key the server sends first, the
// login is two counted texts scrambled with that key; then each way goes
// packets of strings: a little-endian 32-bit count, then per string its
// 32-bit length (with its ending NUL) and its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wire/span_reader.h"

inline constexpr std::size_t kConsoleKeyLength = 10;

// What one end takes of a packet; anything beyond breaks the link.
struct ConsoleLimits {
  std::uint32_t max_strings = 0;
  std::uint32_t max_string = 0;  // a string's announced length, with its NUL
  std::size_t max_bytes = 0;     // the strings with their length words
  bool empty_strings = false;    // a length of 0 is an empty string, not a fault
};

// The packet of `strings` (each sent with its NUL; text past an inner NUL
// is lost to the reader).
void AppendConsolePacket(std::string& out, std::span<const std::string> strings);

// Character i XOR key[i mod 10]; the same call scrambles and unscrambles.
std::string ScrambleConsoleText(std::string_view text, const unsigned char* key);
// The login: the user, then the password, each scrambled and counted; the
// ending NUL travels unscrambled.
void AppendConsoleLogin(std::string& out, std::string_view user, std::string_view password,
                        const unsigned char* key);

enum class ConsoleRead { kNeedMore, kMalformed, kField, kString, kDone };

// Reads one packet field by field, so a socket can be read for exactly
// the bytes the next field needs and a buffer can be read as far as it goes.
class ConsolePacketReader {
 public:
  explicit ConsolePacketReader(const ConsoleLimits& limits) : limits_(limits) {}

  // The bytes the next field takes: 4 for the count or a length word, else
  // the announced length of the string; 0 once the packet is read.
  std::size_t wanted() const;
  bool done() const { return stage_ == Stage::kDone; }
  // How many strings have been read, the last one included.
  std::uint32_t strings_read() const { return strings_read_; }
  // Reads the next field from `in` when all its bytes are there:
  // kNeedMore consumes nothing; kMalformed (a count, a length or a total
  // beyond the limits, or an empty string where none is allowed) leaves
  // the reader so; kField is a count or a length word taken; kString puts
  // the string, up to its first NUL, in *text (a view of `in`'s bytes);
  // kDone is the count 0, an empty packet, or a call once done.
  ConsoleRead Next(SpanReader& in, std::string_view* text);

 private:
  enum class Stage { kCount, kLength, kText, kDone, kBroken };
  ConsoleRead Step(Stage next, ConsoleRead result);
  ConsoleRead StringRead();

  ConsoleLimits limits_;
  Stage stage_ = Stage::kCount;
  std::uint32_t strings_left_ = 0;
  std::uint32_t strings_read_ = 0;
  std::uint32_t length_ = 0;
  std::size_t total_ = 0;
};

// One whole packet from the front of `in`: kDone with the strings in
// *strings and its bytes consumed; kNeedMore or kMalformed consume nothing.
ConsoleRead ReadConsolePacket(SpanReader& in, const ConsoleLimits& limits,
                              std::vector<std::string>* strings);
// The login from the front of `in`, each field announced at 1 to
// `max_field` bytes and unscrambled with `key`, then cut at its first NUL:
// kDone, kNeedMore or kMalformed, consuming bytes only on kDone.
ConsoleRead ReadConsoleLogin(SpanReader& in, std::uint32_t max_field, const unsigned char* key,
                             std::string* user, std::string* password);
