// Three daemons sharing their bans through a PostgreSQL server the test runs itself.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "support/gamesim_client.h"

namespace korvtest {
namespace {

using namespace std::chrono_literals;

const std::string kPgBin = "/usr/lib/postgresql/15/bin/";

// initdb and postgres refuse root: they run as postgres, in a directory it owns.
class PgServer {
 public:
  bool Init() {
    passwd* user = ::getpwnam("postgres");
    if (user == nullptr || ::access((kPgBin + "initdb").c_str(), X_OK) != 0) return false;
    uid_ = user->pw_uid;
    gid_ = user->pw_gid;
    port_ = FreePort();
    ::chmod(dir_.path().c_str(), 0711);
    if (::chown(dir_.path().c_str(), uid_, gid_) != 0) return false;
    std::string out;
    return RunToEnd(AsPostgres({kPgBin + "initdb", "-D", Data(), "-A", "trust", "-U", "postgres",
                                "--no-sync", "--no-instructions"}),
                    dir_.path(), &out, 60s) == 0;
  }
  bool Start() {
    ++starts_;
    server_ = std::make_unique<Process>();
    std::string log = dir_ / ("postgres" + std::to_string(starts_) + ".log");
    return server_->Start(AsPostgres({kPgBin + "postgres", "-D", Data(), "-p",
                                      std::to_string(port_), "-k", dir_.path(), "-c",
                                      "listen_addresses=127.0.0.1", "-c", "fsync=off"}),
                          dir_.path(), log) &&
           WaitForText(log, "ready to accept connections", 60s);
  }
  // A fast shutdown, by pid; true once it has ended.
  bool Stop() {
    if (!server_ || !server_->running()) return true;
    server_->Signal(SIGINT);
    return server_->Wait(30s) >= 0;
  }
  ~PgServer() { Stop(); }
  std::string Conninfo() const {
    return "hostaddr=127.0.0.1 port=" + std::to_string(port_) +
           " user=postgres dbname=postgres connect_timeout=5";
  }

 private:
  std::string Data() const { return dir_ / "data"; }
  std::vector<std::string> AsPostgres(std::vector<std::string> argv) const {
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid_),
                               "--regid=" + std::to_string(gid_), "--clear-groups", "--"});
    return argv;
  }
  TempDir dir_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  int port_ = 0;
  int starts_ = 0;
  std::unique_ptr<Process> server_;
};

const char* const kNames[] = {"alpha", "bravo", "charlie"};

class FleetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pg_.Init()) GTEST_SKIP() << "no PostgreSQL server to run";
    ASSERT_TRUE(pg_.Start());
  }
  // Daemon i, named alpha, bravo or charlie in the fleet; bravo runs gamesim.
  void StartDaemon(int i) {
    if (!runs_[i]) {
      runs_[i] = std::make_unique<gamesimtest::DaemonRun>("");
      WriteFile(runs_[i]->Settings("korvd.conf"),
                std::string(gamesimtest::kFastTicks) + "[fleet]\ndatabase = " + pg_.Conninfo() + "\nserver = " + kNames[i] +
                    "\nretry_max_seconds = 1\n");
    }
    const int connects = Connects(i);
    ASSERT_TRUE(runs_[i]->Start(i == 1 ? std::vector<std::string>{"-start"}
                                       : std::vector<std::string>{}));
    if (i == 1) { ASSERT_TRUE(runs_[i]->Connected()) << runs_[i]->Log(); }
    ASSERT_TRUE(LinkUp(i, connects + 1)) << runs_[i]->Log();
  }
  void StopDaemon(int i) { runs_[i]->daemon.Signal(SIGTERM); ASSERT_GE(runs_[i]->daemon.Wait(20s), 0); }
  int Connects(int i) const { return Count(runs_[i]->Log(), "Fleet: connected to the database"); }
  bool LinkUp(int i, int times) { return WaitUntil([&] { return Connects(i) >= times; }, 60s); }
  void Ctl(int i, const std::vector<std::string>& words) {
    std::string out;
    ASSERT_EQ(runs_[i]->Ctl(words, &out), 0) << out;
  }
  void Ban(int i, const std::string& key) {
    Ctl(i, {"ban", "--keyhash", key, "--name", std::string("P").append(1, key[0]), "cheating"});
  }
  std::string BanList(int i) const { return ReadFile(runs_[i]->Settings("banlist.con")); }
  bool Banned(int i, const std::string& key) const { return Has(BanList(i), "admin.addKeyToBanList " + key); }
  bool WaitBanned(int i, const std::string& key, bool banned = true) {
    return WaitUntil([&] { return Banned(i, key) == banned; }, 30s);
  }

  PgServer pg_;
  std::unique_ptr<gamesimtest::DaemonRun> runs_[3];
};

const std::string kK1(32, '1'), kK2(32, '2'), kK3(32, '3');

TEST_F(FleetTest, BansTravelAcrossOutagesAndRestarts) {
  for (int i = 0; i < 3; ++i) StartDaemon(i);

  // A ban on alpha reaches bravo's game server and charlie's files.
  auto banned_at = std::chrono::steady_clock::now();
  Ban(0, kK1);
  ASSERT_TRUE(WaitBanned(1, kK1)) << runs_[1]->Log();
  ASSERT_TRUE(WaitBanned(2, kK1)) << runs_[2]->Log();
  std::printf("ban on alpha to line in charlie's banlist.con: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - banned_at)
                                         .count()));
  ASSERT_TRUE(WaitForText(runs_[2]->LogPath(), "User admin@alpha at fleet server alpha banned "
                          "player P1 (" + kK1 + ") permanently for cheating."));
  EXPECT_TRUE(Has(ReadFile(runs_[2]->Settings("serverbanlist.con")),
                  "\"P1\",*," + kK1 + ",*,\"admin@alpha\","));

  // Charlie is down while alpha bans again.
  StopDaemon(2);
  Ban(0, kK2);
  ASSERT_TRUE(WaitBanned(1, kK2));

  // The database goes away: alpha's ban and bravo's unban wait in their
  // queues and travel once it is back.
  ASSERT_TRUE(pg_.Stop());
  for (int i : {0, 1}) ASSERT_TRUE(WaitForText(runs_[i]->LogPath(), "Fleet: Lost the database!", 30s));
  Ban(0, kK3);
  Ctl(1, {"unban", "--keyhash", kK1});
  EXPECT_TRUE(WaitForText(runs_[0]->Settings("fleetqueue.con"), "ban\t"));
  EXPECT_TRUE(Banned(0, kK1));
  ASSERT_TRUE(pg_.Start());
  ASSERT_TRUE(WaitBanned(1, kK3)) << runs_[1]->Log();
  ASSERT_TRUE(WaitBanned(0, kK1, false)) << runs_[0]->Log();
  EXPECT_EQ(ReadFile(runs_[0]->Settings("fleetqueue.con")), "");

  // Charlie catches up at start, in order: K1 lifted, K2 and K3 banned.
  StartDaemon(2);
  ASSERT_TRUE(WaitBanned(2, kK3)) << runs_[2]->Log();
  for (int i = 0; i < 3; ++i) {
    for (const std::string& key : {kK2, kK3}) EXPECT_EQ(Count(BanList(i), key), 1) << i << key;
    EXPECT_EQ(Count(runs_[i]->Log(), std::string("at fleet server ") + kNames[i]), 0);
  }
  ASSERT_TRUE(WaitForText(runs_[2]->LogPath(), "User admin@bravo at fleet server bravo removed "
                          "ban on player  (" + kK1 + ")."));
  EXPECT_EQ(Count(runs_[2]->Log(), "removed ban on player"), 1);
  EXPECT_EQ(Count(runs_[2]->Log(), "banned player P1 ("), 1);  // not again after the restart
}

}  // namespace
}  // namespace korvtest
