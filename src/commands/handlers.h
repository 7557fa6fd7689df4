// The handlers the command table names, by the file that holds them. An
// immediate command's handler serves the session at once; a queued one's
// runs when the command queue reaches it.
#pragma once

#include "remote/dispatch.h"
#include "remote/remote_state.h"

namespace handlers {

/* immediate_commands.cc */
void SettingsDown(const CommandContext& c);
void SettingsUp(const CommandContext& c);
void PbConfigDown(const CommandContext& c);
void PbConfigUp(const CommandContext& c);
void ModsDown(const CommandContext& c);
void MapsDown(const CommandContext& c);
void RotationDown(const CommandContext& c);
void RotationUp(const CommandContext& c);
void PlayerListDown(const CommandContext& c);
void ClientListDown(const CommandContext& c);
void PlayerMenuDown(const CommandContext& c);
void BanListDown(const CommandContext& c);
void BanListUp(const CommandContext& c);
void AccountsDown(const CommandContext& c);
void AccountsUp(const CommandContext& c);
void ScheduleDown(const CommandContext& c);
void ScheduleUp(const CommandContext& c);
void StatusReply(const CommandContext& c);
void AnnouncementsDown(const CommandContext& c);
void AnnouncementsUp(const CommandContext& c);
void BannedWordsDown(const CommandContext& c);
void BannedWordsUp(const CommandContext& c);
void StartServerCommand(const CommandContext& c);
void StopServerCommand(const CommandContext& c);
void GameAddressReply(const CommandContext& c);
void LogDown(const CommandContext& c);
void KeepAlive(const CommandContext& c);

/* history_commands.cc */
void PlayerHistoryReply(const CommandContext& c);
void HistoryNoteReply(const CommandContext& c);

/* queued_commands.cc */
void NotifyAllCommand(const QueuedCommand& command);
void DisconnectClient(const QueuedCommand& command);
void TogglePause(const QueuedCommand& command);
void ChangeMap(const QueuedCommand& command);
void RunNextMap(const QueuedCommand& command);
void SetNextMap(const QueuedCommand& command);
void SetIdleMap(const QueuedCommand& command);
void RestartMap(const QueuedCommand& command);
void KickPlayer(const QueuedCommand& command);
void BanPlayerName(const QueuedCommand& command);
void SayToAll(const QueuedCommand& command);
void ServerMessage(const QueuedCommand& command);
void RawConsole(const QueuedCommand& command);
void ChangeOwnPassword(const QueuedCommand& command);
void Screenshot(const QueuedCommand& command);
void SavePunkBusterConfig(const QueuedCommand& command);
void LoadPunkBusterConfig(const QueuedCommand& command);
void ReloadAccounts(const QueuedCommand& command);
void ReconnectConsoleCommand(const QueuedCommand& command);

/* ban_commands.cc */
void BanCommand(const QueuedCommand& command);
void UnbanCommand(const QueuedCommand& command);
void ClearCommand(const QueuedCommand& command);
void VerifyCommand(const QueuedCommand& command);
void SyncToCommand(const QueuedCommand& command);
void SyncFromCommand(const QueuedCommand& command);
void ExpireBansCommand(const QueuedCommand& command);

}  // namespace handlers
