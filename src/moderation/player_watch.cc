// The player watch, the kick procedure of its three causes, the
// minus-score ban and AutoBan.
#include "moderation/player_watch.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>

#include "core/core_state.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "history/history.h"
#include "links/console.h"
#include "links/player_table.h"
#include "moderation/banned_words.h"
#include "moderation/game_messages.h"
#include "moderation/moderation_state.h"
#include "remote/command_queue.h"
#include "remote/session.h"
#include "settings/settings_table.h"

namespace {

constexpr std::size_t kLineBuffer = 1024;
constexpr std::uint8_t kPingWarnings = 3;  // the check after the third kicks

enum class Cause { kName, kScore, kPing };

struct CauseTexts {
  const char* chat;      // after "Kicking <name> for "
  std::uint32_t notice;
  const char* admin_log;
};

CauseTexts TextsOf(Cause cause) {
  switch (cause) {
    case Cause::kName:
      return {"banned word in player name", kNotifyAutoKickWord, "banned word in name"};
    case Cause::kScore:
      return {"minus-score", kNotifyAutoKickScore, "minus-score"};
    case Cause::kPing:
      break;
  }
  return {"high-ping", kNotifyAutoKickPing, "high-ping"};
}

bool On(int setting) { return SettingValue(setting) != 0; }

void LogKick(Cause cause, const PlayerRecord& p) {
  const char* name = p.name.c_str();
  const char* hash = p.keyhash.c_str();
  const char* address = p.address.c_str();
  if (cause == Cause::kName) {
    LogMessage(6, "Auto-kicked %s (%s) at %s for banned word in player name.", name, hash,
               address);
  } else if (cause == Cause::kScore) {
    LogMessage(6, "Auto-kicked %s (%s) at %s for minus-score (%s).", name, hash, address,
               p.score.c_str());
  } else {
    LogMessage(6, "Auto-kicked %s (%s) at %s for high-ping (%s).", name, hash, address,
               p.ping.c_str());
  }
}

// Kicks the player (a copy: the row leaves the table at the end).
void Kick(Cause cause, const PlayerRecord& player, std::time_t now) {
  CauseTexts texts = TextsOf(cause);
  QueueKick(player);
  SendServerMessage(std::string(kTag) + " Kicking " + player.name + " for " + texts.chat);
  NotifyAllClientsText(texts.notice, player.name, 0);
  LogKick(cause, player);
  AppendAdminLog(player.name.c_str(), player.address.c_str(), player.keyhash.c_str(),
                 player.pb_guid.c_str(), "auto", static_cast<std::uint32_t>(now),
                 CurrentMapName().c_str(), "kick", 0, texts.admin_log);
  std::string why = cause == Cause::kPing    ? "ping " + player.ping
                    : cause == Cause::kScore ? "score " + player.score
                                             : player.name;
  RecordAction(HistoryKind::kKick, player, std::string("auto: ") + texts.admin_log, why, now);
  if (IsTableablePlayerId(player.id))
    MutableModeration().high_ping_counts[static_cast<std::size_t>(player.id)] = 0;
  RemovePlayerById(player.id);
}

void BanForScore(const PlayerRecord& player) {
  std::optional<std::string> text =
      BanCommandText(player, 0, "Banned for too many minus-score kicks.");
  if (!text) return;
  QueueCommand(kCmdBanPlayer, text->c_str(), 0, KickDelay());
  SendServerMessage(std::string(kTag) + " Banned " + player.name + " for too many minus-score kicks");
  NotifyAllClientsText(kNotifyAutoBanScore, player.name, 0);
  NotifyAllClients(kNotifyBanListChanged, nullptr, 0, 0);
  LogMessage(6, "Auto-banned %s (%s) at %s for minus-score (%s).", player.name.c_str(),
             player.keyhash.c_str(), player.address.c_str(), player.score.c_str());
}

// A high ping counts once more; the check after the third count kicks.
// Ids outside the table have no counter and are never kicked for ping.
bool CheckPing(const PlayerRecord& player, std::time_t now) {
  if (!IsTableablePlayerId(player.id)) return false;
  std::uint8_t& count = MutableModeration().high_ping_counts[static_cast<std::size_t>(player.id)];
  std::int32_t limit = SettingValue(kSetAutoKickPingValue);
  if (ParseInt(player.ping) < limit) {
    count = 0;
    return false;
  }
  if (count >= kPingWarnings) return true;
  ++count;
  if (On(kSetHighPingWarnings)) {
    char text[160];
    std::snprintf(text, sizeof text, "%s %s ping %s exceeds maximum of %lu for %i times", kTag,
                  player.name.c_str(), player.ping.c_str(), static_cast<unsigned long>(limit),
                  static_cast<int>(count));
    SendServerMessage(text);
    RecordAction(HistoryKind::kWarning, player, "auto: high-ping",
                 "ping " + player.ping + ", warning " + std::to_string(count), now);
  }
  return false;
}

// Examines one row; true when the row left the table (the next player has
// moved into its place).
bool ExamineRow(const PlayerRecord& player, std::time_t now) {
  if (On(kSetAutoKickWord) && NameHasBannedWord(player.name)) {
    Kick(Cause::kName, player, now);
    return true;
  }
  // Score and ping of a player missing from the status report are unknown.
  if (!player.figures_known) return false;
  if (On(kSetAutoKickScore) &&
      ParseInt(player.score) <= -SettingValue(kSetAutoKickScoreValue)) {
    if (On(kSetAutoBan) && AutoBan(player.address.c_str(), player.keyhash.c_str())) {
      BanForScore(player);
      return false;
    }
    Kick(Cause::kScore, player, now);
    return true;
  }
  if (On(kSetAutoKickPing) && CheckPing(player, now)) {
    Kick(Cause::kPing, player, now);
    return true;
  }
  return false;
}

}  // namespace

void WatchPlayers(std::time_t now) {
  for (int row = 0; row < kMaxPlayers;) {
    PlayerRecord player = Links().players[static_cast<std::size_t>(row)];
    if (player.name.empty()) break;
    if (!ExamineRow(player, now)) ++row;
  }
}

bool PlayerWatch(std::time_t now) {
  if (!On(kSetAutoKickWord) && !On(kSetAutoKickScore) && !On(kSetAutoKickPing)) return true;
  if (!Links().console_connected) return false;
  if (!GetPlayerList()) LogMessage(6, "Couldn't update player list!");
  WatchPlayers(now);
  return true;
}

namespace {

// Counts the lines of kicklist.con equal to the identity; none when the
// file cannot be read (logged).
std::optional<int> CountKicks(const std::string& path, const std::string& identity) {
  CreateFileWithDirs(path, 1);
  UniqueFile file = OpenRegularStream(path);
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open KickList.con! %s", ErrorText(LastError()).c_str());
    return std::nullopt;
  }
  int count = 0;
  std::string line;
  while (ReadLineBounded(file.get(), kLineBuffer, &line)) {
    std::string bare;
    for (char c : line)
      if (c != '\r' && c != '\n') bare += c;
    count += bare == identity;
  }
  if (std::ferror(file.get())) {
    SetLastError(errno);
    LogMessage(6, "Couldn't read KickList.con! %s", ErrorText(LastError()).c_str());
    return std::nullopt;
  }
  return count;
}

void RecordKick(const std::string& path, const std::string& identity) {
  UniqueFile file(std::fopen(path.c_str(), "a"));
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open KickList.con! %s", ErrorText(LastError()).c_str());
    return;
  }
  if (std::fprintf(file.get(), "%s\n", identity.c_str()) < 0 || std::fflush(file.get()) != 0) {
    SetLastError(errno);
    LogMessage(6, "Couldn't write KickList.con! %s", ErrorText(LastError()).c_str());
  }
}

}  // namespace

bool AutoBan(const char* address, const char* keyhash) {
  if (address == nullptr || keyhash == nullptr) return false;
  bool internet = On(kSetServerInternet);
  // A line break would let one identity count as two lines.
  std::string identity = CutText(internet ? keyhash : address, kLineBuffer - 2);
  identity = identity.substr(0, identity.find_first_of("\r\n"));
  if (identity.empty() || EqualNoCase(identity, "[unknown]")) {
    LogMessage(6, internet ? "DEBUG: AutoBan: Player keyhash is unknown, kick ignored."
                           : "DEBUG: AutoBan: Player address is unknown, kick ignored.");
    return false;
  }
  std::string path = Core().settings_dir + "/kicklist.con";
  std::optional<int> count = CountKicks(path, identity);
  if (!count) return false;
  if (*count + 1 < SettingValue(kSetAutoBanValue)) {
    RecordKick(path, identity);
    return false;
  }
  return true;
}
