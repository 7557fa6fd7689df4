// Mod, map and game-mode discovery, hostile archives, the current and starting map.
#include "content/content_discovery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include "content/map_text.h"
#include "core/last_error.h"
#include "settings/settings_fixture.h"

namespace {

using korvtest::ReadFile;
using korvtest::WriteFile;
using Lines = std::vector<std::string>;

void PutU32(std::string* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// An archive: some file data, then the directory the offset at 0 points to.
std::string Archive(const std::vector<std::string>& names) {
  std::string data;
  PutU32(&data, 104);
  data += std::string(100, 'd');
  PutU32(&data, static_cast<std::uint32_t>(names.size()));
  for (const std::string& name : names) {
    PutU32(&data, static_cast<std::uint32_t>(name.size()));
    data += name + std::string(24, '\x7f');
  }
  return data;
}

std::string Entry(const std::string& map, const std::string& mode) {
  return "bf1942/levels/" + map + "/GameTypes/" + mode + ".con";
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

class Content : public SettingsFixture {
 protected:
  std::string Levels(const std::string& mod) { return Path("mods/" + mod + "/archives/bf1942/levels/"); }
  void AddMod(const std::string& mod, bool init, bool checked) {
    std::filesystem::create_directories(Levels(mod));
    if (init) WriteFile(Path("mods/" + mod + "/init.con"), "");
    if (checked) WriteFile(Path("mods/" + mod + "/contentcrc32.con"), "");
  }
  void AddMap(const std::string& mod, const std::string& file, const Lines& entries) {
    WriteFile(Levels(mod) + file, Archive(entries));
  }
};

TEST_F(Content, ModsAreListedAndUnpureModsNoted) {
  AddMod("bf1942", true, true);
  AddMod("dc", true, false);
  AddMod("noinit", false, false);
  WriteFile(Path("mods/README.TXT"), "not a mod");
  ::symlink(Path("mods/dc").c_str(), Path("mods/linked").c_str());
  TakeLog();
  ASSERT_TRUE(WriteModsFile(Path("settings/mods.con")));
  EXPECT_EQ(SortedLines(ReadFile(Path("settings/mods.con"))), (Lines{"bf1942", "dc"}));
  Lines warnings = TakeLog();
  std::sort(warnings.begin(), warnings.end());
  EXPECT_EQ(warnings, (Lines{"WARNING: Skipped " + Path("mods/README.TXT") + ", which is not a mod directory.",
                           "WARNING: Skipped " + Path("mods/linked") + ", which is not a mod directory."}));
  std::string unpure = g_manager.settings.unpure_mods;
  std::replace(unpure.begin(), unpure.end(), ',', '\n');
  EXPECT_EQ(SortedLines(unpure), (Lines{"dc", "noinit"}));
}

TEST_F(Content, CapitalisedModDirectoryStopsTheScan) {
  AddMod("XPack", true, true);
  TakeLog();
  EXPECT_FALSE(WriteModsFile(Path("settings/mods.con")));
  EXPECT_EQ(TakeLog(), (Lines{"Couldn't detect available mods! " + ErrorText(ENOENT),
                            "Verify all directory names in " + Path("mods/xpack") + " exist and are lowercase."}));
}

TEST_F(Content, MapsCarryTheirModesAndThoseOfTheBaseMapAndNonArchivesAreSkipped) {
  AddMod("bf1942", true, true);
  AddMod("dc", true, false);
  AddMap("bf1942", "berlin.rfa", {"bf1942/levels/berlin/init.con", Entry("berlin", "Conquest")});
  AddMap("bf1942", "berlin_000.rfa", {Entry("berlin", "TDM")});  // patch archive
  AddMap("bf1942", "kursk.rfa",
         {Entry("kursk", "coop"), "BF1942/LEVELS/KURSK/GAMETYPES/OBJECTIVEMODE.CON", Entry("kursk", "ctf") + ".bak"});
  AddMap("bf1942", "empty.rfa", {"bf1942/levels/empty/init.con"});
  AddMap("dc", "berlin.rfa", {Entry("berlin", "CTF")});
  AddMap("dc", "Stalingrad.RFA", {Entry("stalingrad", "tdm")});
  AddMap("bf1942", "STALINGRAD.rfa", {Entry("stalingrad", "conquest")});
  WriteFile(Levels("dc") + "notes.txt", "x");
  WriteFile(Path("settings/mods.con"), "bf1942\ndc\n\nignored\n");
  TakeLog();
  ASSERT_TRUE(WriteMapsFile(Path("settings/maps.con")));
  EXPECT_EQ(SortedLines(ReadFile(Path("settings/maps.con"))),
            (Lines{"bf1942,berlin,1", "bf1942,kursk,18", "bf1942,stalingrad,1", "dc,berlin,5", "dc,stalingrad,9"}));
  // Capitalised archives are opened by their own names, in the mod and in the base game.
  EXPECT_EQ(TakeLog(), Lines{});
  std::filesystem::remove_all(Path("mods"));
  AddMod("bf1942", true, true);
  AddMap("bf1942", "wake.rfa", {Entry("wake", "conquest")});
  ASSERT_EQ(::mkfifo((Levels("bf1942") + "fifo.rfa").c_str(), 0644), 0);
  WriteFile(Path("settings/mods.con"), "bf1942\nnosuchmod\n");
  TakeLog();
  ASSERT_TRUE(WriteMapsFile(Path("settings/maps.con")));
  EXPECT_EQ(ReadFile(Path("settings/maps.con")), "bf1942,wake,1\n");
  EXPECT_EQ(TakeLog(), (Lines{"WARNING: Skipped " + Levels("bf1942") + "fifo.rfa, which is not a regular file.",
                            "WARNING: Skipped mod nosuchmod, which has no map directory " +
                                Path("mods/nosuchmod/archives/bf1942/levels/") + "."}));
  // Any other failure to open a map directory still fails the scan.
  std::filesystem::remove_all(Levels("bf1942"));
  ::symlink(Levels("bf1942").c_str(), Path("mods/bf1942/archives/bf1942/levels").c_str());
  EXPECT_FALSE(WriteMapsFile(Path("settings/maps.con")));
  EXPECT_EQ(TakeLog()[0], "Couldn't detect available maps! " + ErrorText(ELOOP));
}

TEST_F(Content, HostileArchivesGiveTheModesFoundSoFar) {
  std::string good = Archive({Entry("a", "conquest"), Entry("a", "ctf")});
  auto detect = [&](const std::string& bytes) {
    WriteFile(Path("a.rfa"), bytes);
    return DetectGameTypes(Path("a.rfa"));
  };
  const std::string all_ones("\xff\xff\xff\xff", 4);
  std::string more = good, huge = Archive({"x", Entry("a", "coop")}), claims = Archive({});
  more[104] = '\x50';
  huge.replace(109, 4, all_ones);
  claims.replace(104, 4, all_ones);
  claims += std::string(65536 * 28, '\0') + Archive({Entry("a", "ctf")}).substr(108);
  const std::pair<std::string, unsigned> cases[] = {
      {good, 5}, {"", 0}, {all_ones.substr(0, 3) + "\x7f" + good.substr(4), 0},
      {more, 5},                                    // the count promises more entries than there are
      {good.substr(0, good.size() - 30), 1},        // the second name runs past the end
      {good.substr(0, good.size() - 24), 5},        // the directory ends right after the last name
      {good.substr(0, 106), 0},                     // it ends inside the count
      {Archive({std::string(2000, 'z'), Entry("a", "tdm")}), 8},  // an over-long name is skipped
      {huge, 0},                                    // a huge name length ends the directory
      {claims, 0}};                                 // billions of entries are read only so far
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(detect(cases[i].first), cases[i].second) << i;
  TakeLog();
  std::mt19937 random(1942);
  for (int round = 0; round < 300; ++round) {
    std::string bytes = good;
    for (int flips = 0; flips < 6; ++flips)
      bytes[random() % bytes.size()] = static_cast<char>(random());
    bytes.resize(random() % (bytes.size() + 1));
    EXPECT_LE(detect(bytes).value_or(0), 31u);
  }
  TakeLog();
  EXPECT_EQ(DetectGameTypes(Path("none.rfa")), std::nullopt);
  EXPECT_EQ(TakeLog(), Lines{"Couldn't open " + Path("none.rfa") + " file! " + ErrorText(ENOENT)});
}

TEST_F(Content, AnEntryIsAGameTypeOnlyByItsWholeFileNameInAGametypesDirectory) {
  using namespace std::string_literals;
  const std::pair<std::string, std::uint32_t> cases[] = {
      {"/gametypes/ctf.con", kModeCtf}, {"a/GameTypes/ObjectiveMode.Con", kModeObjective},
      {"a/gametypes/conquest.con\0"s, kModeConquest},
      {"a/gametypes/coop.con\0/gametypes/tdm.con"s, kModeCoop},  // the name ends at its NUL
      {"a/gametypes/tdm.con\0junk"s, kModeTdm}, {"a/gametypes/tdm\0.con"s, 0}, {"gametypes/ctf.con", 0},
      {"a/oldgametypes/ctf.con", 0}, {"a/gametypes/x/ctf.con", 0}, {"a/gametypes/xctf.con", 0},
      {"a/gametypes/ctf.co", 0}, {"a/gametypes/ctf.conx", 0}, {"a/gametypes/conquest.cox", 0},
      {"a/gametypez/conquest.con", 0},
  };
  for (const auto& [name, mask] : cases) {
    WriteFile(Path("a.rfa"), Archive({name}));
    EXPECT_EQ(DetectGameTypes(Path("a.rfa")), mask) << name;
  }
  // A directory far larger than one read, its entries straddling reads.
  std::vector<std::string> many;
  for (int i = 0; i < 5000; ++i) many.push_back("a/objects/" + std::string(i % 97, 'o') + ".con");
  many[2500] = Entry("a", "coop");
  many.back() = Entry("a", "tdm");
  WriteFile(Path("a.rfa"), Archive(many));
  EXPECT_EQ(DetectGameTypes(Path("a.rfa")), kModeCoop | kModeTdm);
}

TEST_F(Content, CurrentMapFromTheReportAndStartingLevelFromStartMapOrMapList) {
  const std::string report = "\\hostname\\x\\gameId\\BF1942\\mapname\\Battle of Britain\\gametype\\conquest\\final\\";
  EXPECT_EQ(CurrentMapText(true, report), "-");  // no server running
  g_manager.server.server_running = true;
  EXPECT_EQ(CurrentMapText(true, report), "battle_of_britain GPM_CQ bf1942");
  EXPECT_EQ(CurrentMapText(false, report), "battle_of_britain Conquest bf1942");
  EXPECT_EQ(CurrentMapText(false, "\\gameId\\dc\\mapname\\Kursk\\gametype\\Rush"), "kursk ??? dc");
  EXPECT_EQ(CurrentMapText(true, "\\gameId\\dc\\mapname\\Kursk"), "-");
  g_manager.server.server_running = false;
  EXPECT_EQ(CurrentLevelText(false, "kursk GPM_TDM dc"), "kursk Team Deathmatch dc");
  TakeLog();
  EXPECT_EQ(CurrentLevelText(true, ""), std::nullopt);
  EXPECT_EQ(TakeLog(), Lines{"Couldn't open map list file! " + ErrorText(ENOENT)});
  WriteFile(Path("settings/servermaplist.con"),
            "game.addLevel berlin GPM_CQ bf1942\ngame.setCurrentLevel berlin\n"
            "GAME.SETCURRENTLEVEL berlin GPM_CTF bf1942 extra\r\n");
  EXPECT_EQ(CurrentLevelText(true, "half set"), "berlin GPM_CTF bf1942 extra");
  EXPECT_EQ(CurrentLevelText(false, ""), "berlin Capture The Flag bf1942 extra");
  g_manager.server.server_running = true;  // the running server's copy counts
  WriteFile(Path("settings/maplist.con"), "game.addLevel x GPM_CQ bf1942\n");
  EXPECT_EQ(CurrentLevelText(true, ""), "-");
}

}  // namespace
