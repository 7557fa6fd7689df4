// File and text procedures (error texts, files, addresses, hex, choices, integers, RC4), day
// keywords, korvd.conf.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/choice_list.h"
#include "core/event_times.h"
#include "core/files.h"
#include "core/ids.h"
#include "core/korvd_conf.h"
#include "core/last_error.h"
#include "core/rc4.h"
#include "core/socket_io.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "links/link_fixture.h"

using korvtest::Has;
using korvtest::ReadFile;
using korvtest::WriteFile;

namespace {

unsigned Mode(const std::string& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

class HelpersTest : public korvtest::LogFixture {};

TEST_F(HelpersTest, ErrorTextCoversDaemonCodesUnknownCodesAndErrno) {
  EXPECT_EQ(ErrorText(40000), "An unknown error has occured. (40000)");
  EXPECT_EQ(ErrorText(2), std::string(std::strerror(2)) + " (2)");
  // Each named code stands for its own text (the frame codes have none).
  const std::pair<DaemonError, const char*> named[] = {
      {kErrProtocolVersion, "Client and server are using different protocol versions.\n"
                            "Always use the same version of Korvane and Tillora."},
      {kErrBadAuthCode, "The server did not respond with a valid authentication code."},
      {kErrBadUserName, "The specified username is invalid."},
      {kErrBadPassword, "The specified password is invalid."},
      {kErrAccountDisabled, "The specified user account is disabled."},
      {kErrNoAccounts, "No user accounts exist."},
      {kErrClientSync, "Tillora couldn't synchronise with Korvane."},
      {kErrConsoleLogin, "The Remote Console username and/or password is invalid."},
      {kErrStatusPort, "Korvane could not identify the server's status port."},
      {kErrServerSettings, "Korvane couldn't get the settings from the server."},
      {kErrPlayerList, "Korvane couldn't get the player list from the server."},
      {kErrFrame12, "An unknown error has occured. (30012)"},
      {kErrFrame13, "An unknown error has occured. (30013)"},
      {kErrFrame14, "An unknown error has occured. (30014)"},
      {kErrNoMaps, "There are no maps available to play"},
      {kErrKeyhashLength, "The keyhash is not 32 characters in length."},
      {kErrKeyhashDigits, "The keyhash is not a valid hexadecimal number."}};
  for (const auto& [code, text] : named) EXPECT_EQ(ErrorText(code).rfind(text, 0), 0u) << code;
}

TEST_F(HelpersTest, CreatedAndReplacedFilesModesAndOwnerOnlyPasswordFiles) {
  std::string deep = dir_ / "a/b/c/file.con";
  ASSERT_TRUE(CreateFileWithDirs(deep, 1));
  EXPECT_TRUE(FileExists(deep));
  WriteFile(deep, "keep");
  ASSERT_TRUE(CreateFileWithDirs(deep, 1));
  EXPECT_EQ(ReadFile(deep), "keep");
  ASSERT_TRUE(CreateFileWithDirs(deep, 2));
  EXPECT_EQ(ReadFile(deep), "");
  // Other modes only make directories (and a directory counts as existing).
  ASSERT_TRUE(CreateFileWithDirs(dir_ / "x/y/only-dirs", 0));
  EXPECT_FALSE(FileExists(nullptr));
  EXPECT_TRUE(FileExists(dir_ / "x/y"));
  EXPECT_FALSE(FileExists(dir_ / "x/y/only-dirs"));
  std::string path = dir_ / "settings.con";
  WriteFile(path, "old\n");
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(ReplaceFileContents(path, "new\n"));
  EXPECT_EQ(ReadFile(path), "new\n");
  EXPECT_EQ(Mode(path), 0640u);
  EXPECT_FALSE(ReplaceFileContents(dir_ / "nodir/file", "x"));
  EXPECT_EQ(LastError(), ENOENT);
  // Owner-only files are made so; a readable one is narrowed when recreated, replaced or found.
  std::string old = dir_ / "useraccess.con";
  WriteFile(old, "x");
  ::chmod(old.c_str(), 0644);
  ASSERT_TRUE(CreateFileWithDirs(old, 2, FileAccess::kOwnerOnly));
  std::vector<unsigned> modes = {Mode(old)};
  ::chmod(old.c_str(), 0644);
  ASSERT_TRUE(ReplaceFileContents(old, "y", FileAccess::kOwnerOnly) &&
              CreateFileWithDirs(dir_ / "s/korvane.con", 1, FileAccess::kOwnerOnly) &&
              ReplaceFileContents(dir_ / "new.con", "z", FileAccess::kOwnerOnly));
  modes.insert(modes.end(), {Mode(old), Mode(dir_ / "s/korvane.con"), Mode(dir_ / "new.con")});
  ::chmod(old.c_str(), 0644);
  ASSERT_TRUE(CreateFileWithDirs(old, 1, FileAccess::kOwnerOnly));
  modes.push_back(Mode(old));
  EXPECT_EQ(modes, std::vector<unsigned>(5, 0600u));
  EXPECT_EQ(ReadFile(old), "y");
}

// A directory refusing new files: writes go in place (as nobody: root ignores permissions).
TEST_F(HelpersTest, LockedDirectoryWritesInPlaceOrSaysWhatFailedAndCopiesReportTheirSource) {
  std::string locked = dir_ / "locked";
  ::mkdir(locked.c_str(), 0555);
  ::chmod(dir_.path().c_str(), 0777);  // the log stays writable
  WriteFile(locked + "/ok.con", "game.a 1\n");
  WriteFile(locked + "/ro.con", "old\n");
  ::chmod((locked + "/ro.con").c_str(), 0444);
  bool root = ::geteuid() == 0;
  if (root && ::chown((locked + "/ok.con").c_str(), 65534, 65534) != 0) FAIL();
  auto writes = [&] {
    int failures = 0;
    int input = ::dup(0);
    ::close(0);  // the in-place write then gets descriptor 0
    failures += !ReplaceLinesInFile(locked + "/ok.con", "game.a", "game.a 2");
    if (input >= 0) ::dup2(input, 0);
    ::close(input);
    failures += ReplaceLinesInFile(locked + "/ro.con", "old", "new") ? 2 : 0;
    failures += CopyFile(locked + "/ok.con", locked + "/ro.con") ? 4 : 0;
    return failures;
  };
  if (root) {
    pid_t child = ::fork();
    if (child == 0) _exit(::setgid(65534) == 0 && ::setuid(65534) == 0 ? writes() : 99);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  } else {
    EXPECT_EQ(writes(), 0);
  }
  ::chmod(locked.c_str(), 0755);
  EXPECT_EQ(ReadFile(locked + "/ok.con"), "game.a 2\n");
  EXPECT_EQ(ReadFile(locked + "/ro.con"), "old\n");
  std::string denied = ErrorText(EACCES);
  std::string log = ReadFile(dir_ / "korvd.log");
  for (const std::string& line : {"Couldn't create a temporary file in " + locked + "! " + denied,
                                   "Couldn't open " + locked + "/ro.con! " + denied,
                                   "Couldn't open target con file! " + denied})
    EXPECT_TRUE(Has(log, line + "\r\n")) << line << "\n" << log;
  WriteFile(dir_ / "src.con", std::string(20000, 'q'));
  ASSERT_TRUE(CopyFile(dir_ / "src.con", dir_ / "sub/dst.con"));
  EXPECT_EQ(ReadFile(dir_ / "sub/dst.con"), std::string(20000, 'q'));
  EXPECT_FALSE(CopyFile(dir_ / "nope.con", dir_ / "dst2.con"));
  EXPECT_TRUE(Has(ReadFile(dir_ / "korvd.log"), "Couldn't open source con file! "));
}

// A FIFO, a device or a directory in a file's place is named in a warning and refused at once.
TEST_F(HelpersTest, ReadersRefuseFifosDevicesDirectoriesAndFilesPastTheCap) {
  std::string fifo = dir_ / "fifo.con", zero = dir_ / "zero.con", big = dir_ / "big.con";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
  WriteFile(big, "0123456789");
  for (auto [path, error] : {std::pair{fifo, EINVAL}, {zero, EINVAL}, {dir_.path(), EISDIR}}) {
    EXPECT_EQ(ReadWholeFile(path), std::nullopt);
    EXPECT_EQ(LastError(), error);
    EXPECT_FALSE(OpenRegularStream(path));
    EXPECT_EQ(std::pair(errno, LastError()), std::pair(error, error));
    EXPECT_EQ(korvtest::Count(ReadFile(dir_ / "korvd.log"),
                              " : WARNING: Skipped " + path + ", which is not a regular file.\r\n"),
              2);
  }
  EXPECT_FALSE(CopyFile(fifo, dir_ / "copy.con"));
  EXPECT_TRUE(Has(ReadFile(dir_ / "korvd.log"), "Couldn't open source con file! " +
                                                    ErrorText(EINVAL) + "\r\n"));
  EXPECT_FALSE(ReplaceLinesInFile(zero, "x", "y"));
  EXPECT_FALSE(AppendToFile(fifo, "x\n"));  // nobody reads it: refused, not waited on
  EXPECT_EQ(LastError(), ENXIO);
  EXPECT_EQ(ReadWholeFile(big, 9), std::nullopt);
  EXPECT_EQ(LastError(), EFBIG);
  EXPECT_TRUE(Has(ReadFile(dir_ / "korvd.log"),
                  " : WARNING: Skipped " + big + ", which is larger than 9 bytes.\r\n"));
  EXPECT_EQ(ReadWholeFile(big, 10), "0123456789");
}

TEST_F(HelpersTest, APipeIsNoSocketAndDescriptorZeroIsAnOrdinaryOne) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  EXPECT_FALSE(SendAll(ends[1], "x", 1));
  EXPECT_EQ(LastError(), ENOTSOCK);
  char none = 0;  // nothing to move succeeds without touching the descriptor
  EXPECT_TRUE(SendAll(ends[1], &none, 0) && ReceiveAll(ends[0], &none, 0));
  for (int fd : ends) ::close(fd);
  int input = ::dup(0);  // with standard input closed, 0 is an ordinary descriptor
  { UniqueFd zero(0); }
  EXPECT_EQ(::fcntl(0, F_GETFD), -1);
  if (input >= 0) ::dup2(input, 0);
  ::close(input);
}

TEST_F(HelpersTest, ReplaceLinesInFileDeletesReplacesAppendsAndReadsLongLinesInPieces) {
  std::string path = dir_ / "list.con";
  WriteFile(path, "game.a 1\ngame.b 2\nother\ngame.b 3\n");
  ASSERT_TRUE(ReplaceLinesInFile(path, "game.b", "game.b 9"));
  EXPECT_EQ(ReadFile(path), "game.a 1\ngame.b 9\nother\ngame.b 9\n");
  ASSERT_TRUE(ReplaceLinesInFile(path, "game.b", nullptr));
  EXPECT_EQ(ReadFile(path), "game.a 1\nother\n");
  ASSERT_TRUE(ReplaceLinesInFile(path, "game.c", "game.c 5"));
  EXPECT_EQ(ReadFile(path), "game.a 1\nother\ngame.c 5\n");
  ASSERT_TRUE(ReplaceLinesInFile(path, "nothing", ""));
  ASSERT_TRUE(ReplaceLinesInFile(path, "GAME.A", nullptr));  // the key is case-sensitive
  EXPECT_EQ(ReadFile(path), "game.a 1\nother\ngame.c 5\n");
  EXPECT_FALSE(ReplaceLinesInFile(dir_ / "missing.con", "x", nullptr));
  path = dir_ / "long.con";
  std::string long_line(3000, 'a');
  // Pieces of 1023 characters: the one holding the key goes, the rest stays.
  WriteFile(path, long_line + "\n" + std::string(1020, 'b') + "key 1\nkey line\n");
  ASSERT_TRUE(ReplaceLinesInFile(path, "key", nullptr));
  EXPECT_EQ(ReadFile(path), long_line + "\n 1\n");
}

TEST_F(HelpersTest, DottedAddressesKeyhashesAndHex) {
  EXPECT_EQ((std::vector<std::uint32_t>{ParseDottedIp("10.0.0.300"), ParseDottedIp("192.168.1"),
                                         ParseDottedIp("127.0.0.1"), ParseDottedIp(nullptr), ParseDottedIp("garbage")}),
            (std::vector<std::uint32_t>{0x0A000000u, 0xC0A80100u, 0x7F000001u, 0, 0}));
  EXPECT_EQ(ParseDottedIp("111.222.111.2229"), ParseDottedIp("111.222.111.222"));
  EXPECT_EQ(FormatDottedIp(0xC0A80102u) + " " + FormatDottedIp(0), "192.168.1.2 0.0.0.0");
  for (auto [keyhash, error] : {std::pair{std::string(31, 'a'), 30016}, {std::string(31, 'a') + "g", 30017}}) {
    EXPECT_FALSE(CheckKeyhash(keyhash));
    EXPECT_EQ(LastError(), error);
  }
  EXPECT_TRUE(CheckKeyhash("0123456789abcdefABCDEF0123456789") && IsHexString(""));
  EXPECT_FALSE(IsHexString("12 3"));
}

TEST_F(HelpersTest, ChoiceListsIntegersAndCase) {
  const char* list = "0/No Limit,8/64 Kbps";
  EXPECT_EQ((std::vector{ChoiceValue(list, 0), ChoiceValue(list, 1), ChoiceValue(list, 2), ChoiceValue(list, 3)}),
            (std::vector<std::optional<std::string>>{std::nullopt, "0", "8", std::nullopt}));
  // The last finds a match without a label.
  EXPECT_EQ((std::vector{ChoiceLabel(list, "8"), ChoiceLabel("ctf/Capture the Flag", "CTF"), ChoiceLabel(list, "16"),
                         ChoiceLabel("a/A,b", "b")}),
            (std::vector<std::optional<std::string>>{"64 Kbps", "Capture the Flag", std::nullopt, std::nullopt}));
  EXPECT_EQ(FormatInteger(255, 16) + " " + FormatInteger(-10, 2) + " " + FormatInteger(0, 10) + " " +
                FormatInteger(INT32_MIN, 10),
            "ff -1010 0 -2147483648");
  char text[] = "MiXed";
  EXPECT_STREQ(UpperCase(text), "MIXED");
  EXPECT_STREQ(LowerCase(text), "mixed");
  EXPECT_EQ(UpperCase(static_cast<char*>(nullptr)), nullptr);
  EXPECT_EQ(std::tuple(ParseInt("  -42abc"), ParseInt("abc"), ParseInt("99999999999999999999")),
            std::tuple(-42, 0, INT32_MAX));
  EXPECT_EQ(ParseLong("-99999999999999999999"), INT64_MIN);
}

// RFC 6229: the stream of the 40-bit key 0x0102030405 at offsets 0 and 16.
TEST_F(HelpersTest, Rc4MatchesPublishedVectors) {
  const unsigned char key[] = {0x01, 0x02, 0x03, 0x04, 0x05};
  unsigned char stream[32] = {};
  Rc4Crypt(stream, sizeof stream, key, sizeof key);
  const unsigned char expected[32] = {
      0xb2, 0x39, 0x63, 0x05, 0xf0, 0x3d, 0xc0, 0x27, 0xcc, 0xc3, 0x52, 0x4a, 0x0a, 0x11, 0x18, 0xa8,
      0x69, 0x82, 0x94, 0x4f, 0x18, 0xfc, 0x82, 0xd5, 0x89, 0xc4, 0x03, 0xa4, 0x7a, 0x0d, 0x09, 0x19};
  EXPECT_EQ(std::memcmp(stream, expected, 32), 0);
  unsigned char untouched[] = "abc";
  Rc4Crypt(untouched, 3, nullptr, 3);
  Rc4Crypt(untouched, 0, key, 5);
  EXPECT_STREQ(reinterpret_cast<char*>(untouched), "abc");
}

TEST(EventTimes, DayKeywordsMatchOverTheirOwnLength) {
  const std::pair<const char*, int> cases[] = {
      {"NONE", 0}, {"daily", 1},     {"Sunday", 2},    {"mon", 3},       {"tue", 4},
      {"wed", 5},  {"thu", 6},       {"fri", 7},       {"SAT", 8},       {"weekdays", 9},
      {"weekends", 10}, {"someday", -1}, {"mo", -1},   {"", -1}};
  for (const auto& [text, code] : cases) EXPECT_EQ(DayCode(text), code) << text;
  // Sunday is tm_wday 0.
  const int admitted[][3] = {{2, 0, 1}, {3, 0, 0}, {9, 5, 1}, {9, 6, 0}, {9, 0, 0},
                             {10, 6, 1}, {10, 0, 1}, {10, 1, 0}, {1, 3, 1}, {-1, 3, 0}};
  for (const auto& [code, weekday, yes] : admitted)
    EXPECT_EQ(DayAdmits(code, weekday), yes != 0) << code << " " << weekday;
}

class KorvdConfTest : public korvtest::LogFixture {};

TEST_F(KorvdConfTest, MissingFileKeepsDefaultsKeysAreReadAndBadEntriesAreWarnedAbout) {
  KorvdConf conf;
  ASSERT_TRUE(LoadKorvdConf(dir_ / "korvd.conf", &conf));
  auto values = [&conf] {
    return std::tie(conf.log_keep_rotated, conf.log_repeat_threshold, conf.metrics_textfile,
                    conf.metrics_server, conf.hang_seconds, conf.loop_cooldown_seconds, conf.restart_when_empty_seconds,
                    conf.remote_send_bytes_per_second);
  };
  EXPECT_EQ(values(), std::make_tuple(100, 100, "", "", 0, 0, 0, 64 << 20));
  EXPECT_EQ(ReadFile(dir_ / "korvd.log"), "");

  WriteFile(dir_ / "korvd.conf",
            "; our own settings\n[log]\nkeep_rotated = 17\nrepeat_threshold=0\n"
            "keep_rotated_bytes = 12x\ncolour = blue\n[other]\nkeep_rotated = 9\nno equals sign\n"
            "[metrics]\ntextfile = /var/lib/node exporter/korvd.prom\nserver = Fleet \"A\"\n[supervision]\nhang_seconds = 90\n"
            "loop_cooldown_seconds = 300\nloop_cooldown_max_seconds = 0\nrestart_when_empty_seconds = 900\n"
            "[remote]\nsend_bytes_per_second = 0\n");
  ASSERT_TRUE(LoadKorvdConf(dir_ / "korvd.conf", &conf));
  EXPECT_EQ(values(),
            std::make_tuple(17, 0, "/var/lib/node exporter/korvd.prom", "Fleet \"A\"", 90, 300, 900, 0));
  EXPECT_EQ(conf.log_keep_rotated_bytes, KorvdConf{}.log_keep_rotated_bytes);
  EXPECT_EQ(conf.loop_cooldown_max_seconds, 3600);  // 0 is refused: the cap stays
  std::string log = ReadFile(dir_ / "korvd.log");
  for (const char* line :
       {"[log] keep_rotated_bytes = \"12x\" is not a number from 0 to 9223372036854775807; the "
        "default stays.",
        "unknown setting [log] colour ignored.", "unknown setting [other] keep_rotated ignored.",
        "line 9 cannot be read; it was skipped.",
        "[supervision] loop_cooldown_max_seconds = \"0\" is not a number from 1 to 604800"})
    EXPECT_TRUE(Has(log, std::string(" : WARNING: korvd.conf: ") + line)) << line;
}

// Each change is logged, a key taken out gets its default, an unreadable file changes nothing.
TEST_F(KorvdConfTest, ReloadLogsEachChangeAndKeepsTheSettingsWhenTheFileCannotBeRead) {
  g_manager.core.settings_dir = dir_.path();
  WriteFile(dir_ / "korvd.conf", "[supervision]\nhang_seconds = 90\n[metrics]\ntextfile = /m.prom\n"
                                 "[fleet]\ndatabase = host=db password=s3cret\n");
  ASSERT_TRUE(ReloadKorvdConf());
  WriteFile(dir_ / "korvd.conf", "[supervision]\nhang_seconds = 90\n[log]\nrepeat_threshold = 5\n");
  ASSERT_TRUE(ReloadKorvdConf());
  std::filesystem::remove(dir_ / "korvd.conf");
  std::filesystem::create_directory(dir_ / "korvd.conf");
  EXPECT_FALSE(ReloadKorvdConf());
  const KorvdConf& conf = g_manager.core.conf;
  EXPECT_EQ(std::tie(conf.hang_seconds, conf.log_repeat_threshold, conf.metrics_textfile),
            std::make_tuple(90, 5, ""));
  std::string log = ReadFile(dir_ / "korvd.log"), texts;
  for (std::size_t at = 0; (at = log.find(" : ", at)) != std::string::npos; at += 3)
    texts += log.substr(at + 3, log.find("\r\n", at) - at - 3) + "\n";
  EXPECT_EQ(texts,
            "korvd.conf: [supervision] hang_seconds = 90 (was 0), in effect now.\n"
            "korvd.conf: [metrics] textfile = \"/m.prom\" (was \"\"), in effect now.\n"
            "korvd.conf: [fleet] database = (not shown) (was (not shown)), in effect now.\n"
            "Reloaded korvd.conf: 3 setting(s) changed.\n"
            "korvd.conf: [log] repeat_threshold = 5 (was 100), in effect now.\n"
            "korvd.conf: [metrics] textfile = \"\" (was \"/m.prom\"), in effect now.\n"
            "korvd.conf: [fleet] database = (not shown) (was (not shown)), in effect now.\n"
            "Reloaded korvd.conf: 3 setting(s) changed.\n"
            "WARNING: Skipped " + dir_ / "korvd.conf" + ", which is not a regular file.\n"
            "Couldn't reload korvd.conf, the settings in force stay! Is a directory (21)\n");
}

}  // namespace
