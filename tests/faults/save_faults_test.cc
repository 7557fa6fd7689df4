// The four client-changed files saved under SIGKILL at random moments and on a full disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>

#include "bans/ban_file.h"
#include "bans/bans.h"
#include "core/files.h"
#include "core/last_error.h"
#include "links/link_fixture.h"
#include "remote/accounts.h"
#include "schedule/schedule.h"
#include "settings/settings_files.h"

namespace korvtest {
namespace {

// One file and the save that writes its old (false) or new (true) version.
struct SavedFile {
  std::string path;
  std::function<bool(bool)> save;
  std::string old_text = "", new_text = "";
};

class SaveFaultsTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    settings_ = dir_ / "settings";
    std::filesystem::create_directories(settings_);
    g_manager.core.settings_dir = settings_;
  }
  // Each save with the old and the new state; the files end in their old version.
  std::vector<SavedFile> Files() {
    std::vector<SavedFile> files = {
        {settings_ + "/korvane.con",
         [this](bool next) {
           Setting(kSetServerIp).value = next ? 0x0A000001 : 0x7F000001;
           return SaveSettings(settings_ + "/korvane.con", kAllGroups);
         }},
        {UserAccessPath(),
         [](bool next) {
           g_manager.remote.accounts[0] = {"admin", next ? "New" : "Old", "", 0xFFFFFFFF, 1};
           return SaveUserAccounts(UserAccessPath());
         }},
        {ServerBanListPath(),
         [](bool next) {
           // A ban appends its row; the old version drops it again.
           bool ok = ReplaceLinesInFile(ServerBanListPath(), "10.0.0.5", nullptr);
           return next ? BanPlayer("Mike", -1, "10.0.0.5", "0123456789abcdef0123456789abcdef", "",
                            "admin", 1000, 0, "cheating")
                       : ok;
         }},
        {settings_ + "/serverschedule.con", [this](bool next) {
           g_manager.schedule.events[0] = {{1000, next ? "start" : "stop", "daily", "", "", 1}};
           return SaveSchedule(settings_ + "/serverschedule.con");
         }}};
    WriteFile(ServerBanListPath(), "Ann,10.0.0.6,*,*,admin,900,0,spam\n");
    for (SavedFile& file : files) {
      EXPECT_TRUE(file.save(true)) << file.path;
      file.new_text = Contents(file);
      EXPECT_TRUE(file.save(false)) << file.path;
      file.old_text = Contents(file);
      EXPECT_NE(file.old_text, file.new_text) << file.path;
    }
    return files;
  }
  // A file's bytes, or for the accounts (scrambled anew each save) the password it loads.
  static std::string Contents(const SavedFile& file) {
    if (file.path != UserAccessPath()) return ReadFile(file.path);
    if (!LoadUserAccounts(file.path)) return "unreadable";
    return g_manager.remote.accounts[0].password;
  }
  std::string settings_;
};

TEST_F(SaveFaultsTest, KilledWhileSavingLeavesTheOldOrTheNewFile) {
  std::vector<SavedFile> files = Files();
  std::mt19937 random(19);
  int runs = 0, changed = 0;
  for (; runs < 200; ++runs) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (unsigned i = 1;; ++i)
        for (SavedFile& file : files) file.save(i % 2 == 1);
    }
    ::usleep(std::uniform_int_distribution<unsigned>(0, 4000)(random));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    for (SavedFile& file : files) {
      std::string text = Contents(file);
      ASSERT_TRUE(text == file.old_text || text == file.new_text)
          << "run " << runs << ", " << file.path << ":\n" << text;
      changed += text == file.new_text;
    }
  }
  EXPECT_TRUE(changed > 0 && changed < runs * 4) << changed;
}

TEST_F(SaveFaultsTest, FullDiskKeepsEveryOldFileAndSaysWhy) {
  std::vector<SavedFile> files = Files();
  if (!PrivateMounts()) GTEST_SKIP() << "no private mount namespace here";
  // Plus a list just short of a page boundary, where part of an appended row would fit.
  std::vector<std::pair<std::string, std::string>> old = {{"partial.con", std::string(4000, 'r')}};
  for (SavedFile& file : files)
    old.emplace_back(std::filesystem::path(file.path).filename(), ReadFile(file.path));
  ASSERT_TRUE(MountFullDisk(settings_, old));
  for (SavedFile& file : files)
    EXPECT_TRUE(!file.save(true) && Contents(file) == file.old_text) << file.path;
  EXPECT_TRUE(!AppendToFile(settings_ + "/partial.con", std::string(200, 'n')) &&
              ReadFile(settings_ + "/partial.con") == old[0].second);
  for (const char* line : {"Couldn't open settings file! ", "Couldn't open user access file! ",
                           "Couldn't open server banlist file! ",
                           "Couldn't open event schedule file! "})
    EXPECT_TRUE(Has(Log(), line + ErrorText(ENOSPC)));
  for (auto& entry : std::filesystem::directory_iterator(settings_))
    EXPECT_EQ(entry.path().filename().string().rfind(".korvd-", 0), std::string::npos);
  ::umount2(settings_.c_str(), MNT_DETACH);
}

// An unban that cannot rewrite the game's list fails, and the list keeps the ban.
TEST_F(SaveFaultsTest, FullDiskUnbanFailsAndKeepsTheBan) {
  if (!PrivateMounts()) GTEST_SKIP() << "no private mount namespace here";
  ASSERT_TRUE(AppendAddressBan("10.0.0.9") && AppendAddressBan("10.0.0.8"));
  const std::string list = ReadFile(settings_ + "/banlist.con");
  ASSERT_TRUE(MountFullDisk(settings_, {{"banlist.con", list}}));
  EXPECT_TRUE(!RemoveAddressBan("10.0.0.9") && ReadFile(settings_ + "/banlist.con") == list);
  ::umount2(settings_.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace korvtest
