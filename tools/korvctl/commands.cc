// The subcommand table and its handlers: each connects, checks the
// account's access, sends its command and waits for the outcome.
#include "commands.h"

#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <span>

#include "core/helpers.h"
#include "link.h"
#include "texts.h"

namespace korvctl {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kFailedNotice = kNoticeBase + 0x01;
constexpr std::uint32_t kDisconnectNotice = kNoticeBase + 0x03;
constexpr std::uint32_t kPing = kCommandBase + 0x32;
constexpr std::uint32_t kPong = kNoticeBase + 0x2E;

struct Context {
  Options& options;
  Link link;
  std::string command;
};

struct Subcommand;
using Handler = int (*)(Context&, const Subcommand&);
// Builds the command text from the words; false with a usage message.
using TextBuilder = bool (*)(Context&, std::string* text, std::string* error);

struct Subcommand {
  std::string_view name;
  std::string_view synopsis;
  std::string_view summary;
  std::string_view description;
  std::uint32_t code;  // the command the access check is made for; 0 none
  Handler handler;
  TextBuilder text = nullptr;  // queued commands with a text
  std::array<std::uint32_t, 2> ok{};  // notifications of success (n)
  std::uint32_t already = 0;          // "already in that state" (n)
  std::uint32_t not_ok = 0;           // a second failure notification (n)
};

// ---- output -------------------------------------------------------------

void PrintFailure(Context& context, int status, const std::string& message) {
  if (context.options.json)
    std::cout << "{\"ok\":false,\"command\":" << JsonString(context.command)
              << ",\"exit\":" << status << ",\"error\":" << JsonString(message) << "}\n";
  else
    std::cerr << "korvctl: " << message << "\n";
}

int Fail(Context& context, int status, const std::string& message) {
  PrintFailure(context, status, message);
  return status;
}

int LinkFailed(Context& context) {
  const Failure& failure = context.link.failure();
  return Fail(context, failure.status == kExitOk ? kExitFailed : failure.status, failure.message);
}

// Success: a line of words, or a JSON object with extra members.
int Succeed(Context& context, const std::string& message, const std::string& json_members = "") {
  if (context.options.json)
    std::cout << "{\"ok\":true,\"command\":" << JsonString(context.command)
              << ",\"message\":" << JsonString(message) << json_members << "}\n";
  else if (!message.empty())
    std::cout << message << "\n";
  return kExitOk;
}

std::string NoticeJson(const Notice& notice) {
  char code[16];
  std::snprintf(code, sizeof code, "%08X", notice.code);
  return std::string("{\"code\":\"") + code + "\",\"event\":" +
         JsonString(NoticeKey(notice.code)) + ",\"name\":" +
         JsonString(std::string(NoticeName(notice.code))) + ",\"data\":" +
         (notice.has_data ? JsonString(notice.text) : "null") + "}";
}

// ---- words --------------------------------------------------------------

std::string JoinWords(std::span<const std::string> words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

bool ParseId(const std::string& word, int* id) {
  if (word.empty() || word.size() > 9) return false;
  std::size_t start = word[0] == '-' ? 1 : 0;
  if (start == word.size()) return false;
  for (std::size_t i = start; i < word.size(); ++i)
    if (word[i] < '0' || word[i] > '9') return false;
  *id = ParseInt(word);
  return true;
}

bool CheckText(const std::string& text, std::string* error) {
  if (text.size() > kMaxCommandText) {
    *error = "the text is " + std::to_string(text.size()) +
             " characters long; the daemon takes at most 255";
    return false;
  }
  if (text.find('\0') != std::string::npos) {
    *error = "the text may not hold a zero byte";
    return false;
  }
  return true;
}

// The words that are not --name VALUE options; options go into `values`.
bool SplitOptions(const std::vector<std::string>& words,
                  std::span<const std::string_view> names,
                  std::vector<std::pair<std::string, std::string>>* values,
                  std::vector<std::string>* rest, std::string* error) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    bool matched = false;
    for (std::string_view name : names) {
      std::string option = "--" + std::string(name);
      if (word == option || word.rfind(option + "=", 0) == 0) {
        matched = true;
        if (word.size() > option.size()) {
          values->emplace_back(name, word.substr(option.size() + 1));
        } else if (i + 1 < words.size()) {
          values->emplace_back(name, words[++i]);
        } else {
          *error = option + " needs a value";
          return false;
        }
      }
    }
    if (matched) continue;
    if (word.size() > 2 && word.rfind("--", 0) == 0) {
      *error = "unknown option " + word;
      return false;
    }
    rest->push_back(word);
  }
  return true;
}

std::string Lookup(const std::vector<std::pair<std::string, std::string>>& values,
                   std::string_view name, const std::string& fallback = "") {
  for (const auto& [key, value] : values)
    if (key == name) return value;
  return fallback;
}

// ---- exchanges ------------------------------------------------------------

// Waits for a notification in `wanted`; other clients' news is passed over.
// kExitOk when one came, else the failure's status (already reported).
int WaitFor(Context& context, std::span<const std::uint32_t> wanted, Notice* notice) {
  auto deadline = Clock::now() + std::chrono::milliseconds(context.link.timeout_ms());
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !context.link.ReadNotice(notice, static_cast<int>(left.count()))) {
      if (left.count() > 0 && context.link.failure().status != kExitTimeout)
        return LinkFailed(context);
      return Fail(context, kExitTimeout,
                  "no outcome from the daemon within " +
                      std::to_string(context.link.timeout_ms() / 1000) +
                      " seconds (the command may still be carried out)");
    }
    for (std::uint32_t code : wanted)
      if (notice->code == code) return kExitOk;
    if (notice->code == kDisconnectNotice)
      return Fail(context, kExitConnection, "the daemon disconnected this client");
    if (NoticeName(notice->code).empty())
      return Fail(context, kExitProtocol,
                  DescribeNotice(*notice) + ": korvctl does not know this notification");
  }
}

bool Download(Context& context, std::uint32_t code, std::string* plain) {
  return context.link.Send(EncodeCommand(code)) && context.link.ReadFrame(plain);
}

// kExitOk when the keep-alive was answered, else the reported failure.
int Ping(Context& context) {
  Notice notice;
  const std::uint32_t wanted[] = {kPong};
  if (!context.link.Send(EncodeCommand(kPing))) return LinkFailed(context);
  return WaitFor(context, wanted, &notice);
}

// ---- queued commands --------------------------------------------------------

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
  std::vector<std::uint32_t> wanted{kFailedNotice};
  for (std::uint32_t n : row.ok)
    if (n != 0) wanted.push_back(kNoticeBase + n);
  if (row.already) wanted.push_back(kNoticeBase + row.already);
  if (row.not_ok) wanted.push_back(kNoticeBase + row.not_ok);
  Notice notice;
  if (int status = WaitFor(context, wanted, &notice); status != kExitOk) return status;
  std::string words = DescribeNotice(notice);
  std::string json = ",\"event\":" + NoticeJson(notice);
  if (notice.code == kFailedNotice) {
    PrintFailure(context, kExitFailed, "the daemon reports: command failed (see its log)");
    return kExitFailed;
  }
  if (row.already && notice.code == kNoticeBase + row.already) {
    PrintFailure(context, kExitAlready, words);
    return kExitAlready;
  }
  if (row.not_ok && notice.code == kNoticeBase + row.not_ok) {
    PrintFailure(context, kExitFailed, words);
    return kExitFailed;
  }
  return Succeed(context, words, json);
}

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

bool MapText(Context& c, std::string* t, std::string* e) { return OneWord(c, t, e, "map name"); }
bool ChatText(Context& c, std::string* t, std::string* e) { return AllWords(c, t, e, "text"); }
bool ConsoleText(Context& c, std::string* t, std::string* e) {
  return AllWords(c, t, e, "console command");
}
bool NameText(Context& c, std::string* t, std::string* e) {
  return AllWords(c, t, e, "player name");
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

// ---- served at once -----------------------------------------------------------

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
  bool players = row.code == kCommandBase + 0x0C;
  std::vector<Fields> rows = players ? ParsePlayerList(text) : ParseClientList(text);
  if (context.options.json) {
    std::string array = "[";
    for (const Fields& fields : rows) array += (array.size() > 1 ? "," : "") + JsonObject(fields);
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

volatile std::sig_atomic_t g_stop = 0;
void OnStopSignal(int) { g_stop = 1; }

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
      std::cout << DescribeNotice(notice) << "\n" << std::flush;
    if (notice.code == kDisconnectNotice) return Fail(context, kExitConnection,
                                                      "the daemon disconnected this client");
    if (NoticeName(notice.code).empty()) status = kExitProtocol;
  }
  return status;
}

// ---- files --------------------------------------------------------------------

struct FileRow {
  std::string_view name;
  std::uint32_t down;  // n; 0xFF when there is no download
  std::uint32_t up;    // n; 0xFF when there is no upload
  std::string_view file;
  bool verify;  // the daemon keeps an upload as sent, so a download must match
  std::string_view what;
};

constexpr std::uint32_t kNone = 0xFF;
constexpr std::array kFiles{
    FileRow{"settings", 0x00, 0x01, "korvane.con", false, "the daemon's settings"},
    FileRow{"pb-config", 0x02, 0x03, "pbsv.cfg", true, "the PunkBuster configuration"},
    FileRow{"mods", 0x08, kNone, "mods.con", false, "the installed mods"},
    FileRow{"maps", 0x09, kNone, "maps.con", false, "the maps of each mod"},
    FileRow{"rotation", 0x0A, 0x0B, "servermaplist.con", true, "the map rotation"},
    FileRow{"players", 0x0C, kNone, "playerlist.con", false, "the player list"},
    FileRow{"clients", 0x0D, kNone, "clientlist.con", false, "the connected clients"},
    FileRow{"player-menu", 0x0E, kNone, "playermenu.con", false, "the in-game player menu"},
    FileRow{"bans", 0x0F, 0x10, "serverbanlist.con", true, "the daemon's ban list"},
    FileRow{"users", 0x11, 0x12, "useraccess.con", false, "the user accounts you may see"},
    FileRow{"schedule", 0x13, 0x14, "serverschedule.con", true, "the event schedule"},
    FileRow{"announcements", 0x16, 0x17, "announcements.con", true, "the announcements"},
    FileRow{"banned-words", 0x18, 0x19, "bannedwords.con", true, "the banned words"},
    FileRow{"log", 0x30, kNone, "korvd.log", false, "the daemon's log (its last 32768 bytes)"},
};

const FileRow* FindFile(const std::string& name) {
  for (const FileRow& row : kFiles)
    if (row.name == name || row.file == name) return &row;
  return nullptr;
}

std::string FileNames(bool upload) {
  std::string names;
  for (const FileRow& row : kFiles)
    if ((upload ? row.up : row.down) != kNone) names += (names.empty() ? "" : ", ") + std::string(row.name);
  return names;
}

// FILE [-o PATH] or FILE [-i PATH]; false with a message.
bool FileWords(Context& context, bool upload, const FileRow** row, std::string* path,
               std::string* error) {
  const auto& words = context.options.words;
  std::string flag = upload ? "-i" : "-o";
  if (words.empty()) {
    *error = context.command + " needs the file: one of " + FileNames(upload);
    return false;
  }
  *row = FindFile(words[0]);
  if (*row == nullptr || ((upload ? (*row)->up : (*row)->down) == kNone)) {
    *error = "korvctl cannot " + context.command + " '" + words[0] + "'; files: " +
             FileNames(upload);
    return false;
  }
  *path = std::string((*row)->file);
  if (words.size() == 3 && words[1] == flag) {
    *path = words[2];
  } else if (words.size() != 1) {
    *error = context.command + " takes the file and optionally " + flag + " PATH";
    return false;
  }
  return true;
}

int RunGet(Context& context, const Subcommand&) {
  const FileRow* row = nullptr;
  std::string path;
  std::string error;
  if (!FileWords(context, false, &row, &path, &error)) return Fail(context, kExitUsage, error);
  std::uint32_t code = kCommandBase + row->down;
  if (!HasCommandAccess(context.link.access(), code))
    return Fail(context, kExitRefused, "access refused: downloading " + std::string(row->name) +
                                           " needs " + AccessNeeded(code));
  std::string plain;
  if (!Download(context, code, &plain)) return LinkFailed(context);
  if (path == "-") {
    std::cout << plain << std::flush;
    return kExitOk;
  }
  // Written beside the target and renamed over it, so a failed download
  // never leaves a partial file.
  if (!ReplaceFileContents(path, plain))
    return Fail(context, kExitFailed, "cannot write " + path + ": " + ErrorText(LastError()));
  return Succeed(context, "saved " + std::string(row->name) + " (" + std::to_string(plain.size()) +
                              " bytes) to " + path,
                 ",\"file\":" + JsonString(path) + ",\"bytes\":" + std::to_string(plain.size()));
}

int RunPut(Context& context, const Subcommand&) {
  const FileRow* row = nullptr;
  std::string path;
  std::string error;
  if (!FileWords(context, true, &row, &path, &error)) return Fail(context, kExitUsage, error);
  std::uint32_t code = kCommandBase + row->up;
  if (!HasCommandAccess(context.link.access(), code))
    return Fail(context, kExitRefused, "access refused: uploading " + std::string(row->name) +
                                           " needs " + AccessNeeded(code));
  std::optional<std::string> plain;
  if (path == "-") {
    plain = std::string(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    plain = ReadWholeFile(path, kMaxFramePlain);
  }
  if (!plain) return Fail(context, kExitUsage, "cannot read " + path + ": " + ErrorText(LastError()));
  std::string frame = EncodeFileFrame(*plain);
  if (frame.size() == 4 && !plain->empty())
    return Fail(context, kExitFailed, "cannot compress " + path);
  if (!context.link.Send(EncodeCommand(code) + frame)) return LinkFailed(context);
  // The daemon answers uploads with nothing; a keep-alive answered after it
  // shows that the whole frame was taken.
  if (int status = Ping(context); status != kExitOk) return status;
  if (row->verify && HasCommandAccess(context.link.access(), kCommandBase + row->down)) {
    std::string kept;
    if (!Download(context, kCommandBase + row->down, &kept)) return LinkFailed(context);
    if (kept != *plain)
      return Fail(context, kExitFailed, "the daemon did not keep the uploaded " +
                                            std::string(row->name) + " (see its log)");
  }
  std::string message = "uploaded " + std::string(row->name) + " (" +
                        std::to_string(plain->size()) + " bytes)";
  if (row->name == "rotation" && plain->empty()) message += "; WARNING: the rotation is empty";
  return Succeed(context, message, ",\"bytes\":" + std::to_string(plain->size()));
}

// ---- bans and clients --------------------------------------------------------------

std::optional<Fields> FindPlayer(Context& context, int id, int* status) {
  std::string text;
  if (!Download(context, kCommandBase + 0x0C, &text)) {
    *status = LinkFailed(context);
    return std::nullopt;
  }
  for (Fields& fields : ParsePlayerList(text))
    if (fields[1].second == std::to_string(id)) return fields;
  *status = Fail(context, kExitFailed, "no player with id " + std::to_string(id) +
                                           " is on the server (see korvctl players)");
  return std::nullopt;
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
    if (!complete && HasCommandAccess(context.link.access(), kCommandBase + 0x0C)) {
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
  std::string text = std::to_string(id);
  text += '\xFF';
  for (const std::string& field : fields) text += field + '\xFF';
  text += std::to_string(*duration) + '\xFF' + reason + '\xFF';
  for (std::size_t i = 0; i < 4; ++i)
    if (fields[i].find('\xFF') != std::string::npos)
      return Fail(context, kExitUsage, "the " + std::string(kNames[i]) + " may not hold the byte 0xFF");
  if (reason.find('\xFF') != std::string::npos || !CheckText(text, &error))
    return Fail(context, kExitUsage, error.empty() ? "the reason may not hold the byte 0xFF" : error);
  if (!context.link.Send(EncodeTextCommand(row.code, text))) return LinkFailed(context);
  Notice notice;
  const std::uint32_t wanted[] = {kFailedNotice, kNoticeBase + 0x21};
  if (int status = WaitFor(context, wanted, &notice); status != kExitOk) return status;
  if (notice.code == kFailedNotice)
    return Fail(context, kExitFailed, "the daemon reports: command failed (see its log)");
  return Succeed(context, DescribeNotice(notice), ",\"event\":" + NoticeJson(notice));
}

int RunDisconnect(Context& context, const Subcommand& row) {
  int slot = 0;
  if (context.options.words.size() != 1 || !ParseId(context.options.words[0], &slot) || slot < 1 ||
      slot > 16)
    return Fail(context, kExitUsage, "disconnect takes the client's slot, 1 to 16 (see korvctl clients)");
  std::string before;
  if (!Download(context, kCommandBase + 0x0D, &before)) return LinkFailed(context);
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
  if (!Download(context, kCommandBase + 0x0D, &after)) return LinkFailed(context);
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
  std::uint32_t code = n <= 0x32 ? kCommandBase + static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n);
  if (*end != '\0' || code < kCommandBase || code > kLastCommand)
    return Fail(context, kExitUsage, "the code must be 0 to 0x32 or 0xBABE0000 to 0xBABE0032");
  for (const FileRow& row : kFiles)
    if (code == kCommandBase + row.down || code == kCommandBase + row.up)
      return Fail(context, kExitUsage, "file transfers go through get and put");
  if (!HasCommandAccess(context.link.access(), code))
    return Fail(context, kExitRefused, "access refused: this command needs " + AccessNeeded(code));
  std::string bytes = words.size() == 2 ? EncodeTextCommand(code, words[1]) : EncodeCommand(code);
  if (words.size() == 2 && words[1].size() > kMaxCommandText)
    return Fail(context, kExitUsage, "the text may hold at most 255 characters");
  if (!context.link.Send(bytes)) return LinkFailed(context);
  // Whatever the command brings arrives before the keep-alive's answer.
  if (!context.link.Send(EncodeCommand(kPing))) return LinkFailed(context);
  std::string json = ",\"events\":[";
  for (bool first = true;; first = false) {
    Notice notice;
    if (!context.link.ReadNotice(&notice, context.link.timeout_ms())) return LinkFailed(context);
    if (notice.code == kPong) break;
    if (context.options.json)
      json += (first ? "" : ",") + NoticeJson(notice);
    else
      std::cout << DescribeNotice(notice) << "\n";
  }
  char text[48];
  std::snprintf(text, sizeof text, "sent %08X", code);
  return Succeed(context, text, json + "]");
}

// ---- the table -----------------------------------------------------------------

constexpr std::uint32_t C(std::uint32_t n) { return kCommandBase + n; }

const std::array kSubcommands{
    Subcommand{"status", "status", "show the server's status line as labelled fields",
               "Asks the daemon for its one-line status text and shows it field by field:\n"
               "server name, address, players, maps, state, last crash, console link, game\n"
               "mode and version, password, team-kill mode, content check, team scores and\n"
               "counts, round time, tickets and PunkBuster. Missing values read ??.\n"
               "--json adds the raw line.",
               C(0x15), RunStatus},
    Subcommand{"address", "address", "show the game port and whether the server is on the Internet",
               "Asks for the game address: the hostport value of the server's status reply\n"
               "and the game.serverInternet flag. Fails while the server is stopped.",
               C(0x1D), RunAddress},
    Subcommand{"players", "players", "list the players on the server as a table",
               "Downloads the player list (the daemon refreshes it first) and prints name, id,\n"
               "team, score, kills, deaths, ping, address, key hash and PunkBuster GUID.",
               C(0x0C), RunList},
    Subcommand{"clients", "clients", "list the connected remote clients",
               "Downloads the client list: user, slot, address, state and the time of the\n"
               "client's last command (* when it has sent none).",
               C(0x0D), RunList},
    Subcommand{"whoami", "whoami", "show your access letters and whether the server runs",
               "Logs in and shows the access mask the daemon granted, as letters S G F I A T M\n"
               "P B U H C (upper case when granted) and the extra rights, and whether a game\n"
               "server is being watched.",
               0, RunWhoami},
    Subcommand{"ping", "ping", "send a keep-alive and time its answer",
               "Sends the keep-alive command and waits for its answer.", C(0x32), RunPing},
    Subcommand{"kick", "kick ID REASON...", "kick a player",
               "Kicks the player with the game id ID (see korvctl players) for REASON.",
               C(0x23), RunQueued, KickText, {0x20, 0}},
    Subcommand{"ban", "ban ID REASON... [--duration D]\n    korvctl ban --address A|--keyhash K|--guid G [--name N] REASON... [--duration D]",
               "ban a player, on the server or by address, key hash or GUID",
               "Bans the player with id ID, filling name, address, key hash and GUID from\n"
               "the player list (when you may read it) unless given, or bans the identities\n"
               "given as options (player id -1). D is seconds or a number with s, m, h, d or\n"
               "w; 0 or none bans for ever.",
               C(0x25), RunBan},
    Subcommand{"unban", "unban [--name N] [--address A] [--keyhash K] [--guid G]",
               "lift a ban by address, key hash or GUID",
               "Removes the bans on the given identities from every ban list. The name only\n"
               "appears in the messages.",
               C(0x26), RunQueued, UnbanText, {0x22, 0}},
    Subcommand{"ban-name", "ban-name NAME", "ban a player name",
               "Adds NAME to the banned words as a banned player name.", C(0x28), RunQueued,
               NameText, {0x2C, 0}},
    Subcommand{"clear-bans", "clear-bans", "clear every ban list",
               "Clears the daemon's ban list and the game's (and PunkBuster's) ban lists.",
               C(0x27), RunQueued, nullptr, {0x23, 0}},
    Subcommand{"verify-bans", "verify-bans", "check that the ban lists agree",
               "Asks the daemon whether its ban list and the game's agree. Exit status 1 when\n"
               "they do not.",
               C(0x29), RunQueued, nullptr, {0x15, 0}, 0, 0x16},
    Subcommand{"push-bans", "push-bans", "copy the daemon's ban list into the game's ban lists",
               "Rewrites the game's and PunkBuster's ban lists from the daemon's list; the\n"
               "game server reads them at its next start.",
               C(0x2A), RunQueued, nullptr, {0x15, 0}},
    Subcommand{"pull-bans", "pull-bans", "rebuild the daemon's ban list from the game's",
               "Rebuilds the daemon's ban list from the game's ban lists; names, admins, times\n"
               "and reasons are lost.",
               C(0x2B), RunQueued, nullptr, {0x15, 0}},
    Subcommand{"say", "say TEXT...", "say something to all players in the game chat",
               "Sends TEXT (at most 255 characters) as game chat.", C(0x2C), RunQueued, ChatText,
               {0x24, 0}},
    Subcommand{"message", "message TEXT...", "send a server message to all players",
               "Sends TEXT (at most 255 characters) as a server message.", C(0x2D), RunQueued,
               ChatText, {0x25, 0}},
    Subcommand{"console", "console COMMAND...", "send a raw console command to the game server",
               "Sends COMMAND as it is to the game server's console.", C(0x2E), RunQueued,
               ConsoleText, {0x02, 0}},
    Subcommand{"map", "map MAP", "change the map now",
               "Changes the current map to MAP.", C(0x1E), RunQueued, MapText, {0x1B, 0}},
    Subcommand{"next-map", "next-map", "move on to the next map of the rotation",
               "Runs the next map of the rotation.", C(0x1F), RunQueued, nullptr, {0x1C, 0}},
    Subcommand{"set-next-map", "set-next-map MAP", "choose the map that comes next",
               "Sets MAP as the next map; with the server stopped, the map the next start\n"
               "begins with.",
               C(0x20), RunQueued, MapText, {0x1D, 0}},
    Subcommand{"idle-map", "idle-map [MAP]", "set or clear the idle map",
               "Sets the map an empty server switches to; without MAP clears it.", C(0x21),
               RunQueued, IdleMapText, {0x1E, 0}},
    Subcommand{"restart-map", "restart-map", "restart the current map",
               "Restarts the current map.", C(0x22), RunQueued, nullptr, {0x1F, 0}},
    Subcommand{"pause", "pause", "pause or unpause the game",
               "Toggles the game's pause and reports which way it went.", C(0x1C), RunQueued,
               nullptr, {0x19, 0x1A}},
    Subcommand{"start", "start", "start the game server",
               "Starts the game server. Exit status 7 when it is already running.", C(0x1A),
               RunQueued, nullptr, {0x04, 0}, 0x09},
    Subcommand{"stop", "stop", "stop the game server",
               "Stops the game server. Exit status 7 when it is already stopped.", C(0x1B),
               RunQueued, nullptr, {0x05, 0}, 0x0A},
    Subcommand{"password", "password", "change your own password",
               "Changes the password of the account you log in with. The new password\n"
               "(1 to 31 characters) comes from KORV_NEW_PASSWORD, or is asked for on the\n"
               "terminal, or is the first line of standard input. It travels enciphered.",
               C(0x2F), RunQueued, PasswordText, {0x14, 0}},
    Subcommand{"screenshot", "screenshot PLAYER", "ask PunkBuster for a player's screenshot",
               "Sends pb_sv_getss with PLAYER as PunkBuster takes it.", C(0x31), RunQueued,
               ScreenshotText, {0x2D, 0}},
    Subcommand{"pb-save", "pb-save", "save the PunkBuster settings to pbsv.cfg",
               "Has PunkBuster write its settings to pbsv.cfg.", C(0x04), RunQueued, nullptr,
               {0x17, 0}},
    Subcommand{"pb-load", "pb-load", "load the PunkBuster settings from pbsv.cfg",
               "Has PunkBuster load its settings from pbsv.cfg.", C(0x05), RunQueued, nullptr,
               {0x18, 0}},
    Subcommand{"disconnect", "disconnect SLOT", "disconnect another remote client",
               "Disconnects the client in SLOT (see korvctl clients) and checks that it is\n"
               "gone.",
               C(0x24), RunDisconnect},
    Subcommand{"get", "get FILE [-o PATH|-]", "download one of the daemon's files",
               "Downloads FILE and writes it to PATH (default: the file's own name in the\n"
               "current directory; - for standard output). The file is written beside the\n"
               "target and renamed over it, so a failed download never leaves a partial file.\n"
               "FILE is one of: settings (korvane.con), pb-config (pbsv.cfg), mods, maps,\n"
               "rotation (servermaplist.con), players, clients, player-menu, bans\n"
               "(serverbanlist.con), users (useraccess.con), schedule, announcements,\n"
               "banned-words, log.",
               0, RunGet},
    Subcommand{"put", "put FILE [-i PATH|-]", "upload one of the daemon's files",
               "Uploads PATH (default: the file's own name; - for standard input) as FILE,\n"
               "one of: settings, pb-config, rotation, bans, users, schedule, announcements,\n"
               "banned-words. korvctl then sends a keep-alive to see the upload taken and,\n"
               "for files the daemon keeps as sent, downloads it again and compares.",
               0, RunPut},
    Subcommand{"watch", "watch [--count N] [--for DURATION]", "print notifications as they arrive",
               "Stays connected and prints every notification in words (server started,\n"
               "player kicked: Bob, console: a chat line, ...), one per line, until Ctrl-C,\n"
               "N notifications or DURATION. With --json each is one JSON object per line.",
               0, RunWatch},
    Subcommand{"raw", "raw CODE [TEXT]", "send any command code and show what comes back",
               "Sends command CODE (0 to 0x32, or 0xBABE0000 + n) with TEXT when given, and\n"
               "prints the notifications that arrive before the answer to a keep-alive sent\n"
               "after it. Meant for the codes that have no subcommand (6 and 7).",
               0, RunRaw},
};

const Subcommand* FindSubcommand(const std::string& name) {
  for (const Subcommand& row : kSubcommands)
    if (row.name == name) return &row;
  return nullptr;
}

constexpr std::string_view kGlobalOptions =
    "    -H, --host HOST       daemon address (default 127.0.0.1)\n"
    "    -p, --port PORT       daemon port (default 14667)\n"
    "    -u, --user USER       user name (or KORV_USER)\n"
    "    --password PASSWORD   password (better: KORV_PASSWORD or a credentials file)\n"
    "    --credentials FILE    credentials file (default KORV_CREDENTIALS or\n"
    "                          ~/.config/korvctl/credentials; must be mode 600)\n"
    "    -t, --timeout SECONDS wait at most this long for any answer (default 10)\n"
    "    --json                machine-readable output\n"
    "    -h, --help            this help, or the page of a subcommand\n";

constexpr std::string_view kExitTable =
    "    0   success\n"
    "    1   the command failed (the daemon said so, or the result was not as asked)\n"
    "    2   usage error\n"
    "    3   no connection, or the connection was lost\n"
    "    4   timeout: no answer in time\n"
    "    5   protocol error: a corrupt frame, an unknown notification\n"
    "    6   refused: the account lacks the access for the command\n"
    "    7   nothing to do: the server is already running (start) or stopped (stop)\n"
    "    11  login: no account has this user name\n"
    "    12  login: wrong password\n"
    "    13  login: the account is disabled\n"
    "    14  login: the account has no access rights\n"
    "    15  login: the daemon has no usable account\n"
    "    16  login: the account is already connected\n"
    "    17  login: the daemon serves 16 clients already\n"
    "    18  login: the daemon speaks another protocol version\n"
    "    19  login: the daemon's answer is not a login answer\n";

std::string Outcome(const Subcommand& row) {
  if (row.handler != RunQueued) return "";
  std::string text = "    Waits for";
  for (std::uint32_t n : row.ok)
    if (n != 0) text += (text.size() > 13 ? " or \"" : " \"") + std::string(NoticeName(kNoticeBase + n)) + "\"";
  text += " (exit 0) or \"command failed\" (exit 1)";
  if (row.already) text += ", \"" + std::string(NoticeName(kNoticeBase + row.already)) + "\" (exit 7)";
  if (row.not_ok) text += ", \"" + std::string(NoticeName(kNoticeBase + row.not_ok)) + "\" (exit 1)";
  return "\nOUTCOME\n" + text + ".\n";
}

std::string Indent(std::string_view text) {
  std::string out = "    ";
  for (char c : text) {
    out += c;
    if (c == '\n') out += "    ";
  }
  return out + "\n";
}

}  // namespace

std::string GeneralHelp() {
  std::string text =
      "NAME\n    korvctl - command-line remote client of the korvd daemon\n\n"
      "SYNOPSIS\n    korvctl [OPTIONS] SUBCOMMAND [ARGUMENTS]\n    korvctl help SUBCOMMAND\n\n"
      "DESCRIPTION\n"
      "    Logs in to korvd over its remote-administration protocol, runs one\n"
      "    subcommand, reports its outcome and exits with a status that says how it\n"
      "    went. The user name and password come from the options, the environment\n"
      "    (KORV_USER, KORV_PASSWORD) or an owner-only credentials file of key = value\n"
      "    lines (user, password, host, port). The password is never printed.\n\n"
      "OPTIONS\n" + std::string(kGlobalOptions) + "\nSUBCOMMANDS\n";
  for (const Subcommand& row : kSubcommands) {
    std::string name(row.name);
    text += "    " + name + std::string(name.size() < 14 ? 14 - name.size() : 1, ' ') +
            std::string(row.summary) + "\n";
  }
  text += "\nEXIT STATUS\n" + std::string(kExitTable);
  return text;
}

std::optional<std::string> SubcommandHelp(const std::string& name) {
  const Subcommand* row = FindSubcommand(name);
  if (row == nullptr) return std::nullopt;
  std::string text = "NAME\n    korvctl " + std::string(row->name) + " - " +
                     std::string(row->summary) + "\n\nSYNOPSIS\n    korvctl [OPTIONS] " +
                     std::string(row->synopsis) + "\n\nDESCRIPTION\n" + Indent(row->description);
  if (row->code != 0) text += "\nACCESS\n    Needs " + AccessNeeded(row->code) + ".\n";
  text += Outcome(*row);
  text += "\nOPTIONS\n" + std::string(kGlobalOptions) + "\nEXIT STATUS\n" + std::string(kExitTable);
  return text;
}

int RunKorvctl(Options& options) {
  Context context{options, {}, options.subcommand};
  if (options.subcommand == "help" || options.subcommand.empty() ||
      (options.help && options.subcommand.empty())) {
    std::string topic = options.words.empty() ? "" : options.words[0];
    if (topic.empty()) {
      std::cout << GeneralHelp();
      return options.subcommand.empty() && !options.help ? kExitUsage : kExitOk;
    }
    std::optional<std::string> page = SubcommandHelp(topic);
    if (!page) return Fail(context, kExitUsage, "no subcommand " + topic);
    std::cout << *page;
    return kExitOk;
  }
  const Subcommand* row = FindSubcommand(options.subcommand);
  if (row == nullptr)
    return Fail(context, kExitUsage,
                "unknown subcommand '" + options.subcommand + "'; see korvctl --help");
  if (options.help) {
    std::cout << *SubcommandHelp(options.subcommand);
    return kExitOk;
  }
  std::string error;
  if (!ResolveCredentials(&options, &error)) return Fail(context, kExitUsage, error);
  context.link.set_timeout_ms(options.timeout_ms);
  if (!context.link.Connect(options.host, options.port) ||
      !context.link.Login(*options.user, *options.password))
    return LinkFailed(context);
  if (row->code != 0 && !HasCommandAccess(context.link.access(), row->code))
    return Fail(context, kExitRefused, "access refused: user " + *options.user + " lacks " +
                                           AccessNeeded(row->code) + ", which " +
                                           std::string(row->name) + " needs");
  return row->handler(context, *row);
}

}  // namespace korvctl
