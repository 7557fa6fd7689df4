// The "!" command handler, the player-menu lookup and the menu action.
#include "moderation/ingame_commands.h"

#include <cerrno>
#include <cstdio>
#include <optional>

#include "content/map_text.h"
#include "core/clock.h"
#include "core/core_state.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "history/history.h"
#include "links/player_table.h"
#include "moderation/game_messages.h"
#include "moderation/moderation.h"
#include "remote/command_queue.h"
#include "remote/remote_state.h"
#include "remote/session.h"
#include "wire/menu_line.h"

namespace {

constexpr std::size_t kLineBuffer = 1024;
constexpr int kMenuLineLimit = 65025;
constexpr std::size_t kTargetTextMax = 32;

std::string MenuPath() { return Core().settings_dir + "/playermenu.con"; }

// Feedback of the handler: tagged, from the daemon itself, at once.
void Answer(const std::string& text) { QueueGameMessage(std::string(kTag) + " " + text, 0); }

std::vector<std::string> SplitWords(std::string_view text, std::string_view separators) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find_first_of(separators, at);
    if (end == std::string_view::npos) end = text.size();
    if (end > at) words.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

bool ContainsNoCase(std::string_view haystack, std::string_view needle) {
  std::string h(haystack), n(needle);
  LowerCase(h);
  LowerCase(n);
  return h.find(n) != std::string::npos;
}

void MenuFileFailed(const char* verb) {
  SetLastError(errno);
  if (verb[0] == 'o') {
    LogMessage(6, "Couldn't open player menu file! %s", ErrorText(LastError()).c_str());
  } else {
    LogMessage(6, "Couldn't read player menu file! %s", ErrorText(LastError()).c_str());
  }
}

// Line `number` of the menu as read with the line buffer (line break kept);
// none when the file cannot be read or is shorter.
std::optional<std::string> ReadMenuLine(int number) {
  UniqueFile file = OpenRegularStream(MenuPath());
  if (!file) return MenuFileFailed("open"), std::nullopt;
  std::string line;
  for (int n = 1; ReadLineBounded(file.get(), kLineBuffer, &line); ++n)
    if (n == number) return line;
  if (std::ferror(file.get())) MenuFileFailed("read");
  return std::nullopt;
}

// A value put into a console command stays one word: control characters
// go, and a value with blanks, quotes or backslashes is quoted.
std::string ConsoleWord(std::string_view value) {
  std::string clean;
  bool quote = value.empty();
  for (char c : value) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) continue;
    if (c == ' ' || c == '"' || c == '\\') quote = true;
    if (c == '"' || c == '\\') clean += '\\';
    clean += c;
  }
  return quote ? "\"" + clean + "\"" : clean;
}

void Announce(const MenuItem& item, const PlayerRecord& target, std::uint32_t origin) {
  if (item.text)
    QueueGameMessage(std::string(kTag) + " " + target.name + (item.ban ? " banned for " : " kicked for ") +
                         *item.text,
                     origin);
}

// A ban that could not be queued is not announced.
void RunKickOrBan(const MenuItem& item, const PlayerRecord& target, std::uint32_t origin) {
  std::string reason = item.text ? *item.text : "unknown reason";
  if (item.ban) {
    std::optional<std::string> text = BanCommandText(target, item.duration, reason);
    if (!text) return;
    Announce(item, target, origin);
    QueueCommand(kCmdBanPlayer, text->c_str(), origin, KickDelay());
  } else {
    Announce(item, target, origin);
    std::string text = std::to_string(target.id) + "," + reason + ",";
    QueueCommandFor(kCmdKickPlayer, text.c_str(), origin, KickDelay(), TargetOf(target));
  }
}

}  // namespace

int LookUpMenuItem(std::string_view command) {
  UniqueFile file = OpenRegularStream(MenuPath());
  if (!file) return MenuFileFailed("open"), 0;
  std::string line;
  for (int n = 1; ReadLineBounded(file.get(), kLineBuffer, &line); ++n) {
    std::size_t at = 0;
    for (;;) {
      std::size_t end = line.find_first_of("[]", at);
      std::string_view piece = std::string_view(line).substr(at, end == std::string::npos ? end : end - at);
      // Nothing between two brackets is no id: "!" alone must not run an item.
      if (!piece.empty() && EqualNoCase(piece, command)) return n;
      if (end == std::string::npos) break;
      at = end + 1;
    }
  }
  if (std::ferror(file.get())) MenuFileFailed("read");
  return 0;
}

std::string BuildMenuConsoleCommand(std::string_view text, std::int32_t target) {
  const PlayerRecord* player = FindPlayerById(target);
  std::string out;
  for (const std::string& word : SplitWords(text, " \r\n")) {
    std::string replaced = word;
    if (EqualNoCase(word, "%bfid")) replaced = std::to_string(target);
    else if (EqualNoCase(word, "%pbid")) replaced = std::to_string(static_cast<std::int64_t>(target) + 1);
    else if (EqualNoCase(word, "%name")) replaced = ConsoleWord(player ? player->name : "[unknown]");
    else if (EqualNoCase(word, "%keyhash")) replaced = ConsoleWord(player ? player->keyhash : "[unknown]");
    else if (EqualNoCase(word, "%guid")) replaced = ConsoleWord(player ? player->pb_guid : "[unknown]");
    if (!out.empty()) out += ' ';
    out += replaced;
  }
  return out;
}

bool RunMenuItem(std::int32_t target, int number, std::uint32_t origin) {
  if (number <= 0 || number >= kMenuLineLimit) return false;
  std::optional<std::string> line = ReadMenuLine(number);
  if (!line) return false;
  MenuItem item = ParseMenuLine(*line);
  const PlayerRecord* found = target == -1 ? nullptr : FindPlayerById(target);
  PlayerRecord player;
  if (found != nullptr) player = *found;
  player.id = target;
  if (player.name.empty()) player.name = "[unknown]";
  if (target != -1 && (item.kick || item.ban)) RunKickOrBan(item, player, origin);
  if (item.text && !item.cmd) {
    if (target == -1 || item.global) {
      QueueGameMessage(std::string(kTag) + " " + *item.text, origin);
    } else if (!item.kick && !item.ban) {
      // A message to one player is a warning.
      QueueGameMessage(std::string(kTag) + " " + player.name + " " + *item.text, origin);
      RecordAction(HistoryKind::kWarning, player, SenderUserName(origin), *item.text, ClockNow());
    }
  }
  if (item.text && item.cmd)
    QueueCommand(kCmdRawConsole, BuildMenuConsoleCommand(*item.text, target).c_str(), origin, 0);
  return item.kick || item.ban;
}

namespace {

struct ChatCommand {
  PlayerRecord speaker;
  std::string word;               // without its '!'
  std::vector<std::string> args;  // at most three
};

// The command of a message: its first word, which begins with '!', and up
// to three arguments.
std::optional<ChatCommand> ParseChatCommand(std::string_view message) {
  std::vector<std::string> words = SplitWords(message, " ");
  if (words.empty() || words[0][0] != '!') return std::nullopt;
  ChatCommand command;
  command.word = words[0].substr(1);
  for (std::size_t i = 1; i < words.size() && i <= 3; ++i) command.args.push_back(words[i]);
  return command;
}

// The command of a line and its speaker, a listed player. A line whose
// speaker is no (single) listed player runs nothing; when it looks like a
// command, a debug line says so.
std::optional<ChatCommand> ReadChatLine(const std::string& line) {
  std::optional<ChatSpeaker> speaker = FindChatSpeaker(line);
  if (!speaker) {
    std::size_t colon = line.find(": ");
    std::optional<std::string> claimed = ClaimedSpeaker(line);
    if (Core().debug && claimed && ParseChatCommand(std::string_view(line).substr(colon + 2)))
      LogMessage(6, "DEBUG: Couldn't determine player %s keyhash! Ignoring in-game admin command.",
                 claimed->c_str());
    return std::nullopt;
  }
  std::optional<ChatCommand> command = ParseChatCommand(speaker->message);
  if (command) command->speaker = speaker->player;
  return command;
}

// The account slot of the speaker; none (with a debug line) when he may
// not use in-game commands.
std::optional<int> AuthoriseSpeaker(const PlayerRecord& player) {
  const bool debug = Core().debug;
  const char* name = player.name.c_str();
  // A player without a known keyhash never matches an account.
  bool known = !player.keyhash.empty() && !EqualNoCase(player.keyhash, "[unknown]");
  for (int slot = 0; known && slot < kMaxAccounts; ++slot) {
    const UserAccount& account = Remote().accounts[static_cast<std::size_t>(slot)];
    if (account.user_name.empty()) break;
    if (!EqualNoCase(account.key_hash, player.keyhash)) continue;
    if (account.active != 0) return slot;
    if (debug)
      LogMessage(6, "DEBUG: Player %s user account is deactivated! Ignoring in-game admin command.",
                 name);
    return std::nullopt;
  }
  if (debug)
    LogMessage(6, "DEBUG: Player %s is not authorised to use in-game admin! Ignoring in-game admin command.",
               name);
  return std::nullopt;
}

struct MapCommandRow {
  const char* word;
  std::uint32_t code;
  bool takes_map;
};
constexpr MapCommandRow kMapCommands[] = {
    {"change", kCmdChangeMap, true},
    {"restart", kCmdRestartMap, false},
    {"setnext", kCmdSetNextMap, true},
    {"runnext", kCmdNextMap, false},
};

bool RunMapCommand(const MapCommandRow& row, const ChatCommand& command, int slot) {
  std::uint32_t access = Remote().accounts[static_cast<std::size_t>(slot)].access;
  std::string word = std::string("!") + row.word;
  if ((access & kAccessM) == 0) return Answer(word + " requires Maps page access"), false;
  std::string text;
  if (row.takes_map) {
    if (command.args.empty()) return Answer(word + " requires at least one parameter"), false;
    const auto& a = command.args;
    text = a[0] + " " + (a.size() > 1 ? a[1] : "GPM_CQ") + " " + (a.size() > 2 ? a[2] : "bf1942");
  }
  QueueCommand(row.code, row.takes_map ? text.c_str() : nullptr,
               kGameSenderBase + static_cast<std::uint32_t>(slot), 0);
  return true;
}

// Runs the menu item on the target the first argument names.
bool RunMenuCommand(const ChatCommand& command, int item, std::uint32_t origin) {
  if (command.args.empty()) return RunMenuItem(-1, item, origin), true;
  const std::string& arg = command.args[0];
  if (arg[0] == '.') {
    std::string number = arg.substr(1);
    std::int32_t id = ParseInt(number);
    bool digit = !number.empty() && number[0] >= '0' && number[0] <= '9';
    if (!digit || id < 0 || id > 64 || FindPlayerById(id) == nullptr)
      return Answer("Player id " + number + " is not valid"), false;
    return RunMenuItem(id, item, origin), true;
  }
  if (arg[0] == '@') {
    std::string text = CutText(std::string_view(arg).substr(1), kTargetTextMax);
    if (text.empty()) return false;
    std::vector<std::int32_t> ids;
    for (const PlayerRecord& player : Links().players)
      if (!player.name.empty() && ContainsNoCase(player.name, text)) ids.push_back(player.id);
    if (ids.empty()) return Answer("No matches for player name " + text), false;
    for (std::int32_t id : ids) RunMenuItem(id, item, origin);
    return true;
  }
  std::int32_t id = FindPlayerByName(arg);
  if (id == -1) return Answer("No matches or player name " + arg + " is ambiguous"), false;
  return RunMenuItem(id, item, origin), true;
}

}  // namespace

bool HandleInGameCommand(const std::string& line) {
  std::optional<ChatCommand> command = ReadChatLine(line);
  if (!command) return false;
  if (EqualNoCase(command->word, "nextmap")) {
    std::optional<std::string> level = CurrentLevelText(false, Remote().start_map);
    Answer("The next map is " + level.value_or("-"));
    return true;
  }
  std::optional<int> slot = AuthoriseSpeaker(command->speaker);
  if (!slot) return false;
  for (const MapCommandRow& row : kMapCommands)
    if (EqualNoCase(command->word, row.word)) return RunMapCommand(row, *command, *slot);
  int item = LookUpMenuItem(command->word);
  if (item == 0) return Answer("Command id " + command->word + " is not valid"), false;
  return RunMenuCommand(*command, item, kGameSenderBase + static_cast<std::uint32_t>(*slot));
}
