// The handlers of the queued commands: the game's pause and maps, kicks,
// chat and messages, raw console commands, screenshots, PunkBuster's
// settings, banned names, passwords and the daemon's own notices.
#include "commands/handlers.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "commands/command_support.h"
#include "core/clock.h"
#include "core/banned_name.h"
#include "core/core_state.h"
#include "core/files.h"
#include "core/last_error.h"
#include "wire/status_report.h"
#include "core/text.h"
#include "core/log.h"
#include "core/server_state.h"
#include "core/tick_state.h"
#include "history/history.h"
#include "links/console.h"
#include "links/links_state.h"
#include "links/player_table.h"
#include "links/status_query.h"
#include "remote/accounts.h"
#include "remote/remote_state.h"
#include "remote/session.h"
#include "settings/settings_files.h"

namespace {

constexpr char kChatBlank = static_cast<char>(0x80);

// Texts from clients go into console commands between quotes; a line break
// would start a console command of its own.
std::string OneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

// A message goes between quotes: a quote in it (from a player's name, say)
// would end the argument early.
std::string MessageLine(std::string_view text) {
  std::string line = OneLine(text);
  for (char& c : line) {
    if (c == '"') c = '\'';
  }
  return line;
}

bool Console(const std::string& command) { return ConsoleSend("%s", command.c_str()).has_value(); }

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char buffer[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

// A console command that either succeeds (audit line, news to all) or
// fails (failure line, the issuer told).
bool ConsoleOrFail(const QueuedCommand& command, const std::string& console, const char* failure) {
  if (Console(console)) return true;
  LogMessage(6, "%s", failure);
  NotifyIssuer(command, kNotifyFailed);
  return false;
}

bool PunkBusterEnabled() { return Links().punkbuster_enabled; }

// A kick that carries its target runs only while the target still holds
// the id; otherwise it is dropped with a line that says why.
bool TargetStillHere(const QueuedCommand& command) {
  if (!command.target) return true;
  const CommandTarget& target = *command.target;
  PlayerRecord holder;
  TargetState state = CheckTarget(target, &holder);
  if (state == TargetState::kSame) return true;
  if (state == TargetState::kOther) {
    LogMessage(6, "Couldn't kick player %s (%s)! Player id %i now belongs to %s (%s).",
               target.name.c_str(), target.keyhash.c_str(), target.id, holder.name.c_str(),
               holder.keyhash.c_str());
  } else if (state == TargetState::kGone) {
    LogMessage(6, "Couldn't kick player %s! Player id %i is no longer on the server.",
               target.name.c_str(), target.id);
  } else {
    LogMessage(6, "Couldn't kick player %s! The player list could not be read.",
               target.name.c_str());
  }
  NotifyIssuer(command, kNotifyFailed);
  return false;
}

// Sends the pieces of a text, each as `command "piece"`; false after the
// first failed piece.
bool SendPieces(const std::vector<std::string>& pieces, const char* command) {
  for (const std::string& piece : pieces) {
    if (!ConsoleSend("%s \"%s\"", command, piece.c_str())) return false;
  }
  return true;
}

bool PunkBusterReachable(const QueuedCommand& command, const char* refusal) {
  if (Links().console_connected && PunkBusterEnabled()) return true;
  LogMessage(6, "%s", refusal);
  NotifyIssuer(command, kNotifyFailed);
  return false;
}

// A map command without a text: one console command, then everyone is told.
struct MapStep {
  const char* console;
  const char* failure;
  const char* done;  // after "User %s at %s "
  std::uint32_t notice;
};

constexpr MapStep kRunNextMap{"admin.runNextLevel", "Couldn't run next map! The command failed.",
                              "changed to the next map in the rotation.", kNotifyNextMapRun};
constexpr MapStep kRestartMap{"admin.restartMap", "Couldn't restart map! The command failed.",
                              "restarted the current map.", kNotifyMapRestarted};

void RunMapStep(const QueuedCommand& command, const MapStep& step) {
  if (!ConsoleOrFail(command, step.console, step.failure)) return;
  Issuer issuer(command.sender);
  LogMessage(6, "User %s at %s %s", issuer.user.c_str(), issuer.address.c_str(), step.done);
  NotifyAllClients(step.notice, nullptr, 0, 0);
}

// PunkBuster's own settings file, written out or read back by the game.
struct PunkBusterConfigStep {
  const char* refusal;  // not connected, or PunkBuster off
  const char* console;
  const char* failure;
  const char* done;
  std::uint32_t notice;
};

// The load's failure says "dump" too: clients match the texts as they are.
constexpr PunkBusterConfigStep kSavePunkBusterConfig{
    "Could't dump PunkBuster settings! Not connected or PunkBuster is not enabled.",
    "pb_sv_writecfg", "Could't dump PunkBuster settings! The command failed.",
    "PunkBuster settings have been saved to pbsv.cfg.", kNotifyPbSaved};
constexpr PunkBusterConfigStep kLoadPunkBusterConfig{
    "Could't load PunkBuster settings! Not connected or PunkBuster is not enabled.",
    "pb_sv_load pbsv.cfg", "Could't dump PunkBuster settings! The command failed.",
    "PunkBuster settings have been loaded from pbsv.cfg.", kNotifyPbLoaded};

void RunPunkBusterConfigStep(const QueuedCommand& command, const PunkBusterConfigStep& step) {
  if (!PunkBusterReachable(command, step.refusal)) return;
  if (!Console(step.console)) {
    LogMessage(6, "%s", step.failure);
    return;
  }
  LogMessage(6, "%s", step.done);
  NotifyIssuer(command, step.notice);
}

}  // namespace

namespace handlers {

void NotifyAllCommand(const QueuedCommand& command) {
  auto code = static_cast<std::uint32_t>(ParseLong(QueuedText(command)));
  NotifyAllClients(code, nullptr, 0, 0);
}

void DisconnectClient(const QueuedCommand& command) {
  int slot = ParseInt(QueuedText(command));
  if (slot < 1 || slot > kMaxClients) return;
  const ClientSession& target = Remote().sessions[slot];
  if (target.socket == 0) return;
  NotifyClient(kNotifyDisconnect, slot, nullptr, 0);
  Issuer issuer(command.sender);
  LogMessage(6, "User %s at %s disconnected client %s at %s.", issuer.user.c_str(),
             issuer.address.c_str(), target.user_name.c_str(), target.address.c_str());
  DropSession(slot);
}

void TogglePause(const QueuedCommand& command) {
  if (!ConsoleOrFail(command, "admin.toggleGamePause", "Couldn't pause game! The command failed."))
    return;
  Issuer issuer(command.sender);
  const bool paused = Remote().server_paused;
  LogMessage(6, paused ? "User %s at %s unpaused the server." : "User %s at %s paused the server.",
             issuer.user.c_str(), issuer.address.c_str());
  NotifyAllClients(paused ? kNotifyUnpaused : kNotifyPaused, nullptr, 0, 0);
  MarkServerPaused(!paused);
}

void ChangeMap(const QueuedCommand& command) {
  std::string map = OneLine(QueuedText(command));
  if (!Console("admin.changeMap " + map)) {
    LogMessage(6, "Couldn't change to map %s! The command failed.", map.c_str());
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  Issuer issuer(command.sender);
  LogMessage(6, "User %s at %s changed the map to %s.", issuer.user.c_str(),
             issuer.address.c_str(), map.c_str());
  NotifyAllClientsText(kNotifyMapChanged, map, 0);
}

void RunNextMap(const QueuedCommand& command) { RunMapStep(command, kRunNextMap); }

// While the server is stopped only the start map is recorded.
void SetNextMap(const QueuedCommand& command) {
  std::string map = OneLine(QueuedText(command));
  if (Server().server_running && !Console("admin.setNextLevel " + map)) {
    LogMessage(6, "Couldn't set next map to %s! The command failed.", map.c_str());
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  Issuer issuer(command.sender);
  LogMessage(6, "User %s at %s changed the next map to %s.", issuer.user.c_str(),
             issuer.address.c_str(), map.c_str());
  NotifyAllClientsText(kNotifyNextMapSet, map, 0);
  SetStartMap(CutText(map, kMaxMapText));
}

void RestartMap(const QueuedCommand& command) { RunMapStep(command, kRestartMap); }

// "id,reason": PunkBuster kicks first when it runs, then the game.
void KickPlayer(const QueuedCommand& command) {
  std::string_view text = QueuedText(command);
  std::int32_t id = ParseInt(text);
  if (Core().debug) LogMessage(6, "DEBUG: Kicked player id %i.", id);
  if (!TargetStillHere(command)) return;
  std::string name = PlayerNameById(id);
  std::string address = PlayerAddressById(id);
  std::string keyhash = PlayerKeyhashById(id);
  std::string guid = PlayerGuidById(id);
  std::size_t comma = text.find(',');
  std::string reason = comma == std::string_view::npos ? "" : OneLine(text.substr(comma + 1));
  std::time_t now = ClockNow();
  bool ok = !PunkBusterEnabled() || Console(Printf("pb_sv_kick %i 1 %s", id + 1, reason.c_str()));
  std::optional<std::string> answer;
  if (ok) answer = ConsoleSend("admin.kickPlayer %i", id);
  // The game answers an id it does not know with "No player with id N":
  // nobody was kicked.
  if (!answer || answer->starts_with("No player with id") ||
      answer->find("\nNo player with id") != std::string::npos) {
    LogMessage(6, "Couldn't kick player %s! The command failed.", name.c_str());
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  Issuer issuer(command.sender);
  LogMessage(6, "User %s at %s kicked player %s (%s) at %s for %s.", issuer.user.c_str(),
             issuer.address.c_str(), name.c_str(), keyhash.c_str(), address.c_str(),
             reason.c_str());
  std::string map = StatusValue(Links().status_report, "mapname").value_or("");
  AppendAdminLog(name.c_str(), address.c_str(), keyhash.c_str(), guid.c_str(),
                 issuer.user.c_str(), static_cast<std::uint32_t>(now), map.c_str(), "kick", 0,
                 reason.c_str());
  NotifyAllClientsText(kNotifyPlayerKicked, name, 0);
  RecordAction(HistoryKind::kKick, name, address, keyhash, issuer.user, reason, now);
}

// Chat goes out with blanks as 0x80 bytes, in pieces the game accepts.
void SayToAll(const QueuedCommand& command) {
  std::string text = MessageLine(QueuedText(command));
  for (char& c : text) {
    if (c == ' ') c = kChatBlank;
  }
  if (!SendPieces(SplitIntoPieces(text, kChatBlank), "game.sayAll")) {
    LogMessage(6, "Couldn't send chat message! The command failed.");
    NotifyIssuer(command, kNotifyFailed);
  }
  // The daemon's own announcements begin with '*' and are not audited.
  if (text.empty() || text[0] != '*') {
    Issuer issuer(command.sender);
    LogMessage(6, "User %s at %s said '%s'.", issuer.user.c_str(), issuer.address.c_str(),
               text.c_str());
  }
  NotifyIssuer(command, kNotifyChatSent);
}

void ServerMessage(const QueuedCommand& command) {
  std::string text = MessageLine(QueuedText(command));
  for (char& c : text) {
    if (c == kChatBlank) c = ' ';
  }
  if (!SendPieces(SplitIntoPieces(text, ' '), "admin.serverMessage")) {
    LogMessage(6, "Couldn't send server message! The command failed.");
    NotifyIssuer(command, kNotifyFailed);
  }
  Issuer issuer(command.sender);
  LogMessage(6, "User %s at %s said '%s'.", issuer.user.c_str(), issuer.address.c_str(),
             text.c_str());
  NotifyIssuer(command, kNotifyMessageSent);
}

// The text goes to the console as it is, never as a format, and as one
// line: the audit line must not carry a line of its own.
void RawConsole(const QueuedCommand& command) {
  if (!TargetStillHere(command)) return;
  std::string text = OneLine(QueuedText(command));
  if (!ConsoleOrFail(command, text, "Couldn't send server message! The command failed.")) return;
  Issuer issuer(command.sender);
  LogMessage(6, "User %s at %s issued console command '%s'.", issuer.user.c_str(),
             issuer.address.c_str(), text.c_str());
  NotifyIssuer(command, kNotifyConsoleSent);
}

void Screenshot(const QueuedCommand& command) {
  std::string player = OneLine(QueuedText(command));
  if (!PunkBusterEnabled()) {
    LogMessage(6, "Couldn't take player screenshot! PunkBuster is not enabled.");
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  if (!ConsoleOrFail(command, "pb_sv_getss " + player,
                     "Couldn't take player screenshot! The command failed."))
    return;
  Issuer issuer(command.sender);
  LogMessage(6, "User %s at %s requested a screenshot of player %s.", issuer.user.c_str(),
             issuer.address.c_str(), player.c_str());
  NotifyIssuer(command, kNotifyScreenshotSent);
}

void SavePunkBusterConfig(const QueuedCommand& command) {
  RunPunkBusterConfigStep(command, kSavePunkBusterConfig);
}

void LoadPunkBusterConfig(const QueuedCommand& command) {
  RunPunkBusterConfigStep(command, kLoadPunkBusterConfig);
}

// Adds "$name" to bannedwords.con, creating the file when it is missing. A
// name the file cannot hold whole is refused.
void BanPlayerName(const QueuedCommand& command) {
  const std::string name(QueuedText(command));
  if (!BannableName(name)) {
    LogMessage(6, "Couldn't ban player name %s! %s", name.c_str(), kUnbannableNameText);
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  std::string path = Core().settings_dir + "/bannedwords.con";
  std::optional<std::string> words = ReadWholeFile(path);
  if (!words && LastError() == ENOENT) words.emplace();
  if (words) {
    if (!words->empty() && words->back() != '\n') *words += '\n';
    *words += "$" + name + "\n";
  }
  // A file that cannot be read or rewritten bans nothing, and says so.
  if (!words || !ReplaceFileContents(path, *words)) {
    LogMessage(6, "Couldn't open %s! %s", path.c_str(), ErrorText(LastError()).c_str());
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  Issuer issuer(command.sender);
  LogMessage(6, "User %s at %s banned player name %s.", issuer.user.c_str(),
             issuer.address.c_str(), name.c_str());
  NotifyAllClientsText(kNotifyNameBanned, name, 0);
}

// Sets or clears the idle map, in memory and in the map rotation file.
void SetIdleMap(const QueuedCommand& command) {
  std::string map = CutText(OneLine(QueuedText(command)), kMaxIdleMapText);
  // The rewrite logs its own failure; nothing changed, so nothing is announced.
  if (!SetConValue(Core().settings_dir + "/servermaplist.con", "game.setIdleLevel", map)) {
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  ::SetIdleMap(map);
  Issuer issuer(command.sender);
  if (map.empty()) {
    LogMessage(6, "User %s at %s cleared the idle map.", issuer.user.c_str(),
               issuer.address.c_str());
  } else {
    LogMessage(6, "User %s at %s changed the idle map to %s.", issuer.user.c_str(),
               issuer.address.c_str(), map.c_str());
  }
  NotifyAllClientsText(kNotifyIdleMapSet, map, 0);
}

void ChangeOwnPassword(const QueuedCommand& command) {
  if (!SetUserPassword(SenderUserName(command.sender), QueuedText(command))) {
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  NotifyIssuer(command, kNotifyPasswordChanged);
  NotifyAllClients(kNotifyUsersChanged, nullptr, 0, 0);
}

void ReconnectConsoleCommand(const QueuedCommand&) { ReconnectConsole(); }

void ReloadAccounts(const QueuedCommand&) {
  if (!LoadUserAccounts(UserAccessPath())) {
    LogMessage(6, "Couldn't reload user file! %s", ErrorText(LastError()).c_str());
    return;
  }
  LogMessage(6, "Reloaded user file.");
  NotifyAllClients(kNotifyUsersChanged, nullptr, 0, 0);
}

}  // namespace handlers
