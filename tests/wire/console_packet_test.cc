// Console packets and the login: what one end writes the other reads the
// same, whole or field by field, and announced sizes past the limits fail.
#include "wire/console_packet.h"

#include <gtest/gtest.h>

#include <random>

#include "core/byte_order.h"

namespace {

constexpr ConsoleLimits kLoose{.max_strings = 100, .max_string = 100, .max_bytes = 400, .empty_strings = true};

std::string U32(std::uint32_t value) {
  std::string out;
  AppendU32(out, value);
  return out;
}

// Reads `bytes` as a socket would deliver them: exactly what each field wants.
std::vector<std::string> ReadByFields(const std::string& bytes, std::size_t* used) {
  ConsolePacketReader reader(kLoose);
  std::vector<std::string> strings;
  SpanReader in(bytes);
  while (!reader.done()) {
    std::string_view field, text;
    if (!in.GetBytes(reader.wanted(), &field)) break;
    SpanReader one(field);
    if (reader.Next(one, &text) == ConsoleRead::kString) strings.emplace_back(text);
    EXPECT_EQ(one.remaining(), 0u);
  }
  *used = bytes.size() - in.remaining();
  return strings;
}

TEST(WireConsolePacket, PacketsReadBackWholeOrByFieldsAndPartsWait) {
  std::string out;
  AppendConsolePacket(out, std::vector<std::string>{"ab", ""});
  EXPECT_EQ(out, U32(2) + U32(3) + std::string("ab\0", 3) + U32(1) + std::string(1, '\0'));
  std::mt19937 random(35);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> strings(random() % 5);
    for (std::string& s : strings) s.assign(random() % 9, static_cast<char>('a' + random() % 26));
    std::string bytes;
    AppendConsolePacket(bytes, strings);
    const std::string packet = bytes;
    bytes += "next";
    std::vector<std::string> whole, streamed;
    SpanReader in(bytes);
    ASSERT_EQ(ReadConsolePacket(in, kLoose, &whole), ConsoleRead::kDone);
    std::size_t used = 0;
    streamed = ReadByFields(bytes, &used);
    EXPECT_EQ((std::tuple{whole, streamed, in.Rest(), used}),
              (std::tuple{strings, strings, std::string_view("next"), packet.size()}));
    SpanReader part(std::string_view(packet).substr(0, random() % packet.size()));
    EXPECT_EQ(ReadConsolePacket(part, kLoose, &whole), ConsoleRead::kNeedMore);
    EXPECT_EQ(part.Rest().data(), packet.data());
  }
}

TEST(WireConsolePacket, LimitsAndInnerNuls) {
  const ConsoleLimits strict{.max_strings = 2, .max_string = 4, .max_bytes = 15, .empty_strings = false};
  using Strings = std::vector<std::string>;
  const std::tuple<std::string, ConsoleRead, Strings> cases[] = {
      {U32(3), ConsoleRead::kMalformed, {"old"}},                                 // too many strings
      {U32(2) + U32(5), ConsoleRead::kMalformed, {"old"}},                        // too long a string
      {U32(2) + U32(4) + "abc" + '\0' + U32(4), ConsoleRead::kMalformed, {"old"}},  // 16 bytes in all
      {U32(2) + U32(4) + "abc" + '\0' + U32(3), ConsoleRead::kNeedMore, {"old"}},   // 15 would wait
      {U32(1) + U32(0), ConsoleRead::kMalformed, {"old"}},                        // no empty strings
      {U32(1) + U32(4) + std::string("a\0bc", 4), ConsoleRead::kDone, {"a"}},
      {U32(0), ConsoleRead::kDone, {}},
  };
  for (const auto& [bytes, result, expected] : cases) {
    Strings strings{"old"};
    SpanReader in(bytes);
    EXPECT_EQ(ReadConsolePacket(in, strict, &strings), result) << bytes.size();
    EXPECT_EQ((std::pair{in.remaining(), strings}),
              (std::pair{result == ConsoleRead::kDone ? 0 : bytes.size(), expected}));
  }
  std::vector<std::string> strings;
  const std::string empties = U32(2) + U32(0) + U32(1) + '\0';
  SpanReader empty(empties);
  ASSERT_EQ(ReadConsolePacket(empty, kLoose, &strings), ConsoleRead::kDone);
  EXPECT_EQ(strings, (std::vector<std::string>{"", ""}));
}

// A character equal to its key byte scrambles to a NUL, which must not cut the field.
TEST(WireConsolePacket, LoginReadsBackThroughScrambledNuls) {
  const unsigned char key[kConsoleKeyLength] = {'a', 2, 3, 4, 5, 6, 7, 8, 9, 'x'};
  std::string login;
  AppendConsoleLogin(login, "admin", "0123456789x", key);
  EXPECT_EQ(login.substr(0, 6), U32(6) + '\0' + char('d' ^ 2));
  std::string user, password;
  const std::string sent = login + "rest";
  SpanReader in(sent);
  ASSERT_EQ(ReadConsoleLogin(in, 12, key, &user, &password), ConsoleRead::kDone);
  EXPECT_EQ((std::tuple{user, password, in.Rest()}),
            (std::tuple{std::string("admin"), std::string("0123456789x"), std::string_view("rest")}));
  for (const auto& [bytes, result] : {std::pair{login, ConsoleRead::kMalformed},  // 12 bytes
                                      std::pair{login.substr(0, 12), ConsoleRead::kNeedMore},
                                      std::pair{U32(0), ConsoleRead::kMalformed}}) {
    SpanReader hostile(bytes);
    EXPECT_EQ(ReadConsoleLogin(hostile, 11, key, &user, &password), result);
    EXPECT_EQ(hostile.remaining(), bytes.size());
  }
}

}  // namespace
