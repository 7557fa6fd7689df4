// The speaker of a chat line: the listed player whose whole name begins it.
#include "moderation/moderation.h"

#include "moderation/moderation_fixture.h"

namespace korvtest {
namespace {

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
