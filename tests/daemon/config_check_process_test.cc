// korvd -t: the configuration check against a real server directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "support/korvane_con.h"
#include "support/process_harness.h"

using namespace korvtest;
namespace fs = std::filesystem;

namespace {

// Every entry below `dir` with its kind, mode and contents.
std::string Snapshot(const std::string& dir) {
  std::string out;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    out += entry.path().string() + " " + std::to_string(info.st_mode) + "\n";
    if (S_ISREG(info.st_mode)) out += ReadFile(entry.path()) + "\n";
  }
  return out;
}

// Each broken file fails the check with its message; the check writes nothing at all.
TEST(ConfigCheckProcess, BrokenFilesFailWithTheirMessageAndNothingIsWritten) {
  TempDir dir;
  std::string srv = dir / "srv";
  MakeServerDir(srv);
  std::string settings = srv + "/mods/bf1942/settings";
  std::string korvane = KorvaneCon({});
  WriteFile(settings + "/korvane.con", korvane);
  WriteFile(settings + "/useraccess.con", "admin,secret,*,4294967295,1\n");
  WriteFile(settings + "/serverschedule.con", "100 start * *\n100 stop * *\n");
  WriteFile(settings + "/korvd.conf", "[supervision]\nhang_seconds = 60\n");
  WriteFile(settings + "/serverbanlist.con",
            "\"Bob\",1.2.3.4,*,*,\"admin\",100,0,reason\n\n");
  std::vector<std::string> check{BuildPath("korvd"), "-t", "-path", srv, "-start", "-restrat"};
  std::string out;
  std::string before = Snapshot(dir.path());
  // The defaults' empty texts are filled in at every start: no fault.
  EXPECT_EQ(RunToEnd(check, dir.path(), &out), 0) << out;
  EXPECT_TRUE(Has(out, "Invalid value detected for setting game.serverName, using default "
                       "BFSERVER.\n"));
  EXPECT_TRUE(Has(out, "WARNING: Ignored unknown option -restrat.\n"));
  EXPECT_TRUE(out.ends_with("Configuration check of " + settings + ": no problems found.\n"));
  EXPECT_EQ(Snapshot(dir.path()), before);

  auto replace_by_dir = [](const std::string& path) {
    fs::remove(path);
    fs::create_directory(path);
  };
  struct Fault {
    std::string file;
    std::function<void(const std::string& path)> make;
    std::string message;
  };
  auto remove = [](const std::string& path) { fs::remove(path); };
  const std::vector<Fault> faults{
      {"../../../bf1942_lnxded", remove, "Couldn't find server binary in " + srv + "! "},
      {"../init.con", remove, "Couldn't detect a valid BF1942 mod folder!\n"},
      {"korvane.con",
       [&](const std::string& path) { WriteFile(path, KorvaneCon({{"game.serverPort", "80"}})); },
       "Invalid value of 80 detected for setting game.serverPort, using default 14567.\n"},
      {"korvane.con", replace_by_dir, "Couldn't open settings file! "},
      {"useraccess.con", replace_by_dir, "Couldn't open user access file! "},
      {"serverschedule.con", replace_by_dir, "Couldn't open event schedule file! "},
      {"korvd.conf", [](const std::string& path) { WriteFile(path, "[log]\nkeep = 1\n"); },
       "WARNING: korvd.conf: unknown setting [log] keep ignored.\n"},
      {"banlist.con", [](const std::string& path) { fs::create_symlink(path, path); },
       "Couldn't read " + settings + "/banlist.con! "},
      {"serverbanlist.con", [](const std::string& path) { WriteFile(path, "\n\"Bob\",1.2\n"); },
       "WARNING: " + settings + "/serverbanlist.con line 2 is no ban row; the ban lists pass "
       "over it.\n"},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.message);
    std::string path = settings + "/" + fault.file;
    std::string good = ReadFile(path);
    fault.make(path);
    before = Snapshot(dir.path());
    EXPECT_EQ(RunToEnd(check, dir.path(), &out), 1);
    EXPECT_TRUE(Has(out, fault.message)) << out;
    EXPECT_TRUE(Has(out, "Configuration check of " + settings + ": ")) << out;
    EXPECT_TRUE(out.ends_with(" problem(s) found.\n")) << out;
    EXPECT_EQ(Snapshot(dir.path()), before);
    fs::remove_all(path);
    WriteFile(path, good);
  }

  // A first start's empty directory is no fault: the start makes the files.
  fs::remove_all(settings);
  fs::create_directory(settings);
  before = Snapshot(dir.path());
  EXPECT_EQ(RunToEnd(check, dir.path(), &out), 0);
  EXPECT_EQ(Snapshot(dir.path()), before);
}

}  // namespace
