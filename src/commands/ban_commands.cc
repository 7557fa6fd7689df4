// The queued ban commands: ban, unban, clear, verify and the two syncs,
// with their audit lines, admin-log rows and notifications.
#include "commands/handlers.h"

#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bans/ban_text.h"
#include "bans/bans.h"
#include "commands/command_support.h"
#include "core/clock.h"
#include "core/core_state.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/server_state.h"
#include "wire/status_report.h"
#include "links/links_state.h"
#include "remote/session.h"

namespace {

// Fields of a text, each ended by `separator`; a text with fewer endings
// than `count` gives fewer fields.
std::vector<std::string> SplitFields(std::string_view text, char separator, int count,
                                     bool last_open) {
  std::vector<std::string> fields;
  while (static_cast<int>(fields.size()) < count) {
    std::size_t end = text.find(separator);
    if (end == std::string_view::npos) {
      if (last_open) fields.emplace_back(text);
      break;
    }
    fields.emplace_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return fields;
}

std::string ExpiryText(std::time_t expiry) {
  char buffer[64] = "";
  if (::ctime_r(&expiry, buffer) == nullptr) return "?\n";
  return buffer;
}

// The id a ban may act on: the text's own while the game still gives it to
// the player the text names, else -1 so that only the text's address,
// keyhash and GUID are banned (whoever holds the id now is left alone).
std::int32_t BannableId(const BanText& ban) {
  if (ban.id == -1 || !Server().server_running || !Links().console_connected) return ban.id;
  TargetState state = CheckTarget(CommandTarget{ban.id, ban.name, ban.keyhash}, nullptr);
  if (state == TargetState::kSame) return ban.id;
  if (state == TargetState::kUnknown) {
    LogMessage(6, "WARNING: Couldn't tell who holds player id %i! Banning player %s by address, "
               "keyhash and GUID alone.", ban.id, ban.name.c_str());
  } else {
    LogMessage(6, "WARNING: Player id %i no longer holds player %s! Banning him by address, "
               "keyhash and GUID alone.", ban.id, ban.name.c_str());
  }
  return -1;
}

// A copy between the Korvane banlist and the server's, "to" or "from" it.
void SyncBanLists(const QueuedCommand& command, bool (*sync)(), const char* direction) {
  if (!sync()) {
    LogMessage(6, "Couldn't sync %s the server banlist! %s", direction,
               ErrorText(LastError()).c_str());
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  LogMessage(6, "User %s at %s synchronised %s the server banlist.",
             SenderUserName(command.sender).c_str(), SenderAddress(command.sender).c_str(),
             direction);
  NotifyIssuer(command, kNotifyBansInSync);
}

}  // namespace

namespace handlers {

// "id\xffname\xffaddress\xffkeyhash\xffguid\xffduration\xffreason\xff" (ban_text.h).
void BanCommand(const QueuedCommand& command) {
  int found = 0;
  std::optional<BanText> ban = ReadBanText(QueuedText(command), &found);
  if (!ban) {
    LogMessage(6, "Couldn't ban player! The ban command holds %i of its %i fields.", found,
               kBanTextFields);
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  if (Core().debug) LogMessage(6, "DEBUG: Banned player id %i.", ban->id);
  const std::string& name = ban->name;
  const std::int32_t duration = ban->duration;
  const std::time_t now = ClockNow();
  if (duration < 0) {
    LogMessage(6, "Couldn't ban player %s! A ban of %i seconds would have expired already.",
               name.c_str(), duration);
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  const std::time_t expiry = duration == 0 ? 0 : now + duration;
  const std::string admin = SenderUserName(command.sender);
  const std::string& reason = ban->reason;
  const std::string& player_address = ban->address;
  const std::string& keyhash = ban->keyhash;
  const std::string& guid = ban->guid;
  if (!BanPlayer(name.c_str(), BannableId(*ban), player_address.c_str(), keyhash.c_str(),
                 guid.c_str(), admin.c_str(), now, expiry, reason.c_str())) {
    LogMessage(6, "Couldn't ban player %s! The command failed.", name.c_str());
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  const std::string address = SenderAddress(command.sender);
  if (expiry != 0) {
    LogMessage(6, "User %s at %s banned player %s (%s) until %sfor %s.", admin.c_str(),
               address.c_str(), name.c_str(), keyhash.c_str(), ExpiryText(expiry).c_str(),
               reason.c_str());
  } else {
    LogMessage(6, "User %s at %s banned player %s (%s) permanently for %s.", admin.c_str(),
               address.c_str(), name.c_str(), keyhash.c_str(), reason.c_str());
  }
  std::string map = StatusValue(Links().status_report, "mapname").value_or("");
  AppendAdminLog(name.c_str(), player_address.c_str(), keyhash.c_str(), guid.c_str(),
                 admin.c_str(), static_cast<std::uint32_t>(now), map.c_str(), "ban",
                 static_cast<std::uint32_t>(expiry), reason.c_str());
  NotifyAllClientsText(kNotifyPlayerBanned, name, 0);
  NotifyAllClients(kNotifyBanListChanged, nullptr, 0, 0);
}

// "name,address,keyhash,guid"; a missing field is empty.
void UnbanCommand(const QueuedCommand& command) {
  std::vector<std::string> f = SplitFields(QueuedText(command), ',', 4, true);
  f.resize(4);
  if (!UnbanPlayer(f[0].c_str(), f[1].c_str(), f[2].c_str(), f[3].c_str())) {
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  LogMessage(6, "User %s at %s removed ban on player %s (%s).",
             SenderUserName(command.sender).c_str(), SenderAddress(command.sender).c_str(),
             f[0].c_str(), f[2].c_str());
  NotifyAllClientsText(kNotifyBanRemoved, f[0], 0);
  NotifyAllClients(kNotifyBanListChanged, nullptr, 0, 0);
}

void ClearCommand(const QueuedCommand& command) { ClearBanLists(command.sender); }

void VerifyCommand(const QueuedCommand& command) {
  LogMessage(6, "User %s at %s commanded a banlist sync verification.",
             SenderUserName(command.sender).c_str(), SenderAddress(command.sender).c_str());
  if (VerifyGameBansListed() && VerifyServerBansListed()) {
    LogMessage(6, "The Korvane banlist is synchronised with the server banlist.");
    NotifyIssuer(command, kNotifyBansInSync);
  } else {
    LogMessage(6, "The Korvane banlist is NOT synchronised with the server banlist.");
    NotifyIssuer(command, kNotifyBansNotInSync);
  }
}

void SyncToCommand(const QueuedCommand& command) {
  // The running game keeps its ban list in memory and writes banlist.con
  // itself: a copy into the files now would be lost, not applied.
  if (Server().server_running) {
    LogMessage(6, "Couldn't sync to the server banlist! The game server is running and keeps "
                  "its own banlist; stop the server first.");
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  SyncBanLists(command, SyncToServerBanList, "to");
}

void SyncFromCommand(const QueuedCommand& command) {
  SyncBanLists(command, SyncFromServerBanList, "from");
}

void ExpireBansCommand(const QueuedCommand&) { ContinueTimedBanExpiry(); }

}  // namespace handlers
