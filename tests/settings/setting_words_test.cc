// The settings in words: every row of the table has a label and a line of
// help under its own key, in table order, and every group a name.
#include <gtest/gtest.h>

#include "settings/setting_words.h"
#include "settings/settings_table.h"

TEST(SettingWords, EveryRowIsLabelledAndHelpedUnderItsOwnKey) {
  for (int i = 0; i < kSettingCount; ++i) {
    const SettingWords& words = WordsOfSetting(i);
    EXPECT_EQ(words.key, SettingName(i)) << i;
    EXPECT_FALSE(words.label.empty() || words.help.empty()) << words.key;
  }
  EXPECT_TRUE(WordsOfSetting(kSettingCount).key.empty() && WordsOfSetting(-1).help.empty());
  for (std::uint32_t group = 0; group < 5; ++group) EXPECT_FALSE(SettingGroupName(group).empty());
  EXPECT_TRUE(SettingGroupName(5).empty());
}
