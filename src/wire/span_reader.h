// A bounded reader over untrusted bytes (a frame, a reply, a file): one
// getter per type, each of which checks what is left first, consumes bytes
// only when it succeeds and never reads past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

class SpanReader {
 public:
  explicit SpanReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  explicit SpanReader(std::string_view bytes)
      : bytes_(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()) {}

  std::size_t remaining() const { return bytes_.size() - pos_; }
  // The bytes not read yet.
  std::string_view Rest() const;
  // A little-endian 32-bit number; false when fewer than 4 bytes are left.
  bool GetU32(std::uint32_t* value);
  // The next `count` bytes; false when fewer are left.
  bool GetBytes(std::size_t count, std::string_view* bytes);
  // A counted text: its length counting an ending zero (at most `max`), the
  // text and the zero; the view holds the text up to its first zero. False,
  // nothing consumed, for a length of 0 or above `max` or a short text.
  bool GetCountedText(std::uint32_t max, std::string_view* text);

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};
