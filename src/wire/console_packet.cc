// Console packets and the scrambled login: every count and length is
// checked against the reader's limits before anything is allocated for it.
#include "wire/console_packet.h"

#include "core/byte_order.h"

void AppendConsolePacket(std::string& out, std::span<const std::string> strings) {
  AppendU32(out, static_cast<std::uint32_t>(strings.size()));
  for (const std::string& text : strings) AppendCountedText(out, text);
}

std::string ScrambleConsoleText(std::string_view text, const unsigned char* key) {
  std::string out(text);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char>(static_cast<unsigned char>(out[i]) ^ key[i % kConsoleKeyLength]);
  return out;
}

void AppendConsoleLogin(std::string& out, std::string_view user, std::string_view password,
                        const unsigned char* key) {
  AppendCountedText(out, ScrambleConsoleText(user, key));
  AppendCountedText(out, ScrambleConsoleText(password, key));
}

std::size_t ConsolePacketReader::wanted() const {
  switch (stage_) {
    case Stage::kCount:
    case Stage::kLength:
      return 4;
    case Stage::kText:
      return length_;
    default:
      return 0;
  }
}

ConsoleRead ConsolePacketReader::Step(Stage next, ConsoleRead result) {
  stage_ = next;
  return result;
}

ConsoleRead ConsolePacketReader::StringRead() {
  ++strings_read_;
  return Step(--strings_left_ == 0 ? Stage::kDone : Stage::kLength, ConsoleRead::kString);
}

ConsoleRead ConsolePacketReader::Next(SpanReader& in, std::string_view* text) {
  if (stage_ == Stage::kBroken) return ConsoleRead::kMalformed;
  if (stage_ == Stage::kDone) return ConsoleRead::kDone;
  if (stage_ == Stage::kText) {
    std::string_view bytes;
    if (!in.GetBytes(length_, &bytes)) return ConsoleRead::kNeedMore;
    *text = bytes.substr(0, bytes.find('\0'));
    return StringRead();
  }
  std::uint32_t value = 0;
  if (!in.GetU32(&value)) return ConsoleRead::kNeedMore;
  if (stage_ == Stage::kCount) {
    if (value > limits_.max_strings) return Step(Stage::kBroken, ConsoleRead::kMalformed);
    strings_left_ = value;
    return value == 0 ? Step(Stage::kDone, ConsoleRead::kDone) : Step(Stage::kLength, ConsoleRead::kField);
  }
  total_ += 4 + static_cast<std::size_t>(value);
  if (value > limits_.max_string || total_ > limits_.max_bytes || (value == 0 && !limits_.empty_strings))
    return Step(Stage::kBroken, ConsoleRead::kMalformed);
  length_ = value;
  if (value > 0) return Step(Stage::kText, ConsoleRead::kField);
  // An empty string has no bytes to wait for.
  *text = {};
  return StringRead();
}

ConsoleRead ReadConsolePacket(SpanReader& in, const ConsoleLimits& limits,
                              std::vector<std::string>* strings) {
  ConsolePacketReader reader(limits);
  SpanReader rest = in;
  std::vector<std::string> read;
  while (!reader.done()) {
    std::string_view text;
    ConsoleRead step = reader.Next(rest, &text);
    if (step == ConsoleRead::kNeedMore || step == ConsoleRead::kMalformed) return step;
    if (step == ConsoleRead::kString) read.emplace_back(text);
  }
  in = rest;
  *strings = std::move(read);
  return ConsoleRead::kDone;
}

ConsoleRead ReadConsoleLogin(SpanReader& in, std::uint32_t max_field, const unsigned char* key,
                             std::string* user, std::string* password) {
  SpanReader rest = in;
  std::string fields[2];
  for (std::string& field : fields) {
    std::uint32_t length = 0;
    std::string_view bytes;
    if (!rest.GetU32(&length)) return ConsoleRead::kNeedMore;
    if (length == 0 || length > max_field) return ConsoleRead::kMalformed;
    if (!rest.GetBytes(length, &bytes)) return ConsoleRead::kNeedMore;
    // A scrambled character may be a NUL: cut only once unscrambled.
    field = ScrambleConsoleText(bytes.substr(0, length - 1), key);
    field.resize(field.find('\0') == std::string::npos ? field.size() : field.find('\0'));
  }
  in = rest;
  *user = std::move(fields[0]);
  *password = std::move(fields[1]);
  return ConsoleRead::kDone;
}
