// The table of queued command codes and their handlers.
#include "remote/execute.h"

#include <cstring>
#include <span>

#include "core/helpers.h"
#include "core/log.h"
#include "core/manager_state.h"
#include "links/console.h"
#include "remote/accounts.h"
#include "remote/command_queue.h"
#include "remote/session.h"
#include "settings/settings_files.h"

namespace {

constexpr std::size_t kPieceLength = 63;
constexpr char kChatBlank = static_cast<char>(0x80);

using Handler = void (*)(const QueuedCommand&);

struct ExecRow {
  std::uint32_t code;
  Handler handler;
};

// Who asked, for the audit lines.
struct Issuer {
  std::string user;
  std::string address;
  explicit Issuer(std::uint32_t sender)
      : user(SenderUserName(sender)), address(SenderAddress(sender)) {}
};

// Tells the issuer; the daemon itself and in-game senders have no session.
void NotifyIssuer(const QueuedCommand& command, std::uint32_t code) {
  if (command.sender >= 1 && command.sender <= static_cast<std::uint32_t>(kMaxClients))
    NotifyClient(code, static_cast<int>(command.sender), nullptr, 0);
}

std::string_view Text(const QueuedCommand& command) {
  return std::string_view(command.text, strnlen(command.text, sizeof command.text));
}

void NotifyAllCommand(const QueuedCommand& command) {
  auto code = static_cast<std::uint32_t>(ParseLong(Text(command)));
  NotifyAllClients(code, nullptr, 0, 0);
}

void DisconnectClient(const QueuedCommand& command) {
  int slot = ParseInt(Text(command));
  if (slot < 1 || slot > kMaxClients) return;
  const ClientSession& target = g_manager.remote.sessions[slot];
  if (target.socket == 0) return;
  NotifyClient(kNotifyDisconnect, slot, nullptr, 0);
  Issuer issuer(command.sender);
  LogMessage(6, "User %s at %s disconnected client %s at %s.", issuer.user.c_str(),
             issuer.address.c_str(), target.user_name.c_str(), target.address.c_str());
  DropSession(slot);
}

// Adds "$name" to bannedwords.con. A line break in the name would add
// lines of its own, so breaks become blanks.
void BanPlayerName(const QueuedCommand& command) {
  std::string name(Text(command));
  for (char& c : name) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::string path = g_manager.core.settings_dir + "/bannedwords.con";
  if (std::optional<std::string> words = ReadWholeFile(path)) {
    if (!words->empty() && words->back() != '\n') *words += '\n';
    *words += "$" + name + "\n";
    ReplaceFileContents(path, *words);
  }
  Issuer issuer(command.sender);
  LogMessage(6, "User %s at %s banned player name %s.", issuer.user.c_str(),
             issuer.address.c_str(), name.c_str());
  NotifyAllClientsText(kNotifyNameBanned, name, 0);
}

// Sets or clears the idle map, in memory and in the map rotation file.
void SetIdleMap(const QueuedCommand& command) {
  std::string map = CutText(Text(command), kMaxIdleMapText);
  g_manager.core.idle_map = map;
  SetConValue(g_manager.core.settings_dir + "/servermaplist.con", "game.setIdleLevel", map);
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
  if (!SetUserPassword(SenderUserName(command.sender), Text(command))) {
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  NotifyIssuer(command, kNotifyPasswordChanged);
  NotifyAllClients(kNotifyUsersChanged, nullptr, 0, 0);
}

void ReloadAccounts(const QueuedCommand&) {
  if (!LoadUserAccounts(UserAccessPath())) {
    LogMessage(6, "Couldn't reload user file! %s", ErrorText(LastError()).c_str());
    return;
  }
  NotifyAllClients(kNotifyUsersChanged, nullptr, 0, 0);
}

// One row per queued code the daemon carries out.
constexpr ExecRow kExecRows[] = {
    {kCmdConsoleReconnect, [](const QueuedCommand&) { ReconnectConsole(); }},
    {0xB00B0002, NotifyAllCommand},
    {0xB00B0003, DisconnectClient},
    {0xB00B000D, SetIdleMap},
    {0xB00B0013, BanPlayerName},
    {0xB00B001A, ChangeOwnPassword},
    {0xB00B0020, ReloadAccounts},
};

const ExecRow* FindRow(std::uint32_t code) {
  if (code == 0) return nullptr;
  for (const ExecRow& row : std::span(kExecRows)) {
    if (row.code == code && row.handler != nullptr) return &row;
  }
  return nullptr;
}

}  // namespace

std::vector<std::string> SplitIntoPieces(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  while (text.size() > kPieceLength) {
    std::size_t cut = 0;
    for (std::size_t i = kPieceLength; i >= 1 && cut == 0; --i) {
      if (text[i] == separator) cut = i;
    }
    if (cut == 0) {
      pieces.emplace_back(text.substr(0, kPieceLength));
      text.remove_prefix(kPieceLength);
    } else {
      pieces.emplace_back(text.substr(0, cut));
      text.remove_prefix(cut + 1);
    }
  }
  pieces.emplace_back(text);
  return pieces;
}

bool IsExecutableCode(std::uint32_t code) { return FindRow(code) != nullptr; }

void ExecuteCommand(const QueuedCommand& command) {
  if (const ExecRow* row = FindRow(command.code)) row->handler(command);
}
