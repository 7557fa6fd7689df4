// The queued ban commands: ban, unban, clear, verify and the two syncs,
// with their audit lines, admin-log rows and notifications.
#include "commands/handlers.h"

#include <strings.h>

#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bans/ban_text.h"
#include "bans/bans.h"
#include "commands/ban_road.h"
#include "commands/command_support.h"
#include "core/clock.h"
#include "core/core_state.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/server_state.h"
#include "history/history.h"
#include "links/links_state.h"
#include "remote/session.h"
#include "wire/ban_row.h"
#include "wire/status_report.h"

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

// An identity as a ban list row holds it: "*" for none.
std::string RowIdentity(const std::string& value) {
  if (value.empty() || strcasecmp(value.c_str(), "[unknown]") == 0) return "*";
  return value;
}

BanListener g_listener = nullptr;

bool RunBan(const BanEvent& e, std::int32_t player_id, const std::string& where) {
  const std::string address(BanIdentity(e.address));
  const std::string keyhash(BanIdentity(e.keyhash));
  const std::string guid(BanIdentity(e.guid));
  const char* name = e.name.c_str();
  if (!BanPlayer(name, player_id, address.c_str(), keyhash.c_str(), guid.c_str(),
                 e.admin.c_str(), e.ban_time, e.expiry, e.reason.c_str())) {
    LogMessage(6, "Couldn't ban player %s! The command failed.", name);
    return false;
  }
  if (e.expiry != 0) {
    LogMessage(6, "User %s at %s banned player %s (%s) until %sfor %s.", e.admin.c_str(),
               where.c_str(), name, keyhash.c_str(), ExpiryText(e.expiry).c_str(),
               e.reason.c_str());
  } else {
    LogMessage(6, "User %s at %s banned player %s (%s) permanently for %s.", e.admin.c_str(),
               where.c_str(), name, keyhash.c_str(), e.reason.c_str());
  }
  std::string map = StatusValue(Links().status_report, "mapname").value_or("");
  AppendAdminLog(name, address.c_str(), keyhash.c_str(), guid.c_str(), e.admin.c_str(),
                 static_cast<std::uint32_t>(e.ban_time), map.c_str(), "ban",
                 static_cast<std::uint32_t>(e.expiry), e.reason.c_str());
  NotifyAllClientsText(kNotifyPlayerBanned, e.name, 0);
  return true;
}

bool RunUnban(const BanEvent& e, const std::string& where) {
  if (!UnbanPlayer(e.name.c_str(), e.address.c_str(), e.keyhash.c_str(), e.guid.c_str()))
    return false;
  LogMessage(6, "User %s at %s removed ban on player %s (%s).", e.admin.c_str(), where.c_str(),
             e.name.c_str(), std::string(BanIdentity(e.keyhash)).c_str());
  NotifyAllClientsText(kNotifyBanRemoved, e.name, 0);
  return true;
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

// The player history hears of every ban and unban carried out here; the
// daemon's own bans (sender 0, "operator") are AutoBan's: repeat offenders.
static void RecordInHistory(const BanEvent& event) {
  auto given = [](const std::string& value) { return value == "*" ? std::string() : value; };
  if (event.unban) {
    RecordAction(HistoryKind::kUnban, event.name, given(event.address), given(event.keyhash),
                 event.admin, "", ClockNow());
    return;
  }
  std::string reason = event.reason;
  if (event.expiry != 0)
    reason += " (for " + std::to_string(event.expiry - event.ban_time) + " s)";
  RecordAction(HistoryKind::kBan, event.name, given(event.address), given(event.keyhash),
               event.admin == "operator" ? "auto: AutoBan" : event.admin, reason, event.ban_time);
}

bool RunBanEvent(const BanEvent& event, std::int32_t player_id, const std::string& where) {
  if (!(event.unban ? RunUnban(event, where) : RunBan(event, player_id, where))) return false;
  NotifyAllClients(kNotifyBanListChanged, nullptr, 0, 0);
  RecordInHistory(event);
  if (g_listener != nullptr) g_listener(event);
  return true;
}

void SetBanListener(BanListener listener) { g_listener = listener; }

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
  const std::int32_t duration = ban->duration;
  const std::time_t now = ClockNow();
  if (duration < 0) {
    LogMessage(6, "Couldn't ban player %s! A ban of %i seconds would have expired already.",
               ban->name.c_str(), duration);
    NotifyIssuer(command, kNotifyFailed);
    return;
  }
  BanEvent event{.name = ban->name, .address = RowIdentity(ban->address),
                 .keyhash = RowIdentity(ban->keyhash), .guid = RowIdentity(ban->guid),
                 .admin = SenderUserName(command.sender), .ban_time = now,
                 .expiry = duration == 0 ? 0 : now + duration, .reason = ban->reason, .origin = ""};
  if (!RunBanEvent(event, BannableId(*ban), SenderAddress(command.sender)))
    NotifyIssuer(command, kNotifyFailed);
}

// "name,address,keyhash,guid"; a missing field is empty.
void UnbanCommand(const QueuedCommand& command) {
  std::vector<std::string> f = SplitFields(QueuedText(command), ',', 4, true);
  f.resize(4);
  BanEvent event{.unban = true, .name = f[0], .address = RowIdentity(f[1]),
                 .keyhash = RowIdentity(f[2]), .guid = RowIdentity(f[3]),
                 .admin = SenderUserName(command.sender), .reason = "", .origin = ""};
  if (!RunBanEvent(event, -1, SenderAddress(command.sender)))
    NotifyIssuer(command, kNotifyFailed);
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
