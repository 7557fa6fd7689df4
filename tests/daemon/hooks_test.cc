// The hooks the daemon installs: the settings' audit names only real session slots.
#include "daemon/hooks.h"

#include "links/link_fixture.h"
#include "settings/settings_files.h"

namespace korvtest {
namespace {

TEST_F(LogFixture, AuditNamesTheClientOfASessionSlotAndNoOther) {
  InstallSubsystemHooks();
  g_manager.remote.sessions[kSessionSlots - 1].user_name = "ann";
  g_manager.remote.sessions[kSessionSlots - 1].address = "10.0.0.9:2000";
  for (int slot : {kSessionSlots, kSessionSlots - 1}) {
    WriteFile(dir_ / "k.con", "game.serverPort " + std::to_string(15000 + slot) + "\n");
    ASSERT_TRUE(LoadSettings(dir_ / "k.con", kAllGroups, slot));
  }
  EXPECT_EQ(Count(Log(), " changed game.serverPort "), 1);
  EXPECT_TRUE(Has(Log(), "User ann at 10.0.0.9:2000 changed game.serverPort from 15017 to 15016."));
}

}  // namespace
}  // namespace korvtest
