// Console packets and the scrambled login, parsed with caps so that no
// announced count or length can make the server allocate without bound.
#include "wire.h"

namespace gamesim {

void PutU32Le(std::string* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t GetU32Le(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::string EncodePacket(const std::vector<std::string>& strings) {
  std::string out;
  PutU32Le(&out, static_cast<std::uint32_t>(strings.size()));
  for (const std::string& s : strings) {
    PutU32Le(&out, static_cast<std::uint32_t>(s.size() + 1));
    out.append(s);
    out.push_back('\0');
  }
  return out;
}

namespace {

// Reads a 32-bit number at `pos` if four bytes are there.
bool ReadU32(const std::string& buffer, std::size_t pos, std::uint32_t* value) {
  if (buffer.size() < 4 || buffer.size() - 4 < pos) return false;
  *value = GetU32Le(reinterpret_cast<const unsigned char*>(buffer.data() + pos));
  return true;
}

std::string CutAtNul(std::string_view bytes) {
  std::size_t nul = bytes.find('\0');
  return std::string(nul == std::string_view::npos ? bytes : bytes.substr(0, nul));
}

}  // namespace

ParseResult TakePacket(std::string* buffer, std::vector<std::string>* strings) {
  std::uint32_t count = 0;
  if (!ReadU32(*buffer, 0, &count)) return ParseResult::kNeedMore;
  if (count > kMaxStrings) return ParseResult::kMalformed;
  std::vector<std::string> parsed;
  std::size_t pos = 4;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t length = 0;
    if (!ReadU32(*buffer, pos, &length)) {
      return pos > kMaxPacketBytes ? ParseResult::kMalformed : ParseResult::kNeedMore;
    }
    if (length == 0 || length > kMaxStringLength) return ParseResult::kMalformed;
    pos += 4;
    if (pos + length > kMaxPacketBytes) return ParseResult::kMalformed;
    if (buffer->size() - pos < length) return ParseResult::kNeedMore;
    parsed.push_back(CutAtNul(std::string_view(*buffer).substr(pos, length)));
    pos += length;
  }
  buffer->erase(0, pos);
  *strings = std::move(parsed);
  return ParseResult::kDone;
}

ParseResult TakeLogin(std::string* buffer, const unsigned char* key, std::string* user,
                      std::string* password) {
  std::size_t pos = 0;
  std::string fields[2];
  for (std::string& field : fields) {
    std::uint32_t length = 0;
    if (!ReadU32(*buffer, pos, &length)) return ParseResult::kNeedMore;
    if (length == 0 || length > kMaxLoginField) return ParseResult::kMalformed;
    pos += 4;
    if (buffer->size() - pos < length) return ParseResult::kNeedMore;
    // The terminating NUL travels unscrambled; only the characters before it count.
    field = Scramble(std::string_view(*buffer).substr(pos, length - 1), key);
    field = CutAtNul(field);
    pos += length;
  }
  buffer->erase(0, pos);
  *user = fields[0];
  *password = fields[1];
  return ParseResult::kDone;
}

std::string Scramble(std::string_view text, const unsigned char* key) {
  std::string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char>(static_cast<unsigned char>(out[i]) ^ key[i % kKeyLength]);
  }
  return out;
}

}  // namespace gamesim
