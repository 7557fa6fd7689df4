// The session input parser fed a recorded stream whole, a byte at a time
// and in random splits: the same commands in the same order every time,
// and hostile lengths refused as soon as their header is in.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "remote/command_parser.h"
#include "support/remote_client.h"

using korvclient::Frame;
using korvclient::U32;

namespace {

struct Seen {
  UnitKind kind;
  std::uint32_t code;
  std::string text;
  std::string frame;
  bool operator==(const Seen&) const = default;
};

// Parses `input` delivered in the given pieces, as the loop would.
std::vector<Seen> Parse(const std::string& input, const std::vector<std::size_t>& cuts,
                        std::uint32_t access) {
  std::vector<Seen> seen;
  std::string buffer;
  std::size_t from = 0;
  auto feed = [&](std::size_t to) {
    buffer += input.substr(from, to - from);
    from = to;
    for (;;) {
      CommandUnit unit = ParseCommandUnit(buffer, access);
      if (unit.kind == UnitKind::kIncomplete) return;
      seen.push_back({unit.kind, unit.code, unit.text, std::string(unit.frame)});
      buffer.erase(0, unit.consumed);
    }
  };
  for (std::size_t cut : cuts) feed(cut);
  feed(input.size());
  EXPECT_TRUE(buffer.empty());
  return seen;
}

TEST(CommandParser, TheSameCommandsWholeByteByByteAndInRandomSplits) {
  std::string payload(3000, 'r');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7919 % 251);
  std::string frame = Frame(payload);
  std::string stream = U32(0xBABE0032) +                                    // keep-alive
                       U32(0xBABE002C) + U32(6) + std::string("hello\0", 6) +  // say to all
                       U32(0xBABE002E) + U32(300) + std::string(300, 'x') +    // excess dropped
                       U32(0xBABE0010) + frame +                               // ban list upload
                       U32(0xBABE0014) + U32(0) +                              // empty file
                       U32(0xBABE0017) + U32(0xBEEFBABE) +                     // abort marker
                       U32(0xBABE0033) +                                       // bogus
                       U32(0xBABE0029) +                                       // admin only
                       U32(0xBABE0024) + U32(2) + std::string("3\0", 2);
  const std::vector<Seen> expected = {
      {UnitKind::kCommand, 0xBABE0032, "", ""},
      {UnitKind::kCommand, 0xBABE002C, std::string("hello\0", 6), ""},
      {UnitKind::kCommand, 0xBABE002E, std::string(255, 'x'), ""},
      {UnitKind::kCommand, 0xBABE0010, "", frame},
      {UnitKind::kCommand, 0xBABE0014, "", U32(0)},
      {UnitKind::kCommand, 0xBABE0017, "", U32(0xBEEFBABE)},
      {UnitKind::kBogus, 0xBABE0033, "", ""},
      {UnitKind::kNoAccess, 0xBABE0029, "", ""},
      {UnitKind::kCommand, 0xBABE0024, std::string("3\0", 2), ""},
  };
  constexpr std::uint32_t kMask = 0x7FFFFFFF;  // everything but administrator-only codes
  EXPECT_EQ(Parse(stream, {}, kMask), expected);
  std::vector<std::size_t> every;
  for (std::size_t i = 1; i < stream.size(); ++i) every.push_back(i);
  EXPECT_EQ(Parse(stream, every, kMask), expected);
  std::mt19937 random(42);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0;;) {
      at += 1 + random() % 40;
      if (at >= stream.size()) break;
      cuts.push_back(at);
    }
    ASSERT_EQ(Parse(stream, cuts, kMask), expected) << "round " << round;
  }
}

TEST(CommandParser, AbsurdLengthsAreRefusedOnTheirHeader) {
  constexpr std::uint32_t kAdmin = 0xFFFFFFFF;
  CommandUnit text = ParseCommandUnit(U32(0xBABE002E) + U32(65537), kAdmin);
  EXPECT_EQ(text.kind, UnitKind::kTextTooLong);
  EXPECT_EQ(text.text_length, 65537u);
  EXPECT_EQ(ParseCommandUnit(U32(0xBABE002E) + U32(65536), kAdmin).kind, UnitKind::kIncomplete);
  // A plain length beyond 64 MiB, or a packed length beyond what LZO can
  // make of the plain one.
  EXPECT_EQ(ParseCommandUnit(U32(0xBABE0001) + U32((64u << 20) + 1) + U32(10) + U32(0), kAdmin)
                .kind, UnitKind::kFrameTooLarge);
  EXPECT_EQ(ParseCommandUnit(U32(0xBABE0001) + U32(16) + U32(16 + 1 + 67 + 1) + U32(0), kAdmin)
                .kind, UnitKind::kFrameTooLarge);
  // The limits themselves are allowed: the frame waits for its bytes.
  EXPECT_EQ(ParseCommandUnit(U32(0xBABE0001) + U32(64u << 20) + U32(10) + U32(0), kAdmin).kind,
            UnitKind::kIncomplete);
  EXPECT_EQ(ParseCommandUnit(U32(0xBABE0001) + U32(16) + U32(16 + 1 + 67) + U32(0), kAdmin).kind,
            UnitKind::kIncomplete);
  CommandUnit frame = ParseCommandUnit(U32(0xBABE0001) + U32(16) + U32(16 + 1 + 67) + U32(0),
                                       kAdmin);
  EXPECT_EQ(frame.kind, UnitKind::kIncomplete);
  EXPECT_EQ(frame.needed, 4u + 12 + 84);
}

}  // namespace
