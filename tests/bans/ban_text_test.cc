// The ban command text: seven fields whatever their lengths, read back as written.
#include "bans/ban_text.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "remote/remote_state.h"

namespace {

constexpr std::size_t kTextMax = kQueuedTextSize - 1;

BanText Sample(std::string reason) {
  return BanText{7, "Dan", "10.0.0.8", "0123456789abcdef0123456789abcdef", "guid7", 3600,
                 std::move(reason)};
}

std::size_t Separators(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), kBanSeparator));
}

TEST(BanTextTest, WrittenTextsReadBackFieldForField) {
  std::optional<std::string> text = WriteBanText(Sample("team killing"));
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "7\xff" "Dan\xff" "10.0.0.8\xff" "0123456789abcdef0123456789abcdef\xff"
                   "guid7\xff" "3600\xff" "team killing\xff");
  int found = 0;
  std::optional<BanText> read = ReadBanText(*text, &found);
  ASSERT_TRUE(read);
  EXPECT_EQ(found, 7);
  EXPECT_EQ(read->id, 7);
  EXPECT_EQ(read->name + "|" + read->address + "|" + read->keyhash + "|" + read->guid, "Dan|10.0.0.8|"
            "0123456789abcdef0123456789abcdef|guid7");
  EXPECT_EQ(read->duration, 3600);
  EXPECT_EQ(read->reason, "team killing");
  // The separator inside a field cannot shift the fields behind it.
  BanText odd = Sample("a\xff" "b");
  odd.name = "x\xffy";
  EXPECT_EQ(ReadBanText(*WriteBanText(odd), nullptr)->name, "x?y");
}

TEST(BanTextTest, LongReasonsAreCutAndTheFieldsKept) {
  // The other fields and the seven separators take 60 bytes: 195 are left.
  for (std::size_t length : {194u, 195u, 196u, 300u, 5000u}) {
    std::optional<std::string> text = WriteBanText(Sample(std::string(length, 'r')));
    ASSERT_TRUE(text) << length;
    EXPECT_LE(text->size(), kTextMax) << length;
    EXPECT_EQ(Separators(*text), 7u) << length;
    EXPECT_EQ(text->back(), kBanSeparator) << length;
    std::optional<BanText> read = ReadBanText(*text, nullptr);
    ASSERT_TRUE(read) << length;
    EXPECT_EQ(read->reason, std::string(std::min<std::size_t>(length, 195), 'r')) << length;
    EXPECT_EQ(read->guid, "guid7");
  }
  EXPECT_EQ(WriteBanText(Sample(std::string(5000, 'r')))->size(), kTextMax);
  // Then the name; identities that cannot fit make no text at all.
  BanText long_name = Sample(std::string(300, 'r'));
  long_name.name = std::string(300, 'n');
  std::optional<std::string> text = WriteBanText(long_name);
  ASSERT_TRUE(text);
  EXPECT_EQ(ReadBanText(*text, nullptr)->reason, "");
  BanText long_key = Sample("r");
  long_key.keyhash = std::string(300, 'k');
  EXPECT_FALSE(WriteBanText(long_key));
}

// A text the queue cut keeps its reason; a short one missing its last separator is refused.
TEST(BanTextTest, TextsCutByTheQueueKeepTheirReason) {
  std::string whole = "3\xff" "Mike\xff" "10.0.0.5\xff\xff\xff" "0\xff" + std::string(400, 'r') + "\xff";
  std::string cut = whole.substr(0, kTextMax);
  int found = 0;
  std::optional<BanText> read = ReadBanText(cut, &found);
  ASSERT_TRUE(read);
  EXPECT_EQ(found, 7);
  EXPECT_EQ(read->name, "Mike");
  EXPECT_EQ(read->reason, std::string(kTextMax - 20, 'r'));
  EXPECT_FALSE(ReadBanText("3\xff" "Mike\xff" "10.0.0.5\xff\xff\xff" "0\xff" "spam", &found));
  EXPECT_EQ(found, 6);
  // A cut in an earlier field loses that field: refused.
  std::string early = "3\xff" + std::string(300, 'n') + "\xff" "1.1.1.1\xff\xff\xff" "0\xff" "r\xff";
  EXPECT_FALSE(ReadBanText(early.substr(0, kTextMax), &found));
  EXPECT_EQ(found, 1);
}

}  // namespace
