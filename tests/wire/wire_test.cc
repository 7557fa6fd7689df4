// The shared codecs (console packets and login, status reports among them): written bytes read
// back the same, and hostile input fails cleanly.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <vector>

#include "core/byte_order.h"
#include "korvctl/ban_list.h"
#include "korvctl/history.h"
#include "korvctl/protocol.h"
#include "korvctl/schedule_view.h"
#include "wire/account_line.h"
#include "wire/ban_row.h"
#include "wire/ban_text.h"
#include "wire/console_packet.h"
#include "wire/file_frame.h"
#include "wire/menu_line.h"
#include "wire/history_text.h"
#include "wire/schedule_line.h"
#include "wire/setting_line.h"
#include "wire/span_reader.h"
#include "wire/status_report.h"

namespace {

// A ban is no kick, a console command neither; the text is what the first two quotes before the '|' hold.
TEST(WireMenuLine, OptionsAndTextReadAsTheDaemonRunsThem) {
  const std::pair<const char*, const char*> cases[] = {
      {"Kick|kick", "kick 0"}, {"TK [k][kick] \"Team killing\"|kick,ban,3600\r\nnext", "ban 3600 \"Team killing\""},
      {"All [all] \"listen up\"|global,kick", "kick global 0 \"listen up\""},
      {"Pb [pb] \"pb_sv_kick %pbid\"|cmd,BAN", "cmd 0 \"pb_sv_kick %pbid\""},
      {"Hello [hi] \"welcome\"|", "0 \"welcome\""}, {"Half \"open|ban", "ban 0"},
      {"Ban [b] \"\"| Ban , [x],60 ,", "ban 60 \"\""}, {"\"no bar\" kick", "0 \"no bar\""},
  };
  for (const auto& [line, want] : cases) {
    MenuItem m = ParseMenuLine(line);
    std::string got = std::string(m.kick ? "kick " : "") + (m.ban ? "ban " : "") + (m.cmd ? "cmd " : "") +
                      (m.global ? "global " : "") + std::to_string(m.duration) + (m.text ? " \"" + *m.text + "\"" : "");
    EXPECT_EQ(got, want) << line;
  }
}

std::string Fields(const BanEntry& e) {
  return e.name + "|" + e.address + "|" + e.keyhash + "|" + e.guid + "|" + e.admin + "|" +
         e.ban_time + "|" + e.expiry + "|" + e.reason;
}

// Random rows over the delimiters: the daemon and korvctl agree on which lines are bans.
TEST(WireBanRow, KorvctlListsExactlyTheRowsTheDaemonReads) {
  std::mt19937 random(29);
  const std::string alphabet = "\"\",,,,\r\n*ab5 ";
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int i = random() % 40; i > 0; --i) text += alphabet[random() % alphabet.size()];
    std::vector<std::string> daemon;
    std::string_view rest = text;
    while (!rest.empty())
      if (auto e = ParseBanEntry(NextBanLine(rest))) daemon.push_back(e->name + "|" + e->reason);
    std::vector<std::string> listed;
    for (const auto& row : korvctl::ParseBanList(text, 0)) listed.push_back(row[0].second + "|" + row[7].second);
    ASSERT_EQ(listed, daemon) << text;
  }
}

TEST(WireBanRow, WrittenRowsReadBackAsWritten) {
  const BanEntry entries[] = {
      {"Bob", "1.2.3.4", "*", "*", "op", "5", "0", "aim bot"},
      {"A b", "*", std::string(32, 'k'), std::string(32, 'g'), "web", "1700000000", "1700000600", "x\r"},
  };
  for (const BanEntry& entry : entries) {
    const std::string row = FormatBanEntry(entry);
    std::optional<BanEntry> read = ParseBanEntry(row);
    ASSERT_TRUE(read) << row;
    EXPECT_EQ(Fields(*read), Fields(entry));
    std::string_view f[kBanRowFields];
    ASSERT_TRUE(ParseBanFields(row, f));
    EXPECT_TRUE(IsBanRowAsWritten(row, f) && !IsBanRowAsWritten(" " + row, f)) << row;
  }
  EXPECT_EQ(FormatBanEntry(entries[0]), "\"Bob\",1.2.3.4,*,*,\"op\",5,0,aim bot\n");
  // Missing fields, a reason-less row: no ban.
  for (const char* line : {"", "\"Bob\",1.2.3.4,*,*,\"op\",5,0,\n", "\"Bob\",1.2.3.4"})
    EXPECT_FALSE(ParseBanEntry(line)) << line;
  EXPECT_EQ((std::pair{BanExpiry("-7"), BanExpiry("12x")}), (std::pair<std::uint64_t, std::uint64_t>{0, 12}));
  std::string long_line = std::string(1030, 'a') + "\nb";
  EXPECT_EQ(SplitBanLines(long_line), (std::vector<std::string_view>{
      std::string_view(long_line).substr(0, 1023), std::string_view(long_line).substr(1023, 8), "b"}));
}

// A client's ban text is the daemon's; what the daemon would change a client refuses.
TEST(WireBanText, ClientsWriteTheDaemonsTextOrNone) {
  const BanText ban{-1, "Bob", "1.2.3.4", "", "", 7200, "cheating"};
  EXPECT_EQ(WriteWholeBanText(ban), "-1\xFF" "Bob\xFF" "1.2.3.4\xFF\xFF\xFF" "7200\xFF" "cheating\xFF");
  EXPECT_EQ(WriteWholeBanText(ban), WriteBanText(ban));
  BanText full = ban;
  full.reason = std::string(233, 'r');  // one more than fits
  std::optional<std::string> cut = WriteBanText(full);
  ASSERT_EQ(cut.value_or("").size(), 255u);
  EXPECT_EQ(WriteWholeBanText(full), std::nullopt);
  full.reason.resize(232);
  EXPECT_EQ(WriteWholeBanText(full), cut);
  BanText marked = ban;
  marked.name = "B\xFFob";
  EXPECT_EQ(WriteWholeBanText(marked), std::nullopt);
  EXPECT_EQ(ReadBanText(*WriteBanText(marked), nullptr)->name, "B?ob");
}

TEST(WireSettingLine, WelcomeLinesRoundTrip) {
  std::string out;
  AppendWelcomeLines(&out, "k", "Hi there\r\n\r\nsecond\n" + std::string(70, 'x'));
  EXPECT_EQ(out, "k 0 \"Hi_there\"\nk 1 \"second\"\nk 2 \"" + std::string(63, 'x') + "\"\n");
  std::string text = "old";
  for (std::string_view rest = out; !rest.empty();) {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(line.size() + 1);
    ReadWelcomeLine(SplitSettingLine(line).rest, &text);
  }
  EXPECT_EQ(text, "Hi there\r\nsecond\r\n" + std::string(63, 'x') + "\r\n");
  // Line 0 reads back 62 characters; a line without text or past 4 changes nothing.
  text.clear();
  for (std::string rest : {"0 \"" + std::string(63, 'y') + "\"", std::string("1 \"\""), std::string("5 \"z\""), std::string("4 \"a\tb\"")})
    ReadWelcomeLine(rest, &text);
  EXPECT_EQ(text, std::string(62, 'y') + "\r\na b");
  EXPECT_EQ((std::pair{SplitSettingLine("  key  value").key, SplitSettingLine("  key  value").rest}),
            (std::pair<std::string_view, std::string_view>{"key", " value"}));
  SettingValueReader reader("  \"\"quoted text\" word");
  const auto quoted = reader.NextQuoted(), word = reader.NextWord(), none = reader.NextWord();
  EXPECT_EQ(std::tuple(quoted, word, none),
            std::tuple(std::optional<std::string>("quoted text"), "word", std::nullopt));
}

TEST(WireScheduleLine, SavedLinesReadBackAndKorvctlShowsThem) {
  ScheduleLine event{{}, "start wait", "sun", "", "maps/a.con", 1};
  event.time = 4294967295u;
  const std::string line = FormatScheduleLine(event);
  EXPECT_EQ(line, "4294967295,start wait,sun,*,maps/a.con,1\n");
  ScheduleLine read;
  ASSERT_TRUE(ParseScheduleLine(line, &read));
  EXPECT_EQ(FormatScheduleLine(read), "4294967295,start wait,sun,*,maps/a.con,1\n");
  EXPECT_TRUE(IsStartAction(read.action) && WaitsForGameEnd(read.action));
  EXPECT_EQ(korvctl::ScheduleRows(line, 0)[0][0].second, "4294967295");
  for (const char* bad : {"4294967296,stop,sun,*,*,1", "0,stop,sun,*,*,1", "-1,stop,sun,*,*,1",
                          "5,stop,sun,*,*,", "5,,sun,*,*,1", "5,stop,sun,*,*"})
    EXPECT_FALSE(ParseScheduleLine(bad, &read)) << bad;
  ASSERT_TRUE(ParseScheduleLine(std::string("5,stop,") + std::string(30, 'd') + ",*,*,1\r\n", &read));
  EXPECT_EQ(read.day, std::string(15, 'd'));
  ASSERT_TRUE(ParseScheduleLine(std::string("5,STOP,d,*,*,7\0,junk", 20), &read));
  EXPECT_EQ((std::pair{read.enabled, IsStartAction("sta")}), (std::pair{7, false}));
}

std::string FixedPadding(std::size_t size) { return std::string(size, 'Q'); }

TEST(WireAccountLine, EncipheredRowsReadBackAndKorvctlsPasswordFieldDeciphers) {
  UserAccount account{"Alice", "pw", std::string(40, 'h'), 4128, 1};
  const std::string line = FormatAccountLine(account, FixedPadding);
  EXPECT_TRUE(line.size() == 64u + 1 + 64 + 1 + 66 + 1 + 6 + 1 && line.ends_with(",4128,1\n")) << line;
  std::optional<AccountRow> row = SplitAccountRow(std::string_view(line).substr(0, line.size() - 1));
  ASSERT_TRUE(row);
  EXPECT_EQ(JoinAccountRow(*row), line);
  bool plain = false;
  UserAccount read = DecodeAccountRow(*row, &plain);
  EXPECT_EQ((std::tuple{read.user_name, read.password, read.key_hash, read.access, read.active, plain}),
            (std::tuple{std::string("Alice"), std::string("pw"), std::string(32, 'h'), 4128u, 1, false}));
  read = DecodeAccountRow(*SplitAccountRow(std::string_view("bob,sec\0ret,,4294967295,x,y", 27)), &plain);
  EXPECT_EQ((std::tuple{read.user_name, read.password, read.access, read.active, plain}),
            (std::tuple{std::string("bob"), std::string("sec"), 4294967295u, 0, true}));
  EXPECT_FALSE(SplitAccountRow("a,b,c,d"));
  std::optional<std::string> field = korvctl::PasswordField("n3w pass");
  ASSERT_TRUE(field);
  plain = false;
  std::string lower = *field + "," + *field;
  for (std::size_t i = 65; i < lower.size(); ++i) lower[i] = static_cast<char>(std::tolower(lower[i]));
  const std::string key = EncipherAccountField("k", kAccountKeyHashSize, "");
  const std::string both = lower + "," + key + ",1,1";
  read = DecodeAccountRow(*SplitAccountRow(both), &plain);
  EXPECT_EQ((std::tuple{read.user_name, read.password, read.key_hash, plain}),
            (std::tuple{std::string("n3w pass"), std::string("n3w pass"), std::string("k"), false}));
}

TEST(WireFileFrame, FramesUnpackToTheirTextAndDamageIsNamed) {
  EXPECT_EQ(EncodeFileFrame(""), std::string(4, '\0'));
  const std::string text = std::string(5000, 'a') + "tail\n";
  const std::string frame = EncodeFileFrame(text);
  SpanReader reader(frame);
  FrameHeader header;
  std::string_view packed;
  ASSERT_TRUE(reader.GetU32(&header.plain_length) && reader.GetU32(&header.packed_length) &&
              reader.GetU32(&header.checksum) && reader.GetBytes(header.packed_length, &packed));
  EXPECT_EQ(std::pair(reader.remaining(), std::size_t{header.plain_length}), std::pair(std::size_t{0}, text.size()));
  std::string plain;
  EXPECT_EQ((std::pair{UnpackFrameText(header, packed, &plain), plain}), std::pair(FrameFault::kNone, text));
  FrameHeader longer = header;
  ++longer.plain_length;
  EXPECT_EQ((std::pair{UnpackFrameText(longer, packed, &plain), plain}), std::pair(FrameFault::kData, std::string()));
  ++header.checksum;
  EXPECT_EQ(UnpackFrameText(header, packed, &plain), FrameFault::kChecksum);
  EXPECT_EQ((std::vector{FrameLengthsFit(kFrameMaxPlain, MaxPackedLength(kFrameMaxPlain)),
                         FrameLengthsFit(kFrameMaxPlain + 1, 0), FrameLengthsFit(16, 84),
                         FrameLengthsFit(16, 85)}),
            (std::vector{true, false, true, false}));
}

TEST(WireSpanReader, FailedReadsConsumeNothing) {
  const std::string bytes = std::string("\x05\0\0\0ab\0cd", 9) + std::string("\x01\0\0", 3);
  SpanReader reader(bytes);
  std::string_view text;
  std::uint32_t value = 0;
  EXPECT_FALSE(reader.GetCountedText(4, &text));
  EXPECT_EQ(reader.remaining(), 12u);
  ASSERT_TRUE(reader.GetCountedText(5, &text));
  EXPECT_EQ(text, "ab");
  EXPECT_FALSE(reader.GetU32(&value) || reader.GetBytes(4, &text) || reader.GetCountedText(100, &text));
  EXPECT_EQ(reader.Rest(), std::string_view("\x01\0\0", 3));
  SpanReader zero(std::string_view("\0\0\0\0", 4));
  EXPECT_FALSE(zero.GetCountedText(100, &text));
  EXPECT_EQ(zero.remaining(), 4u);
}

// A history report reads back whole whatever its texts hold; a long one is
// cut at a line with "more"; korvctl's JSON keeps every text exact.
TEST(WireHistoryText, ReportsRoundTripAreCutToFitAndHostileTextsFail) {
  const HistoryPlayer p{"k", "", 1, -2, 3, {{"a\tb\\t\n\r\x01\xff", 4, 5}}, {{"10.0.0.1", 6, 7}},
                        {{8, 9, "n\t", ""}}, {{10, "kick", "auto: high-ping", "ping\n900\\"}}};
  const HistoryReport report{"", {p, HistoryPlayer{}}, false};
  std::string text = WriteHistoryReport(report);
  EXPECT_TRUE(text.starts_with("history\nplayer\tk\t\t1\t-2\t3\nname\ta\\tb\\\\t\\n")) << text;
  EXPECT_EQ(ReadHistoryReport(text), report);
  EXPECT_TRUE(korvctl::HistoryJson(report).starts_with(
            "[{\"keyhash\":\"k\",\"guid\":\"\",\"first_seen\":1,\"last_seen\":-2,\"seconds_played\":3,"
            "\"names\":[{\"name\":\"a\\tb\\\\t\\n\\r\\u0001\\u00ff\",\"first_seen\":4,\"last_seen\":5}],"))
      << korvctl::HistoryJson(report);
  const HistoryReport refused{"player history\tis off", {}, false};
  EXPECT_EQ(ReadHistoryReport(WriteHistoryReport(refused)), refused);
  // Cut to fit: whole lines, then "more"; what is left reads back.
  HistoryPlayer big = p;
  big.actions.assign(100, {1, "note", "admin", std::string(40, 'w')});
  std::string cut = WriteHistoryReport(HistoryReport{"", {big}, false}, 1000);
  EXPECT_TRUE(cut.size() <= 1000u && cut.size() > 930u && cut.ends_with("\nmore\n")) << cut.size() << cut;
  std::optional<HistoryReport> read = ReadHistoryReport(cut);
  ASSERT_TRUE(read && read->more);
  EXPECT_EQ(read->players[0].actions[0], big.actions[0]);
  for (const char* bad : {"", "history\nname\tx\t1\t2\n", "history\nplayer\tk\tg\t1\t2\n",
                          "history\nplayer\tk\tg\tx\t2\t3\n", "history\nplayer\tk\tg\t1\t2\t3 \n",
                          "history\nplayer\tk\\q\tg\t1\t2\t3\n", "history\nplayer\tk\\",
                          "history\nbogus\n", "error\tx\nmore\n", "more\n", "history\nmore\nmore\n",
                          "History\n"})
    EXPECT_FALSE(ReadHistoryReport(bad)) << bad;
  std::string keyhash, note;
  EXPECT_TRUE(ReadNoteText(WriteNoteText("k", "a b"), &keyhash, &note));
  EXPECT_EQ(keyhash + "|" + note, "k|a b");
  for (const char* bad : {"", "k", "k ", " note"}) EXPECT_FALSE(ReadNoteText(bad, &keyhash, &note));
}

using Values = std::vector<std::optional<std::string>>;

Values Look(const std::string& report, std::initializer_list<const char*> keys) {
  Values values;
  for (const char* key : keys) values.push_back(StatusValue(report, key));
  return values;
}

TEST(StatusReportTest, PlainReportsAndTheCap) {
  EXPECT_EQ(Look("\\hostname\\x\\numplayers\\12\\final\\",
                 {"numplayers", "hostname", "final", "maxplayers", "HOSTNAME"}),
            (Values{"12", "x", "", {}, {}}));
  const std::string v2000(2000, 'v');
  EXPECT_EQ((Values{StatusValue("\\long\\" + v2000 + "\\n\\1", "long"),
                    StatusValue("\\hostname\\" + v2000 + "\\a\\b\\final\\", "hostname"),
                    StatusValue("\\a\\1\\a\\2", "a"), StatusValue("", "a"), StatusValue("\\", "a")}),
            (Values{std::string(1023, 'v'), std::string(1023, 'v'), "1", {}, {}}));
  // Keys the daemon does not read stay keys of their own.
  EXPECT_EQ(Look("\\mapname\\Berlin\\mapId\\BF1942\\gametype\\ctf\\final\\",
                 {"mapname", "gametype"}),
            (Values{"Berlin", "ctf"}));
}

TEST(StatusReportTest, NamesHoldingBackslashesShiftNothing) {
  const std::string game = "\\gamename\\bfield1942\\gamever\\v1.6\\hostport\\14567\\numplayers\\3";
  const std::string tail = "\\queryid\\4.1\\final\\";
  struct Case {
    std::string report;
    std::initializer_list<const char*> keys;
    Values values;
  } cases[] = {
      {"\\hostname\\My\\Server" + game + "\\playername_0\\Evil\\x\\team_0\\1\\ping_0\\50" + tail,
       {"hostname", "hostport", "numplayers", "playername_0", "team_0", "ping_0", "queryid",
        "final"},
       {"My\\Server", "14567", "3", "Evil\\x", "1", "50", "4.1", ""}},
      {"\\hostname\\final" + game + "\\playername_0\\queryid\\team_0\\1" + tail,
       {"hostname", "playername_0", "team_0", "final", "queryid"},
       {"final", "queryid", "1", "", "4.1"}},
      {"\\hostname\\numplayers" + game + "\\playername_0\\numplayers\\team_0\\2" + tail,
       {"hostname", "numplayers", "playername_0", "team_0"},
       {"numplayers", "3", "numplayers", "2"}},
      // Server keys inside names are names; the server's own come first.
      {"\\hostname\\a\\numplayers\\99\\hostport\\1" + game +
           "\\playername_0\\b\\hostport\\2\\numplayers\\98\\team_0\\2" + tail,
       {"hostname", "numplayers", "hostport", "playername_0", "team_0"},
       {"a\\numplayers\\99\\hostport\\1", "3", "14567", "b\\hostport\\2\\numplayers\\98", "2"}},
      // A player's key inside a name: that player and that name are unknown.
      {"\\hostname\\h" + game + "\\playername_0\\c\\team_1\\1\\team_0\\2" +
           "\\playername_1\\d\\team_1\\2\\playername_2\\e\\f\\team_2\\1" + tail,
       {"playername_0", "team_0", "playername_1", "team_1", "playername_2", "team_2"},
       {{}, "2", {}, {}, "e\\f", "1"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Look(c.report, c.keys), c.values) << c.report;
  StatusReportIndex index(cases[4].report);
  EXPECT_EQ(std::tuple(index.first_ambiguous(), index.Ambiguous("team_1"), index.Ambiguous("playername_0"),
                       index.Ambiguous("playername_2")),
            std::tuple("team_1", true, true, false));
}

TEST(StatusReportTest, RandomReportsGiveValuesFromTheirOwnText) {
  const char* words[] = {"hostname", "numplayers", "playername_0", "team_0", "queryid",
                         "final",    "x",          "",             "ping_1", "hostport"};
  std::mt19937 random(28);
  for (int round = 0; round < 2000; ++round) {
    std::string report;
    for (int n = random() % 16; n > 0; --n) report += std::string("\\") + words[random() % 10];
    StatusReportIndex index(report);
    for (const char* key : words) {
      std::optional<std::string_view> value = index.Get(key);
      if (!value || value->empty()) continue;
      ASSERT_TRUE(value->data() >= report.data() &&
                  value->data() + value->size() <= report.data() + report.size())
          << report;
    }
  }
}

constexpr ConsoleLimits kLoose{.max_strings = 100, .max_string = 100, .max_bytes = 400, .empty_strings = true};

std::string U32(std::uint32_t value) {
  std::string out;
  AppendU32(out, value);
  return out;
}

// Reads `bytes` as a socket would deliver them: exactly what each field wants.
std::vector<std::string> ReadByFields(const std::string& bytes, std::size_t* used) {
  ConsolePacketReader reader(kLoose);
  std::vector<std::string> strings;
  SpanReader in(bytes);
  while (!reader.done()) {
    std::string_view field, text;
    if (!in.GetBytes(reader.wanted(), &field)) break;
    SpanReader one(field);
    if (reader.Next(one, &text) == ConsoleRead::kString) strings.emplace_back(text);
    EXPECT_EQ(one.remaining(), 0u);
  }
  *used = bytes.size() - in.remaining();
  return strings;
}

TEST(WireConsolePacket, PacketsReadBackWholeOrByFieldsAndPartsWait) {
  std::string out;
  AppendConsolePacket(out, std::vector<std::string>{"ab", ""});
  EXPECT_EQ(out, U32(2) + U32(3) + std::string("ab\0", 3) + U32(1) + std::string(1, '\0'));
  std::mt19937 random(35);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> strings(random() % 5);
    for (std::string& s : strings) s.assign(random() % 9, static_cast<char>('a' + random() % 26));
    std::string bytes;
    AppendConsolePacket(bytes, strings);
    const std::string packet = bytes;
    bytes += "next";
    std::vector<std::string> whole;
    SpanReader in(bytes);
    ASSERT_EQ(ReadConsolePacket(in, kLoose, &whole), ConsoleRead::kDone);
    std::size_t used = 0;  // read after the streamed strings: a braced list runs in order
    EXPECT_EQ((std::tuple{whole, ReadByFields(bytes, &used), in.Rest(), used}),
              (std::tuple{strings, strings, std::string_view("next"), packet.size()}));
    SpanReader part(std::string_view(packet).substr(0, random() % packet.size()));
    EXPECT_EQ(ReadConsolePacket(part, kLoose, &whole), ConsoleRead::kNeedMore);
    EXPECT_EQ(part.Rest().data(), packet.data());
  }
}

TEST(WireConsolePacket, LimitsAndInnerNuls) {
  const ConsoleLimits strict{.max_strings = 2, .max_string = 4, .max_bytes = 15, .empty_strings = false};
  using Strings = std::vector<std::string>;
  const std::tuple<std::string, ConsoleRead, Strings> cases[] = {
      {U32(3), ConsoleRead::kMalformed, {"old"}},                                 // too many strings
      {U32(2) + U32(5), ConsoleRead::kMalformed, {"old"}},                        // too long a string
      {U32(2) + U32(4) + "abc" + '\0' + U32(4), ConsoleRead::kMalformed, {"old"}},  // 16 bytes in all
      {U32(2) + U32(4) + "abc" + '\0' + U32(3), ConsoleRead::kNeedMore, {"old"}},   // 15 would wait
      {U32(1) + U32(0), ConsoleRead::kMalformed, {"old"}},                        // no empty strings
      {U32(1) + U32(4) + std::string("a\0bc", 4), ConsoleRead::kDone, {"a"}},
      {U32(0), ConsoleRead::kDone, {}},
  };
  for (const auto& [bytes, result, expected] : cases) {
    Strings strings{"old"};
    SpanReader in(bytes);
    EXPECT_EQ(ReadConsolePacket(in, strict, &strings), result) << bytes.size();
    EXPECT_EQ((std::pair{in.remaining(), strings}),
              (std::pair{result == ConsoleRead::kDone ? 0 : bytes.size(), expected}));
  }
  std::vector<std::string> strings;
  const std::string empties = U32(2) + U32(0) + U32(1) + '\0';
  SpanReader empty(empties);
  ASSERT_EQ(ReadConsolePacket(empty, kLoose, &strings), ConsoleRead::kDone);
  EXPECT_EQ(strings, (std::vector<std::string>{"", ""}));
}

// A character equal to its key byte scrambles to a NUL, which must not cut the field.
TEST(WireConsolePacket, LoginReadsBackThroughScrambledNuls) {
  const unsigned char key[kConsoleKeyLength] = {'a', 2, 3, 4, 5, 6, 7, 8, 9, 'x'};
  std::string login;
  AppendConsoleLogin(login, "admin", "0123456789x", key);
  EXPECT_EQ(login.substr(0, 6), U32(6) + '\0' + char('d' ^ 2));
  std::string user, password;
  const std::string sent = login + "rest";
  SpanReader in(sent);
  ASSERT_EQ(ReadConsoleLogin(in, 12, key, &user, &password), ConsoleRead::kDone);
  EXPECT_EQ((std::tuple{user, password, in.Rest()}),
            (std::tuple{std::string("admin"), std::string("0123456789x"), std::string_view("rest")}));
  for (const auto& [bytes, result] : {std::pair{login, ConsoleRead::kMalformed},  // 12 bytes
                                      std::pair{login.substr(0, 12), ConsoleRead::kNeedMore},
                                      std::pair{U32(0), ConsoleRead::kMalformed}}) {
    SpanReader hostile(bytes);
    EXPECT_EQ(ReadConsoleLogin(hostile, 11, key, &user, &password), result);
    EXPECT_EQ(hostile.remaining(), bytes.size());
  }
}

}  // namespace
