// The ban road's own entry points: a ban or an unban carried out with its
// audit line, admin-log row and notifications, for the queued commands and
// for bans that other servers of a fleet made; and the one listener told of
// every ban and unban that succeeded.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// A ban or unban as the ban list row holds it ("*" for an identity not
// given). `origin` is empty for this server's own, else the name of the
// fleet server the ban came from.
struct BanEvent {
  bool unban = false;
  std::string name;
  std::string address = "*";
  std::string keyhash = "*";
  std::string guid = "*";
  std::string admin;  // who banned or unbanned
  std::int64_t ban_time = 0;
  std::int64_t expiry = 0;  // 0 = permanent
  std::string reason;
  std::string origin;
};

// Carries out `event` as the ban and unban commands do: the stores, then
// "User %s at %s ..." with `where` as the address, the admin-log row and the
// client notifications; `player_id` as for BanPlayer (-1 off the server).
// The listener hears of it when it succeeded. False when it failed (the
// stores' messages are logged).
bool RunBanEvent(const BanEvent& event, std::int32_t player_id, const std::string& where);

// The one procedure told of each ban and unban that succeeded; none: nobody.
using BanListener = void (*)(const BanEvent& event);
void SetBanListener(BanListener listener);
