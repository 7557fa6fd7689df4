// The announcement step (its period, the lines in order, the built-in line, a missing file) and chat speakers.
#include "moderation/announcements.h"

#include <filesystem>

#include "core/files.h"
#include "moderation/moderation.h"
#include "moderation/moderation_fixture.h"

namespace korvtest {
namespace {

class AnnouncementsTest : public ModerationFixture {
 protected:
  Rows Run(int ticks) {
    Rows texts;
    for (int i = 0; i < ticks; ++i) {
      EXPECT_TRUE(AnnouncementStep());
      for (const std::string& row : TakeQueue()) texts.push_back(row);
    }
    return texts;
  }
};

TEST_F(AnnouncementsTest, LinesInOrderThenTheBuiltInLineAndMissingOrUnopenableFiles) {
  Setting(kSetAutoAnnouncePeriod).value = 45;
  Setting(kSetMonitorTimerPeriod).value = 30;
  g_manager.core.admin_message_style = 0;
  WriteFile(dir_ / "announcements.con", "A\r\n\n" + std::string(100, 'x') + "\n");
  EXPECT_EQ(Run(1), Rows{});
  EXPECT_EQ(Run(7), (Rows{"17 *A", "17 *", "17 *" + std::string(62, 'x'),
                          std::string("17 ") + kBuiltInAnnouncement}));
  // An edit takes effect at the same line number.
  WriteFile(dir_ / "announcements.con", "B\nC\n");
  EXPECT_EQ(Run(4), (Rows{"17 *B", "17 *C"}));
  std::remove((dir_ / "announcements.con").c_str());
  Setting(kSetAutoAnnouncePeriod).value = 10;
  EXPECT_EQ(Run(2), Rows(2, std::string("17 ") + kBuiltInAnnouncement));
  EXPECT_TRUE(FileExists(dir_ / "announcements.con"));
  Setting(kSetAutoAnnounce).value = 1;
  g_manager.core.settings_dir = dir_ / "announcements.con/x";
  EXPECT_FALSE(AnnouncementStep());
  EXPECT_EQ(SettingValue(kSetAutoAnnounce), 0);
  EXPECT_TRUE(Has(Log(), "Couldn't open announcements file! "));
  EXPECT_TRUE(Has(Log(), "Auto-announce has been disabled."));
  // A directory in the file's place is skipped and queues nothing.
  Setting(kSetAutoAnnounce).value = 1;
  g_manager.core.settings_dir = dir_ / "sub";
  std::filesystem::create_directories(dir_ / "sub/announcements.con");
  EXPECT_FALSE(AnnouncementStep());
  EXPECT_EQ(TakeQueue(), Rows{});
  EXPECT_TRUE(Has(Log(), "Couldn't open announcements file! Is a directory (21)\r\n"));
}

class ChatSpeakerTest : public ModerationFixture {
 protected:
  std::string Speaker(const std::string& line) {
    std::optional<ChatSpeaker> speaker = FindChatSpeaker(line);
    return speaker ? std::to_string(speaker->player.id) + "|" + speaker->message : "none";
  }
};

TEST_F(ChatSpeakerTest, TheLongestWholeListedNameSpeaks) {
  AddPlayer(1, "Commander");
  AddPlayer(2, "Commander: !restart x");
  AddPlayer(3, "Bo");
  EXPECT_EQ(Speaker("Global Commander: !restart x: hello"), "2|hello");
  EXPECT_EQ(Speaker("Global Commander: !restart y: hello"), "1|!restart y: hello");
  EXPECT_EQ(Speaker("Team Commander: "), "1|");
  EXPECT_EQ(Speaker("Global Bo: hi"), "3|hi");
  // A name must be whole and followed by ": ", right after the first blank.
  for (const char* line : {"Global Bob: hi", "Global Bo:hi", "Global Bo", "GlobalBo: hi",
                           "Global  Bo: hi", "Global COMMANDER: hi", "Bo: hi", ""})
    EXPECT_EQ(Speaker(line), "none") << line;
  // Two listed players of one name: neither speaks, whatever the order.
  AddPlayer(4, "Bo");
  EXPECT_EQ(Speaker("Global Bo: hi"), "none");
  AddPlayer(5, "Bo: x");
  EXPECT_EQ(Speaker("Global Bo: x: hi"), "5|hi");
  EXPECT_EQ(ClaimedSpeaker("Global Bo: x: hi"), "Bo");
}

}  // namespace
}  // namespace korvtest
