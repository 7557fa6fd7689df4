// korvctl bans: the rows shown are the ones the daemon reads from its list.
#include "korvctl/ban_list.h"

#include <gtest/gtest.h>

namespace {

TEST(KorvctlBans, RowsAreReadAsTheDaemonReadsThem) {
  const std::string text = "\"Eve\",10.1.1.1,*,*,\"op\",0,50,aim, bot\r\n"
                           "\"Bob\",1.2.3.4,*,*,\"op\",5,9\n"
                           "\"" + std::string(1030, 'a') + "\",2.2.2.2,k,*,\"op\",1,0,r\n"
                           "\"Max\",*,*,g,\"op\",99999999999999999999,-7,\"x\"\n"
                           "\"Bob\",1.2.3.4,*,*,\"op\",5,0,\r\n";
  std::vector<korvctl::Fields> rows = korvctl::ParseBanList(text, 100);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0][0].second, "Eve");
  EXPECT_EQ(rows[0][3].second, "-");         // no GUID banned
  EXPECT_EQ(rows[0][5].second, "-");         // an imported row has no ban time
  EXPECT_TRUE(rows[0][6].second.ends_with(" (due)")) << rows[0][6].second;
  EXPECT_EQ(rows[0][7].second, "aim");       // the reason ends at a comma
  // Past 1023 characters the rest of a line is a row of its own.
  EXPECT_EQ(rows[1][0].second, std::string(1030 - 1022, 'a'));
  EXPECT_EQ(rows[1][1].second, "2.2.2.2");
  EXPECT_EQ(rows[1][6].second, "never");
  EXPECT_EQ(rows[2][9].second, "0");         // not a time: permanent
  EXPECT_EQ(rows[2][7].second, "\"x\"");
  // A reason ends only at a comma or a line feed: "\r" is a reason, and the row a ban.
  EXPECT_EQ((std::pair{rows[3][0].second, rows[3][7].second}), (std::pair<std::string, std::string>{"Bob", "\r"}));
}

}  // namespace
