// The command table. Following a command means reading its row here and
// then its handler (handlers.h says which file holds it).
#include "commands/command_table.h"

#include <iterator>
#include <string>

#include "commands/handlers.h"
#include "remote/command_queue.h"

namespace {

using namespace handlers;

constexpr CommandEntry Now(std::uint32_t code, CommandHandler handler) {
  return {FindCommandRow(code), handler, nullptr};
}
constexpr CommandEntry Queued(std::uint32_t code, QueuedHandler handler) {
  return {FindCommandRow(code), nullptr, handler};
}
constexpr CommandEntry Ignored(std::uint32_t code) { return {FindCommandRow(code), nullptr, nullptr}; }

constexpr CommandEntry kClientCommands[] = {
    Now(kClientSettingsDownload, SettingsDown),
    Now(kClientSettingsUpload, SettingsUp),
    Now(kClientPbCfgDownload, PbConfigDown),
    Now(kClientPbCfgUpload, PbConfigUp),
    Queued(kClientSavePunkBuster, SavePunkBusterConfig),
    Queued(kClientLoadPunkBuster, LoadPunkBusterConfig),
    Ignored(kClientReserved6),
    Ignored(kClientReserved7),
    Now(kClientModsDownload, ModsDown),
    Now(kClientMapsDownload, MapsDown),
    Now(kClientRotationDownload, RotationDown),
    Now(kClientRotationUpload, RotationUp),
    Now(kClientPlayerListDownload, PlayerListDown),
    Now(kClientClientListDownload, ClientListDown),
    Now(kClientPlayerMenuDownload, PlayerMenuDown),
    Now(kClientBanListDownload, BanListDown),
    Now(kClientBanListUpload, BanListUp),
    Now(kClientAccountsDownload, AccountsDown),
    Now(kClientAccountsUpload, AccountsUp),
    Now(kClientScheduleDownload, ScheduleDown),
    Now(kClientScheduleUpload, ScheduleUp),
    Now(kClientStatusLine, StatusReply),
    Now(kClientAnnouncementsDownload, AnnouncementsDown),
    Now(kClientAnnouncementsUpload, AnnouncementsUp),
    Now(kClientBannedWordsDownload, BannedWordsDown),
    Now(kClientBannedWordsUpload, BannedWordsUp),
    Now(kClientStartServer, StartServerCommand),
    Now(kClientStopServer, StopServerCommand),
    Queued(kClientTogglePause, TogglePause),
    Now(kClientGameAddress, GameAddressReply),
    Queued(kClientChangeMap, ChangeMap),
    Queued(kClientNextMap, RunNextMap),
    Queued(kClientSetNextMap, SetNextMap),
    Queued(kClientSetIdleMap, SetIdleMap),
    Queued(kClientRestartMap, RestartMap),
    Queued(kClientKickPlayer, KickPlayer),
    Queued(kClientDisconnectClient, DisconnectClient),
    Queued(kClientBanPlayer, BanCommand),
    Queued(kClientRemoveBan, UnbanCommand),
    Queued(kClientClearBanLists, ClearCommand),
    Queued(kClientBanPlayerName, BanPlayerName),
    Queued(kClientVerifyBanLists, VerifyCommand),
    Queued(kClientSyncToServerBanList, SyncToCommand),
    Queued(kClientSyncFromServerBanList, SyncFromCommand),
    Queued(kClientSayToAll, SayToAll),
    Queued(kClientServerMessage, ServerMessage),
    Queued(kClientRawConsoleCommand, RawConsole),
    Queued(kClientChangeOwnPassword, ChangeOwnPassword),
    Now(kClientLogDownload, LogDown),
    Queued(kClientScreenshot, Screenshot),
    Now(kClientKeepAlive, KeepAlive),
    Now(kClientPlayerHistory, PlayerHistoryReply),
    Now(kClientHistoryNote, HistoryNoteReply),
};

constexpr DaemonCommandEntry kDaemonCommands[] = {
    {kCmdConsoleReconnect, ReconnectConsoleCommand},
    {kCmdNotifyAll, NotifyAllCommand},
    {kCmdReloadAccounts, ReloadAccounts},
    {kCmdExpireBans, ExpireBansCommand},
};

/* Checks made when the table is compiled */

// One row per client code, in code order, each on the code's wire row.
constexpr bool OneRowPerClientCode() {
  if (std::size(kClientCommands) != CommandTable().size()) return false;
  for (std::size_t i = 0; i < std::size(kClientCommands); ++i)
    if (kClientCommands[i].wire != &CommandTable()[i]) return false;
  return true;
}
static_assert(OneRowPerClientCode(), "every client code has exactly one row, in code order");

// The handler fits the kind the wire row gives the command.
constexpr bool HandlersFitTheirKind() {
  for (const CommandEntry& entry : kClientCommands) {
    bool now = entry.now != nullptr, queued = entry.queued != nullptr;
    switch (entry.wire->kind) {
      case CommandKind::kImmediate: if (!now || queued) return false; break;
      case CommandKind::kQueued: if (now || !queued) return false; break;
      case CommandKind::kIgnored: if (now || queued) return false; break;
    }
  }
  return true;
}
static_assert(HandlersFitTheirKind(), "an immediate or queued command has a handler of its kind");

constexpr int HandlersOf(std::uint32_t queued) {
  int count = 0;
  for (const CommandEntry& entry : kClientCommands)
    count += entry.queued != nullptr && entry.wire->queued == queued;
  for (const DaemonCommandEntry& entry : kDaemonCommands)
    count += entry.handler != nullptr && entry.queued == queued;
  return count;
}

constexpr bool IsQueuedCode(std::uint32_t code) {
  for (std::uint32_t queued : kQueuedCodes)
    if (queued == code) return true;
  return false;
}

// Every queued code has exactly one handler, and every handler a known code.
constexpr bool EveryQueuedCodeHasOneHandler() {
  for (std::uint32_t queued : kQueuedCodes)
    if (HandlersOf(queued) != 1) return false;
  for (const CommandEntry& entry : kClientCommands)
    if (entry.queued != nullptr && !IsQueuedCode(entry.wire->queued)) return false;
  for (const DaemonCommandEntry& entry : kDaemonCommands)
    if (!IsQueuedCode(entry.queued)) return false;
  return true;
}
static_assert(EveryQueuedCodeHasOneHandler(), "every queued code has exactly one handler");

}  // namespace

std::span<const CommandEntry> ClientCommands() { return kClientCommands; }
std::span<const DaemonCommandEntry> DaemonCommands() { return kDaemonCommands; }

QueuedHandler FindQueuedHandler(std::uint32_t queued) {
  for (const CommandEntry& entry : kClientCommands)
    if (entry.queued != nullptr && entry.wire->queued == queued) return entry.queued;
  for (const DaemonCommandEntry& entry : kDaemonCommands)
    if (entry.queued == queued) return entry.handler;
  return nullptr;
}

void ServeClientCommand(const CommandContext& c) {
  const CommandRow* wire = FindCommandRow(c.code);
  if (wire == nullptr) return;
  const CommandEntry& entry = kClientCommands[c.code - kClientBase];
  if (entry.queued != nullptr) {
    // The text ends at its first zero, as the queue keeps it.
    std::string text(c.text);
    QueueCommand(wire->queued, wire->text ? text.c_str() : nullptr,
                 static_cast<std::uint32_t>(c.slot), 0);
  } else if (entry.now != nullptr) {
    entry.now(c);
  }
}

void RunQueuedCommand(const QueuedCommand& command) {
  if (QueuedHandler handler = FindQueuedHandler(command.code)) handler(command);
}

void InstallCommandTable() {
  SetCommandDispatcher(ServeClientCommand);
  SetCommandRunner(RunQueuedCommand);
}
