// The real daemon under faults: a hung game server, a vanished uploader, a full or read-only disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include "support/gamesim_client.h"
#include "support/process_harness.h"
#include "support/remote_client.h"

namespace korvtest {
namespace {

using namespace std::chrono_literals;
using korvclient::Client;

constexpr std::uint32_t kFailed = 0xBEEF0001;
const std::string kPlayers =
    "player 3 1 10 5 2 80 10.0.0.5:23000 0123 0123456789abcdef0123456789abcdef Mike\n";

class FaultProcessTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario, const std::vector<std::string>& options,
             const std::string& conf = gamesimtest::kFastTicks) {
    run_ = std::make_unique<gamesimtest::DaemonRun>(
        scenario, std::map<std::string, std::string>{{"manager.monitorTimerPeriod", "10"}},
        "admin,Secret,,4294967295,1\n");
    WriteFile(run_->Settings("korvd.conf"), conf);
    ASSERT_TRUE(run_->Start(options)) << Log();
  }
  void Login(Client* client) { ASSERT_EQ(run_->Login(*client, "admin", "Secret").result, 0); }
  std::string LogPath() const { return run_->LogPath(); }
  std::string Log() const { return run_->Log(); }
  std::string Settings() const { return run_->game.settings(); }

  std::unique_ptr<gamesimtest::DaemonRun> run_;
};

// A hung server costs each console exchange its time limit only; clients are served between.
TEST_F(FaultProcessTest, HungServerHoldsTheLoopOnlyBriefly) {
  Start(kPlayers, {"-start"}, "");  // the default 3 s tick: each one waits on the hung console
  ASSERT_TRUE(run_->Connected()) << Log();
  Client admin, other;
  Login(&admin);
  Login(&other);
  std::vector<int> pids = run_->GamePids();
  ASSERT_FALSE(pids.empty());
  int server = pids[0];
  ::kill(server, SIGSTOP);
  admin.CommandText(kClientKickPlayer, "3,camping");
  ASSERT_TRUE(admin.WaitNotification(kFailed)) << Log();
  EXPECT_TRUE(Has(Log(), " : Couldn't kick player Mike! The command failed.\r\n") &&
              Has(Log(), " : Couldn't send message to console! Connection timed out (110)\r\n")) << Log();
  EXPECT_TRUE(other.Command(kClientAnnouncementsDownload) && other.ReadFrame());
  ::kill(server, SIGKILL);
}

TEST_F(FaultProcessTest, ClientGoneMidUploadLeavesTheFile) {
  Start("", {});
  const std::string path = Settings() + "/announcements.con";
  WriteFile(path, "Old news\n");
  {
    Client admin;
    Login(&admin);
    std::string frame = korvclient::Frame(std::string(5000, 'n'));
    ASSERT_TRUE(admin.Command(kClientAnnouncementsUpload) && admin.Send(frame.substr(0, frame.size() / 2)));
  }
  Client again;
  Login(&again);
  again.Command(kClientAnnouncementsDownload);
  EXPECT_EQ(again.ReadFrame(), "Old news\n");
  EXPECT_EQ(ReadFile(path), "Old news\n");
}

TEST_F(FaultProcessTest, FullDiskFailsEachUploadAndKeepsTheOldFile) {
  if (!PrivateMounts()) GTEST_SKIP() << "no private mount namespace here";
  Start("", {});
  struct Upload {
    const char* file;
    std::uint32_t code;
    std::string text;
    const char* error;
  } uploads[] = {
      {"korvane.con", kClientSettingsUpload, "game.serverName \"Full\"\n", "Couldn't open settings file! "},
      {"useraccess.con", kClientAccountsUpload, "admin,Secret,,4294967295,1\nann,pw,,1,1\n",
       "Couldn't open user access file! "},
      {"serverbanlist.con", kClientBanListUpload, "Ann,10.0.0.6,*,*,admin,900,0,spam\n",
       "Couldn't receive "},
      {"serverschedule.con", kClientScheduleUpload, "1000,stop,daily,*,*,1\n", "Couldn't receive "},
  };
  std::vector<std::pair<std::string, std::string>> old;
  for (const Upload& u : uploads) old.emplace_back(u.file, ReadFile(Settings() + "/" + u.file));
  ASSERT_TRUE(MountFullDisk(Settings(), old));
  Client admin;
  Login(&admin);
  for (std::size_t i = 0; i < old.size(); ++i) {
    const Upload& u = uploads[i];
    ASSERT_TRUE(admin.Command(u.code) && admin.SendFrame(u.text));
    EXPECT_TRUE(admin.WaitNotification(kFailed)) << u.file;
    EXPECT_EQ(ReadFile(Settings() + "/" + u.file), old[i].second) << u.file;
    EXPECT_TRUE(Has(Log(), std::string(u.error)));
  }
  EXPECT_EQ(Count(Log(), "No space left on device (28)\r\n"), 4) << Log();
  admin.Close();  // the daemon's leave then waits for nobody
  run_->daemon.Signal(SIGTERM);
  run_->daemon.Wait(20s);
  ::umount2(Settings().c_str(), MNT_DETACH);
}

TEST_F(FaultProcessTest, ReadOnlyServerDirectoryRefusesTheStart) {
  if (!PrivateMounts()) GTEST_SKIP() << "no private mount namespace here";
  gamesimtest::GameDir game;
  gamesimtest::LayOutForDaemon(&game, "");
  const std::string dir = game.dir.path();
  ASSERT_EQ(::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(::mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
  std::string out;
  TempDir elsewhere;
  EXPECT_EQ(RunToEnd({BuildPath("korvd"), "-path", dir}, elsewhere.path(), &out), 1);
  ::umount2(dir.c_str(), MNT_DETACH);
  // The start's echo ends with the refusal (the log itself cannot be kept).
  const std::string refusal =
      " : Couldn't open ServerSettings.con file for writing! Read-only file system (30) Korvane "
      "must have write access to this file, check file permissions and attributes.\r\n";
  EXPECT_TRUE(out.size() > refusal.size() && out.ends_with(refusal)) << out;
}

}  // namespace
}  // namespace korvtest
