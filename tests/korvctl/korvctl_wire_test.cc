// korvctl against a scripted daemon: its bytes on the wire, refusals and exit statuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/banned_name.h"
#include "korvctl/fake_daemon.h"

namespace korvctltest {
namespace {

using namespace korvtest;

std::string Block(const std::string& text) { return korvclient::Block(text, ClientKey()); }

// Logs in, answers `code` (any when 0) with `answer`, then waits for the hang-up or hangs up.
Script Answering(std::uint32_t code, std::string answer, bool hang_up = false) {
  return [=](FakeDaemon& d) {
    d.Accept();
    if (code == 0 || d.ReadCode() == code) d.Write(answer);
    if (!hang_up) d.WaitClosed();
  };
}

std::string Hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 3)
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// The worked examples of docs/protocol.md, byte for byte.
TEST(KorvctlWire, DocumentedExamplesAreWhatGoesOnTheWire) {
  TempDir dir;
  WriteFile(dir / "servermaplist.con", "game.addLevel berlin\n");
  FakeDaemon daemon([](FakeDaemon& d) {
    d.Accept(0x41, false);
    d.Read(4 + 37);
    d.Read(4);
    d.Write(Notice(0x2E));
    if (d.ReadCode() == kClientRotationDownload) d.Write(Frame("game.addLevel berlin\n"));
    d.WaitClosed();
  });
  RunCtl(daemon, {"put", "rotation"}, 0, dir.path());
  const std::string user = Hex(
      "75 87 7D 06 D9 2D 6F 72 22 96 0F 57 22 64 46 16 17 D5 F0 11 39 C3 D2 38 AB 7D 54 6C 9A 79 A1 14 ");
  const std::string password = Hex(
      "67 86 73 1D D2 59 6F 72 22 96 0F 57 22 64 46 16 17 D5 F0 11 39 C3 D2 38 AB 7D 54 6C 9A 79 A1 14 ");
  const std::string upload = Hex(
      "0B 00 BE BA 15 00 00 00 19 00 00 00 C7 07 D8 6F 26 67 61 6D 65 2E 61 64 64 4C 65 76 65 "
      "6C 20 62 65 72 6C 69 6E 0A 11 00 00 ");
  EXPECT_EQ(daemon.received(), user + password + "\x20" + upload + Hex("32 00 BE BA 0A 00 BE BA "));
}

// A silent peer after the blocks is a timeout; a hang-up after the result a failed sync.
TEST(KorvctlWire, LoginRefusalsMismatchAndSilentPeers) {
  // wait: the peer keeps the connection open.
  struct Case { std::string answer; bool wait; int status; std::string words; };
  const std::vector<Case> cases{
      {std::string(1, '\0') + U32(0xFFFFFFFF) + "\x21", true, 18,
       "different protocol versions. Always use the same version of Korvane and Tillora. (the "
       "daemon speaks version 0x21, korvctl 0x20)"},
      {"", true, 4, ""}, {std::string(1, '\0'), false, 5, "couldn't synchronise"},
      {"\1", false, 11, "The specified username is invalid"}, {"\2", false, 12, "The specified password is invalid"},
      {"\3", false, 13, "The specified user account is disabled"}, {"\4", false, 14, "no access rights"},
      {"\5", false, 15, "No user accounts exist"}, {"\6", false, 16, "already connected"},
      {"\7", false, 17, "maximum of 16 clients"},
      {"\11", false, 19, "did not respond with a valid authentication code"}};
  for (const Case& c : cases) {
    FakeDaemon daemon([&c](FakeDaemon& d) {
      d.Read(64);
      d.Write(c.answer);
      if (c.wait) d.WaitClosed();
    });
    const std::string output = RunCtl(daemon, {"status"}, c.status);
    EXPECT_TRUE(Has(output, c.words) && !Has(output, "secret")) << output;
  }
}

TEST(KorvctlWire, CommandsCarryTheirExactTextsAndReportOutcomes) {
  struct Case {  // a command with no text has none
    std::vector<std::string> words; std::uint32_t code; std::optional<std::string> text;
    std::string answer; int status; std::string shown;
  };
  const std::vector<std::string> kick{"kick", "3", "team", "killing"};
  const std::string kicked = "3,team killing";
  const std::vector<Case> cases{
      // Other clients' news (a chat line) is passed over.
      {kick, kClientKickPlayer, kicked, Notice(0x26, "Alice: hi") + Notice(0x20, "Bob"), 0,
       "player kicked: Bob"},
      {kick, kClientKickPlayer, kicked, Notice(0x01), 1, "command failed"},
      {kick, kClientKickPlayer, kicked, Notice(0x07), 5, "unknown notification BEEF0007"},
      {kick, kClientKickPlayer, kicked, U32(0x12345678) + U32(0), 5, "12345678"},
      {kick, kClientKickPlayer, kicked, Notice(0x03), 3, "disconnected this client"},
      {kick, kClientKickPlayer, kicked, "", 4, "no outcome from the daemon within 2 seconds"},
      {{"say", "hello", "all"}, kClientSayToAll, "hello all", Notice(0x24, "x"), 0, ""},
      {{"message", "--", "-restart soon"}, kClientServerMessage, "-restart soon", Notice(0x25, "x"), 0, ""},
      {{"console", "game.sayAll", "\"x\""}, kClientRawConsoleCommand, "game.sayAll \"x\"", Notice(0x02, "x"), 0,
       ""},
      {{"map", "berlin"}, kClientChangeMap, "berlin", Notice(0x1B, "x"), 0, ""},
      {{"idle-map"}, kClientSetIdleMap, "", Notice(0x1E, "x"), 0, ""},
      {{"unban", "--name", "Bob", "--keyhash", "abc"}, kClientRemoveBan, "Bob,,abc,", Notice(0x22, "x"),
       0, ""},
      {{"ban", "--address", "1.2.3.4", "--name", "Bob", "--duration", "2h", "cheating"},
       kClientBanPlayer, "-1\xFF" "Bob\xFF" "1.2.3.4\xFF\xFF\xFF" "7200\xFF" "cheating\xFF",
       Notice(0x21, "x"), 0, ""},
      // A ban by id takes the identities from the player list.
      {{"ban", "4", "aimbot"}, kClientBanPlayer,
       "4\xFF" "Bob, the 2nd\xFF" "10.0.0.9\xFF" "0123456789abcdef0123456789abcdef\xFF"
       "[unknown]\xFF" "0\xFF" "aimbot\xFF", Notice(0x21, "Bob, the 2nd"), 0,
       "player banned: Bob, the 2nd"},
      {{"start"}, kClientStartServer, {}, Notice(0x04), 0, ""}, {{"start"}, kClientStartServer, {}, Notice(0x09), 7, ""},
      {{"stop"}, kClientStopServer, {}, Notice(0x05), 0, ""}, {{"stop"}, kClientStopServer, {}, Notice(0x0A), 7, ""},
      {{"pause"}, kClientTogglePause, {}, Notice(0x1A), 0, ""},
      {{"verify-bans"}, kClientVerifyBanLists, {}, Notice(0x16), 1, ""},
  };
  for (const Case& c : cases) {
    std::optional<std::uint32_t> code;
    std::string text;
    FakeDaemon daemon([&](FakeDaemon& d) {
      d.Accept();
      code = d.ReadCode();
      if (code == kClientPlayerListDownload) {
        d.Write(Frame("\"Bob, the 2nd\",4,1,10,2,3,50,10.0.0.9,"
                      "0123456789abcdef0123456789abcdef,[unknown]\n"));
        code = d.ReadCode();
      }
      if (c.text) text = d.ReadText().value_or("?");
      d.Write(c.answer);
      d.WaitClosed();
    });
    EXPECT_TRUE(Has(RunCtl(daemon, c.words, c.status), c.shown));
    EXPECT_EQ(std::pair(code, text), std::pair(std::optional(c.code), c.text ? *c.text + '\0' : "")) << c.words[0];
  }
}

TEST(KorvctlWire, PasswordTravelsEncipheredAsHex) {
  std::string text;
  FakeDaemon daemon([&](FakeDaemon& d) {
    d.Accept();
    if (d.ReadCode() != kClientChangeOwnPassword) return;
    text = d.ReadText().value_or("");
    d.Write(Notice(0x14));
    d.WaitClosed();
  });
  const std::string output =
      RunTool({"/usr/bin/env", "KORV_NEW_PASSWORD=n3w-pass", korvtest::BuildPath("korvctl"),
               "-p", daemon.port_text(), "-u", "admin", "--password", "secret", "password"}, 0);
  ASSERT_EQ(text.size(), 65u);
  std::string cipher;
  for (std::size_t i = 0; i < 64; i += 2) {
    ASSERT_TRUE(isxdigit(text[i]) && !islower(text[i]));
    cipher.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  EXPECT_EQ(Rc4(cipher, ClientKey()).substr(0, 9), std::string("n3w-pass\0", 9));
  EXPECT_FALSE(Has(output, "n3w-pass"));
}

TEST(KorvctlWire, DownloadWritesWholeFilesOnly) {
  TempDir dir;
  const std::string target = dir / "rotation.con";
  WriteFile(target, "old contents\n");
  const std::string rotation = "game.addLevel berlin\ngame.addLevel el_alamein\n";
  std::string bad_sum = Frame(rotation);
  bad_sum[8] ^= 1;
  std::string short_unpack = Frame(rotation);
  short_unpack[0] = static_cast<char>(rotation.size() + 1);
  struct Case { std::string answer; int status; std::string words; };
  const std::vector<Case> bad{
      {bad_sum, 5, "checksum"}, {short_unpack, 5, "does not unpack"}, {U32(0xBEEFBABE), 1, "aborted the transfer"},
      {Frame(rotation).substr(0, 14), 3, "closed the connection"}, {U32(1000) + U32(5000) + U32(0), 5, "impossible size"},
  };
  for (const Case& c : bad) {
    FakeDaemon daemon(Answering(kClientRotationDownload, c.answer, true));
    EXPECT_TRUE(Has(RunCtl(daemon, {"get", "rotation", "-o", target}, c.status), c.words));
    EXPECT_EQ(ReadFile(target), "old contents\n");
  }
  // A notification that the daemon sent before the frame is set aside.
  FakeDaemon daemon(Answering(kClientRotationDownload, Notice(0x26, "chat") + Frame(rotation)));
  RunCtl(daemon, {"get", "rotation", "-o", target}, 0);
  EXPECT_EQ(ReadFile(target), rotation);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()), 1);
  // Files that hold passwords are created readable by their owner only.
  FakeDaemon users(Answering(kClientAccountsDownload, Frame("A1B2,C3D4,E5F6,512,1\n")));
  RunCtl(users, {"get", "users"}, 0, dir.path());
  struct stat info {};
  ASSERT_EQ(::stat((dir / "useraccess.con").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadFile(dir / "useraccess.con"), "A1B2,C3D4,E5F6,512,1\n");
}

// An upload is checked by a download: of the same bytes, or of the same values for settings.
TEST(KorvctlWire, UploadsAreVerifiedByADownload) {
  TempDir dir;
  WriteFile(dir / "empty.con", "");
  std::string empty_bytes;
  // An empty file is the bare length 0; a daemon that kept something else fails it.
  FakeDaemon kept([&](FakeDaemon& d) {
    d.Accept();
    empty_bytes = d.Read(8).value_or("");
    d.Write(Notice(0x2E));
    d.ReadCode();  // the keep-alive
    if (d.ReadCode() == kClientAnnouncementsDownload) d.Write(Frame("* old announcement\n"));
    d.WaitClosed();
  });
  EXPECT_TRUE(Has(RunCtl(kept, {"put", "announcements", "-i", dir / "empty.con"}, 1), "did not keep"));
  EXPECT_EQ(empty_bytes, U32(kClientAnnouncementsUpload) + U32(0));

  // Read back by value: quotes, '_' for blanks, number forms may differ; values may not.
  WriteFile(dir / "mine.con", "game.serverName Renamed\ngame.serverPort 14568\n"
                              "manager.welcomeMessage 0 \"Hi there\"\nadmin.ratio 0.5\n");
  for (bool taken : {true, false}) {
    FakeDaemon daemon([&](FakeDaemon& d) {
      d.Accept();
      if (d.ReadCode() != kClientSettingsUpload || !d.ReadFrame() || d.ReadCode() != kClientKeepAlive) return;
      d.Write(Notice(0x2E));
      if (d.ReadCode() != kClientSettingsDownload) return;
      d.Write(Frame(std::string("game.serverName \"Renamed\"\ngame.serverPort ") +
                    (taken ? "14568" : "14567") +
                    "\nmanager.welcomeMessage 0 \"Hi_there\"\nadmin.ratio 0.50\nother 1\n"));
      d.WaitClosed();
    });
    const std::string output = RunCtl(daemon, {"put", "settings", "-i", dir / "mine.con"}, !taken);
    EXPECT_EQ(Has(output, "game.serverPort is 14567, not 14568"), !taken) << output;
  }
}

TEST(KorvctlWire, JsonOutputCarriesEveryField) {
  const std::string line =
      "\"Fun, \"Server\"\",10.0.0.1:14567,-- of 32,berlin GPM_CQ bf1942,berlin GPM_CQ bf1942,"
      "??,Stopped,?,Disconnected,??,??,??,??,??,0 / 0 / 0,0 / 0 / 0,??,?? / ??,Not installed,";
  FakeDaemon daemon(Answering(kClientStatusLine, U32(line.size() + 1) + line + std::string(1, '\0')));
  std::string output = RunCtl(daemon, {"--json", "status"}, 0);
  EXPECT_EQ(output.rfind("{\"ok\":true,", 0), 0u) << output;
  for (const char* member :
       {"\"server_name\":\"Fun, \\\"Server\\\"\"", "\"address\":\"10.0.0.1:14567\"",
        "\"players\":\"-- of 32\"", "\"server\":\"Stopped\"", "\"last_crash\":\"?\"",
        "\"tickets\":\"?? / ??\"", "\"punkbuster\":\"Not installed\"",
        "\"raw\":\"\\\"Fun, \\\"Server\\\"\\\",10.0.0.1:14567,"})
    EXPECT_TRUE(Has(output, member)) << member << "\n" << output;
  FakeDaemon refused([](FakeDaemon& d) { d.Read(64); d.Write(std::string(1, '\2')); });
  output = RunCtl(refused, {"--json", "ping"}, 12);
  EXPECT_TRUE(output.starts_with("{\"ok\":false,\"command\":\"ping\",\"exit\":12,\"error\":")) << output;
}

TEST(KorvctlWire, WatchNamesEveryNotification) {
  const std::vector<std::tuple<bool, std::string, std::string>> cases{
      {false, Notice(0x04) + Notice(0x26, "Alice: gg") + Notice(0x1E, "") + Notice(0x20, "Bob"),
       "server started\nconsole: Alice: gg\nidle map cleared\nplayer kicked: Bob\n"
       "disconnected by the daemon\n"},
      {false, Notice(0x2B, "Lag") + Notice(0x29, "Neg"),
       "auto-kicked Lag for high ping\nauto-banned Neg for too many minus-score kicks\n"},
      {true, Notice(0x28, "Noob") + Notice(0x20, "Bob"),
       "\"data\":\"Noob\",\"player\":\"Noob\",\"action\":\"kick\",\"by\":\"auto\",\"cause\":"
       "\"banned word\"}"},
      {true, Notice(0x20, "Bob"),
       "\"player\":\"Bob\",\"action\":\"kick\",\"by\":\"admin\",\"cause\":null}"},
      // Control bytes from the game reach a terminal escaped, and JSON exact.
      {false, Notice(0x26, "X: \x1b]0;owned\x07\x1b[2J"), "console: X: \\x1b]0;owned\\x07\\x1b[2J\n"},
      {true, Notice(0x26, "X: \x1b]0;owned\x07\x1b[2J"),
       "\"data\":\"X: \\u001b]0;owned\\u0007\\u001b[2J\""}};
  for (const auto& [json, notices, shown] : cases) {
    FakeDaemon daemon(Answering(0, notices + Notice(0x03)));
    EXPECT_TRUE(Has(RunCtl(daemon, json ? std::vector<std::string>{"--json", "watch"}
                                        : std::vector<std::string>{"watch"}, 3), shown));
  }
}

TEST(KorvctlWire, PlayerNamesWithControlBytesAreEscapedOnTheTerminal) {
  const std::string list = Frame("\"Ev\x1b[2J\x1b]0;x\x07il\",4,1,10,2,3,50,10.0.0.9,"
                                 "0123456789abcdef0123456789abcdef,[unknown]\n");
  for (bool json : {false, true}) {
    FakeDaemon daemon(Answering(kClientPlayerListDownload, list));
    const std::string output = RunCtl(daemon, json ? std::vector<std::string>{"--json", "players"}
                                                   : std::vector<std::string>{"players"}, 0);
    EXPECT_TRUE(Has(output, json ? "\"Ev\\u001b[2J\\u001b]0;x\\u0007il\"" : "Ev\\x1b[2J\\x1b]0;x\\x07il  "));
    EXPECT_EQ(output.find('\x1b'), std::string::npos);
  }
}

TEST(KorvctlUsage, BadWordsAndCredentials) {
  const std::string ctl = korvtest::BuildPath("korvctl");
  EXPECT_TRUE(Has(RunTool({ctl, "frobnicate"}, 2), "unknown subcommand 'frobnicate'"));
  RunTool({ctl, "--port", "99999", "status"}, 2);
  RunTool({ctl, "--timeout"}, 2);
  // Word checks happen after the login, before anything is sent.
  const std::vector<std::vector<std::string>> bad{
      {"kick", "Bob", "reason"}, {"kick", "3"}, {"say", std::string(256, 'x')},
      {"map"}, {"get", "nothing"}, {"put", "log"}, {"ban", "4"}, {"next-map", "now"},
      {"disconnect", "17"}, {"unban", "--name", "Bob"}, {"ban-name", "Bad,Guy"},
      {"ban-name", "Bad\nGuy"}};
  for (const auto& words : bad) {
    FakeDaemon daemon([](FakeDaemon& d) { d.Accept(); d.WaitClosed(); });
    RunCtl(daemon, words, 2);
    EXPECT_EQ(daemon.received().size(), 65u) << words[0];
  }
  // The daemon's refusal, in its words.
  FakeDaemon refusing([](FakeDaemon& d) { d.Accept(); d.WaitClosed(); });
  EXPECT_TRUE(Has(RunCtl(refusing, {"ban-name", "Bad,Guy"}, 2), kUnbannableNameText));

  // A credentials file others may read is refused; an owner-only one works.
  TempDir dir;
  WriteFile(dir / "credentials", "# korvctl\nuser = filed\npassword = from file\n");
  ::chmod((dir / "credentials").c_str(), 0644);
  EXPECT_TRUE(Has(RunTool({ctl, "--credentials", dir / "credentials", "status"}, 2), "readable only by you"));
  ::chmod((dir / "credentials").c_str(), 0600);
  FakeDaemon daemon([](FakeDaemon& d) { d.Accept(0x41, false); d.WaitClosed(); });
  const std::string output =
      RunTool({ctl, "-p", daemon.port_text(), "--credentials", dir / "credentials", "whoami"}, 0);
  EXPECT_EQ(daemon.received().substr(0, 64), Block("filed") + Block("from file"));
  EXPECT_TRUE(Has(output, "SgfiatMpbuhc") && Has(output, "Server running: no") && !Has(output, "from file"))
      << output;
  EXPECT_TRUE(Has(RunTool({"/usr/bin/env", "KORV_USER=", "KORV_PASSWORD=", "HOME=/nonexistent",
                           ctl, "-p", "1", "status"}, 2),
                  "no user name"));
  RunTool({ctl, "-p", std::to_string(korvtest::FreePort()), "-u", "a", "--password", "b", "ping"}, 3);
}

}  // namespace
}  // namespace korvctltest
