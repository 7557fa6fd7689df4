// Subcommands that send one command and wait for its outcome.
#include "handlers.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "core/banned_name.h"
#include "files.h"
#include "texts.h"
#include "wire/ban_text.h"

namespace korvctl {

using Clock = std::chrono::steady_clock;

namespace {

bool OneWord(Context& context, std::string* text, std::string* error, const char* what) {
  if (context.options.words.size() != 1) {
    *error = context.command + " takes exactly one word: the " + what;
    return false;
  }
  *text = context.options.words[0];
  return CheckText(*text, error);
}

bool AllWords(Context& context, std::string* text, std::string* error, const char* what) {
  *text = JoinWords(context.options.words);
  if (text->empty()) {
    *error = context.command + " needs the " + what;
    return false;
  }
  return CheckText(*text, error);
}

volatile std::sig_atomic_t g_stop = 0;
void OnStopSignal(int) { g_stop = 1; }

std::optional<Fields> FindPlayer(Context& context, int id, int* status) {
  std::string text;
  if (!Download(context, kClientBase + 0x0C, &text)) {
    *status = LinkFailed(context);
    return std::nullopt;
  }
  for (Fields& fields : ParsePlayerList(text))
    if (fields[1].second == std::to_string(id)) return fields;
  *status = Fail(context, kExitFailed, "no player with id " + std::to_string(id) +
                                           " is on the server (see korvctl players)");
  return std::nullopt;
}

}  // namespace

int RunQueued(Context& context, const Subcommand& row) {
  std::string text;
  std::string error;
  if (row.text != nullptr && !row.text(context, &text, &error))
    return Fail(context, kExitUsage, error);
  if (row.text == nullptr && !context.options.words.empty())
    return Fail(context, kExitUsage, std::string(row.name) + " takes no words; see korvctl help " +
                                         std::string(row.name));
  std::string bytes = row.text ? EncodeTextCommand(row.code, text) : EncodeCommand(row.code);
  if (!context.link.Send(bytes)) return LinkFailed(context);
  std::vector<std::uint32_t> wanted{kNotifyFailed};
  for (std::uint32_t code : row.ok)
    if (code != 0) wanted.push_back(code);
  if (row.already) wanted.push_back(row.already);
  if (row.not_ok) wanted.push_back(row.not_ok);
  Notice notice;
  if (int status = WaitFor(context, wanted, &notice); status != kExitOk) return status;
  std::string words = DescribeNotice(notice);
  std::string json = ",\"event\":" + NoticeJson(notice);
  if (notice.code == kNotifyFailed) {
    PrintFailure(context, kExitFailed, "the daemon reports: command failed (see its log)");
    return kExitFailed;
  }
  if (row.already && notice.code == row.already) {
    PrintFailure(context, kExitAlready, words);
    return kExitAlready;
  }
  if (row.not_ok && notice.code == row.not_ok) {
    PrintFailure(context, kExitFailed, words);
    return kExitFailed;
  }
  return Succeed(context, words, json);
}

bool MapText(Context& c, std::string* t, std::string* e) { return OneWord(c, t, e, "map name"); }
bool ChatText(Context& c, std::string* t, std::string* e) { return AllWords(c, t, e, "text"); }
bool ConsoleText(Context& c, std::string* t, std::string* e) {
  return AllWords(c, t, e, "console command");
}
// The daemon's own check: a name bannedwords.con cannot hold whole is
// refused here with the daemon's words.
bool NameText(Context& c, std::string* t, std::string* e) {
  *t = JoinWords(c.options.words);
  if (!BannableName(*t)) return *e = kUnbannableNameText, false;
  return CheckText(*t, e);
}
bool ScreenshotText(Context& c, std::string* t, std::string* e) {
  return AllWords(c, t, e, "player (as pb_sv_getss takes it)");
}

bool IdleMapText(Context& context, std::string* text, std::string* error) {
  if (context.options.words.size() > 1) {
    *error = "idle-map takes one map name, or none to clear the idle map";
    return false;
  }
  *text = context.options.words.empty() ? "" : context.options.words[0];
  return CheckText(*text, error);
}

bool KickText(Context& context, std::string* text, std::string* error) {
  const auto& words = context.options.words;
  int id = 0;
  if (words.size() < 2 || !ParseId(words[0], &id)) {
    *error = "kick needs the player id (a number; see korvctl players) and a reason";
    return false;
  }
  *text = std::to_string(id) + "," + JoinWords(std::span(words).subspan(1));
  return CheckText(*text, error);
}

bool UnbanText(Context& context, std::string* text, std::string* error) {
  constexpr std::array<std::string_view, 4> kNames{"name", "address", "keyhash", "guid"};
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<std::string> rest;
  if (!SplitOptions(context.options.words, kNames, &values, &rest, error)) return false;
  if (!rest.empty()) {
    *error = "unban takes only --name, --address, --keyhash and --guid";
    return false;
  }
  std::string fields[4];
  for (int i = 0; i < 4; ++i) {
    fields[i] = Lookup(values, kNames[i]);
    if (fields[i].find(',') != std::string::npos) {
      *error = "the " + std::string(kNames[i]) + " may not hold a comma";
      return false;
    }
  }
  if (fields[1].empty() && fields[2].empty() && fields[3].empty()) {
    *error = "unban needs at least one of --address, --keyhash and --guid";
    return false;
  }
  *text = fields[0] + "," + fields[1] + "," + fields[2] + "," + fields[3];
  return CheckText(*text, error);
}

bool PasswordText(Context& context, std::string* text, std::string* error) {
  std::string password;
  if (!context.options.words.empty()) {
    *error = "password takes no words: it reads the new password from KORV_NEW_PASSWORD, "
             "the terminal or a line of standard input";
    return false;
  }
  if (const char* value = std::getenv("KORV_NEW_PASSWORD"); value) {
    password = value;
  } else if (::isatty(0)) {
    termios saved{};
    ::tcgetattr(0, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(0, TCSANOW, &quiet);
    std::cerr << "New password: " << std::flush;
    std::getline(std::cin, password);
    ::tcsetattr(0, TCSANOW, &saved);
    std::cerr << "\n";
  } else {
    std::getline(std::cin, password);
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty() || password.size() > 31) {
    *error = "the new password must have 1 to 31 characters";
    return false;
  }
  std::optional<std::string> field = PasswordField(password);
  *text = *field;
  return true;
}

int RunStatus(Context& context, const Subcommand& row) {
  std::string line;
  if (!context.link.Send(EncodeCommand(row.code)) || !context.link.ReadReply(&line))
    return LinkFailed(context);
  if (line.empty())
    return Fail(context, kExitFailed, "the daemon could not build its status line");
  Fields fields = ParseStatusLine(line);
  if (context.options.json)
    return Succeed(context, "", ",\"status\":" + JsonObject(fields) + ",\"raw\":" +
                                    JsonString(line));
  std::cout << FormatFields(fields);
  return kExitOk;
}

std::string FieldValue(const Fields& fields, std::string_view label) {
  for (const auto& [key, value] : fields)
    if (key == label) return value;
  return "";
}

std::string Unhealthy(std::string_view line) {
  Fields fields = ParseStatusLine(line);
  if (line.empty()) return "the daemon could not build its status line";
  if (FieldValue(fields, "Server") != "Running") return "the game server is not running";
  if (FieldValue(fields, "Console") != "Connected") return "the game server's console is not connected";
  return "";
}

int RunHealth(Context& context, const Subcommand& row) {
  std::string line;
  if (!context.link.Send(EncodeCommand(row.code)) || !context.link.ReadReply(&line))
    return LinkFailed(context);
  std::string reason = Unhealthy(line);
  if (!reason.empty()) return Fail(context, kExitFailed, "unhealthy: " + reason);
  std::string players = FieldValue(ParseStatusLine(line), "Players");
  return Succeed(context, "healthy: server running, console connected, " + players + " players",
                 ",\"players\":" + JsonString(players));
}

int RunAddress(Context& context, const Subcommand& row) {
  std::string reply;
  if (!context.link.Send(EncodeCommand(row.code)) || !context.link.ReadReply(&reply))
    return LinkFailed(context);
  if (reply.empty())
    return Fail(context, kExitFailed,
                "the game address is not known (server stopped or status port unknown)");
  std::size_t comma = reply.find(',');
  std::string port = reply.substr(0, comma);
  std::string internet = comma == std::string::npos ? "" : reply.substr(comma + 1);
  Fields fields{{"Game port", port}, {"Internet", internet == "1" ? "yes" : "no"}};
  if (context.options.json)
    return Succeed(context, reply, ",\"address\":" + JsonObject(fields));
  std::cout << FormatFields(fields);
  return kExitOk;
}

int RunList(Context& context, const Subcommand& row) {
  std::string text;
  if (!Download(context, row.code, &text)) return LinkFailed(context);
  bool players = row.code == kClientBase + 0x0C;
  std::vector<Fields> rows = players ? ParsePlayerList(text) : ParseClientList(text);
  if (context.options.json) {
    std::string array = "[";
    for (const Fields& fields : rows) {
      if (array.size() > 1) array += ',';
      array += JsonObject(fields);
    }
    return Succeed(context, "", std::string(",\"") + (players ? "players" : "clients") +
                                    "\":" + array + "]");
  }
  if (rows.empty())
    std::cout << (players ? "no players on the server\n" : "no clients connected\n");
  else
    std::cout << FormatTable(rows);
  return kExitOk;
}

int RunPing(Context& context, const Subcommand&) {
  auto start = Clock::now();
  if (int status = Ping(context); status != kExitOk) return status;
  auto ms = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
  char text[64];
  std::snprintf(text, sizeof text, "keep-alive answered in %.1f ms", ms / 1000.0);
  return Succeed(context, text, ",\"ms\":" + std::to_string(ms / 1000.0));
}

int RunWhoami(Context& context, const Subcommand&) {
  std::string letters = AccessLetters(context.link.access());
  char mask[16];
  std::snprintf(mask, sizeof mask, "0x%08X", context.link.access());
  std::string running = context.link.server_running() ? "yes" : "no";
  Fields fields{{"User", *context.options.user}, {"Access", letters}, {"Access mask", mask},
                {"Server running", running}};
  if (context.options.json) return Succeed(context, "", ",\"whoami\":" + JsonObject(fields));
  std::cout << FormatFields(fields);
  return kExitOk;
}

int RunWatch(Context& context, const Subcommand&) {
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<std::string> rest;
  std::string error;
  constexpr std::array<std::string_view, 2> kNames{"count", "for"};
  if (!SplitOptions(context.options.words, kNames, &values, &rest, &error))
    return Fail(context, kExitUsage, error);
  long count = 0;
  std::optional<long> seconds = ParseDuration(Lookup(values, "for", "0"));
  std::optional<long> parsed_count = ParseDuration(Lookup(values, "count", "0"));
  if (!rest.empty() || !seconds || !parsed_count)
    return Fail(context, kExitUsage, "watch takes only --count N and --for DURATION");
  count = *parsed_count;
  struct sigaction action{};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  auto end = Clock::now() + std::chrono::seconds(*seconds);
  // On standard error, so that --json output stays one object per line.
  std::cerr << "korvctl: watching " << context.options.host << ":" << context.options.port
            << "; Ctrl-C ends\n" << std::flush;
  int status = kExitOk;
  for (long seen = 0; (count == 0 || seen < count) && !g_stop;) {
    int wait = -1;
    if (*seconds > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0) break;
      wait = static_cast<int>(left.count());
    }
    Notice notice;
    if (!context.link.ReadNotice(&notice, wait)) {
      const Failure& failure = context.link.failure();
      if (failure.status == kExitOk || (failure.status == kExitTimeout && *seconds > 0)) break;
      return LinkFailed(context);
    }
    ++seen;
    if (context.options.json)
      std::cout << NoticeJson(notice) << "\n" << std::flush;
    else
      std::cout << TerminalText(DescribeNotice(notice)) << "\n" << std::flush;
    if (notice.code == kNotifyDisconnect) return Fail(context, kExitConnection,
                                                      "the daemon disconnected this client");
    if (NoticeName(notice.code).empty()) status = kExitProtocol;
  }
  return status;
}

int RunBan(Context& context, const Subcommand& row) {
  constexpr std::array<std::string_view, 5> kNames{"name", "address", "keyhash", "guid",
                                                   "duration"};
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<std::string> rest;
  std::string error;
  if (!SplitOptions(context.options.words, kNames, &values, &rest, &error))
    return Fail(context, kExitUsage, error);
  std::optional<long> duration = ParseDuration(Lookup(values, "duration", "0"));
  if (!duration) return Fail(context, kExitUsage, "the duration must look like 3600, 30m, 12h or 7d");
  int id = -1;
  bool by_id = !rest.empty() && ParseId(rest[0], &id);
  if (by_id) rest.erase(rest.begin());
  std::string reason = JoinWords(rest);
  if (reason.empty()) return Fail(context, kExitUsage, "ban needs a reason");
  std::string fields[4];
  for (int i = 0; i < 4; ++i) fields[i] = Lookup(values, kNames[i]);
  if (by_id) {
    bool complete = !fields[0].empty() && (!fields[1].empty() || !fields[2].empty());
    if (!complete && MaskAdmitsCommand(context.link.access(), kClientBase + 0x0C)) {
      int status = kExitOk;
      std::optional<Fields> player = FindPlayer(context, id, &status);
      if (!player) return status;
      const int columns[4] = {0, 7, 8, 9};
      for (int i = 0; i < 4; ++i)
        if (fields[i].empty()) fields[i] = (*player)[columns[i]].second;
    }
  } else if (fields[1].empty() && fields[2].empty() && fields[3].empty()) {
    return Fail(context, kExitUsage,
                "ban needs a player id or at least one of --address, --keyhash and --guid");
  }
  for (std::size_t i = 0; i < 4; ++i)
    if (fields[i].find(kBanSeparator) != std::string::npos)
      return Fail(context, kExitUsage, "the " + std::string(kNames[i]) + " may not hold the byte 0xFF");
  if (reason.find(kBanSeparator) != std::string::npos)
    return Fail(context, kExitUsage, "the reason may not hold the byte 0xFF");
  const BanText ban{id, fields[0], fields[1], fields[2], fields[3],
                    static_cast<std::int32_t>(std::min<long>(*duration, INT32_MAX)), reason};
  std::optional<std::string> text = WriteWholeBanText(ban);
  if (!text) return Fail(context, kExitUsage, "the ban's fields are longer than 255 bytes together");
  if (!CheckText(*text, &error)) return Fail(context, kExitUsage, error);
  if (!context.link.Send(EncodeTextCommand(row.code, *text))) return LinkFailed(context);
  Notice notice;
  const std::uint32_t wanted[] = {kNotifyFailed, kNotifyPlayerBanned};
  if (int status = WaitFor(context, wanted, &notice); status != kExitOk) return status;
  if (notice.code == kNotifyFailed)
    return Fail(context, kExitFailed, "the daemon reports: command failed (see its log)");
  return Succeed(context, DescribeNotice(notice), ",\"event\":" + NoticeJson(notice));
}

int RunDisconnect(Context& context, const Subcommand& row) {
  int slot = 0;
  if (context.options.words.size() != 1 || !ParseId(context.options.words[0], &slot) || slot < 1 ||
      slot > 16)
    return Fail(context, kExitUsage, "disconnect takes the client's slot, 1 to 16 (see korvctl clients)");
  std::string before;
  if (!Download(context, kClientBase + 0x0D, &before)) return LinkFailed(context);
  auto find = [&](const std::string& text) -> std::optional<Fields> {
    for (Fields& fields : ParseClientList(text))
      if (fields[1].second == std::to_string(slot)) return fields;
    return std::nullopt;
  };
  std::optional<Fields> target = find(before);
  if (!target) return Fail(context, kExitFailed, "no client is connected in slot " + std::to_string(slot));
  if (!context.link.Send(EncodeTextCommand(row.code, std::to_string(slot)))) return LinkFailed(context);
  // The daemon tells only the client it drops; the client list read after
  // the command shows whether the slot was freed.
  std::string after;
  if (!Download(context, kClientBase + 0x0D, &after)) return LinkFailed(context);
  std::optional<Fields> still = find(after);
  if (still && (*still)[2].second == (*target)[2].second)
    return Fail(context, kExitFailed, "the client in slot " + std::to_string(slot) + " is still connected");
  return Succeed(context, "disconnected client " + (*target)[0].second + " at " + (*target)[2].second,
                 ",\"client\":" + JsonObject(*target));
}

int RunRaw(Context& context, const Subcommand&) {
  const auto& words = context.options.words;
  unsigned long n = 0;
  if (words.empty() || words.size() > 2 || words[0].empty() || words[0].size() > 10)
    return Fail(context, kExitUsage, "raw takes a command code and optionally one text");
  char* end = nullptr;
  n = std::strtoul(words[0].c_str(), &end, 0);
  std::uint32_t code = n <= 0x32 ? kClientBase + static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n);
  if (*end != '\0' || code < kClientBase || code > kClientKeepAlive)
    return Fail(context, kExitUsage, "the code must be 0 to 0x32 or kClientSettingsDownload to kClientKeepAlive");
  if (IsFileCode(code)) return Fail(context, kExitUsage, "file transfers go through get and put");
  if (!MaskAdmitsCommand(context.link.access(), code))
    return Fail(context, kExitRefused, "access refused: this command needs " + AccessNeeded(code));
  std::string bytes = words.size() == 2 ? EncodeTextCommand(code, words[1]) : EncodeCommand(code);
  if (words.size() == 2 && words[1].size() > (kCommandTextSize - 1))
    return Fail(context, kExitUsage, "the text may hold at most 255 characters");
  if (!context.link.Send(bytes)) return LinkFailed(context);
  // Whatever the command brings arrives before the keep-alive's answer.
  if (!context.link.Send(EncodeCommand(kPing))) return LinkFailed(context);
  std::string json = ",\"events\":[";
  for (bool first = true;; first = false) {
    Notice notice;
    if (!context.link.ReadNotice(&notice, context.link.timeout_ms())) return LinkFailed(context);
    if (notice.code == kNotifyKeepAlive) break;
    if (context.options.json)
      json += (first ? "" : ",") + NoticeJson(notice);
    else
      std::cout << TerminalText(DescribeNotice(notice)) << "\n";
  }
  char text[48];
  std::snprintf(text, sizeof text, "sent %08X", code);
  return Succeed(context, text, json + "]");
}

}  // namespace korvctl
