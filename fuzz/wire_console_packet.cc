// Console packets and the login as the daemon and gamesim read them with
// the one codec: a packet read whole is the packet read field by field (as
// the daemon reads its socket), and what was read writes and reads back
// the same.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "wire/console_packet.h"

namespace {

constexpr ConsoleLimits kLimits{.max_strings = 64, .max_string = 4096, .max_bytes = 16384, .empty_strings = true};
constexpr unsigned char kKey[kConsoleKeyLength] = {'a', 0, 0x7F, 0x80, 0xFF, 'b', 1, 2, 3, 4};

// The field-by-field reading; kDone, kNeedMore or kMalformed as the whole one.
ConsoleRead ReadByFields(std::string_view bytes, std::vector<std::string>* strings) {
  ConsolePacketReader reader(kLimits);
  SpanReader in(bytes);
  while (!reader.done()) {
    std::string_view field, text;
    if (!in.GetBytes(reader.wanted(), &field)) return ConsoleRead::kNeedMore;
    SpanReader one(field);
    ConsoleRead step = reader.Next(one, &text);
    if (step == ConsoleRead::kMalformed || one.remaining() != 0) return ConsoleRead::kMalformed;
    if (step == ConsoleRead::kString) strings->emplace_back(text);
  }
  return ConsoleRead::kDone;
}

void CheckPacket(std::string_view bytes) {
  std::vector<std::string> whole, streamed, again;
  SpanReader in(bytes);
  const ConsoleRead result = ReadConsolePacket(in, kLimits, &whole);
  if (ReadByFields(bytes, &streamed) != result) std::abort();
  if (result != ConsoleRead::kDone) return;
  std::string written;
  AppendConsolePacket(written, whole);
  SpanReader back(written);
  if (streamed != whole || ReadConsolePacket(back, kLimits, &again) != ConsoleRead::kDone ||
      again != whole || back.remaining() != 0)
    std::abort();
}

void CheckLogin(std::string_view bytes) {
  std::string user, password, user_again, password_again;
  SpanReader in(bytes);
  if (ReadConsoleLogin(in, 4096, kKey, &user, &password) != ConsoleRead::kDone) return;
  std::string written;
  AppendConsoleLogin(written, user, password, kKey);
  SpanReader back(written);
  if (ReadConsoleLogin(back, 4096, kKey, &user_again, &password_again) != ConsoleRead::kDone ||
      user_again != user || password_again != password || back.remaining() != 0)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckPacket(bytes);
  CheckLogin(bytes);
  return 0;
}
