// The bounded reader's getters.
#include "wire/span_reader.h"

#include "core/byte_order.h"

std::string_view SpanReader::Rest() const {
  return std::string_view(reinterpret_cast<const char*>(bytes_.data()) + pos_, remaining());
}

bool SpanReader::GetU32(std::uint32_t* value) {
  if (remaining() < 4) return false;
  *value = LoadU32(bytes_.data() + pos_);
  pos_ += 4;
  return true;
}

bool SpanReader::GetBytes(std::size_t count, std::string_view* bytes) {
  if (remaining() < count) return false;
  *bytes = Rest().substr(0, count);
  pos_ += count;
  return true;
}

bool SpanReader::GetCountedText(std::uint32_t max, std::string_view* text) {
  const std::size_t start = pos_;
  std::uint32_t length = 0;
  std::string_view bytes;
  if (!GetU32(&length) || length == 0 || length > max || !GetBytes(length, &bytes)) {
    pos_ = start;
    return false;
  }
  *text = bytes.substr(0, bytes.find('\0'));
  return true;
}
