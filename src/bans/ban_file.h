// The three ban stores and their line formats: the daemon's own list
// serverbanlist.con (one BanEntry a line, wire/ban_row.h), the game's
// banlist.con (console commands) and PunkBuster's pb/pbbans.dat
// (time-stamped GUIDs).
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "wire/ban_row.h"

// Paths of the stores and of the daemon's list.
std::string ServerBanListPath();
std::string GameBanListPath();
std::string PunkBusterBanPath();

// The first blank-separated word of exactly 32 characters (a GUID), or "".
std::string_view FindGuidWord(std::string_view line);
// Splits a banlist.con line at blanks into command and value; false when
// the line has no value.
bool SplitBanCommand(std::string_view line, std::string_view* command, std::string_view* value);

// True for null, empty and "[unknown]" (any case): no value to store.
bool IsUnknownValue(const char* value);

// Append one ban line to banlist.con or pb/pbbans.dat. False for an
// unknown value (nothing touched, nothing logged) or when the file cannot
// be opened ("Couldn't open server banlist file! %s", last error set).
bool AppendAddressBan(const char* address);
bool AppendKeyBan(const char* keyhash);
bool AppendGuidBan(const char* guid);
// The lines of those files, without appending (for whole-list rewrites).
std::string AddressBanLine(std::string_view address);
std::string KeyBanLine(std::string_view keyhash);
std::string GuidBanLine(std::string_view guid, std::time_t when);

// Which identity a ban line bans.
enum class BanKind { kAddress = 0, kKey = 1, kGuid = 2 };
// The value a line of a ban store bans, of that kind: the address of an
// "admin.addAddressToBanList" line (its value up to the first ':'), the
// value of an "admin.addKeyToBanList" line (commands compared without
// case), the GUID of a pb/pbbans.dat line. Empty when the line bans none.
std::string_view BannedValue(std::string_view line, BanKind kind);

// Values of each kind, matched whole and without regard to case: those
// whose ban lines a removal drops, or whose rows an unban clears.
class BanLineValues {
 public:
  void Add(BanKind kind, std::string_view value);
  bool empty() const;
  // True when the line bans one of the values.
  bool Matches(std::string_view line, std::string* scratch) const;
  // True when `value` is one of the values of that kind.
  bool Holds(BanKind kind, std::string_view value, std::string* scratch) const;

 private:
  std::unordered_set<std::string> values_[3];
  // Bit n is set when a value of n characters is held; longer values are
  // never banned (the identities a ban list holds are shorter).
  std::uint64_t lengths_[3] = {0, 0, 0};
};

// Drop the lines that ban exactly the value from banlist.con (an address
// line for that address, a key line for that key) or pb/pbbans.dat (a line
// with that GUID); every other line stays as it is. The file is rewritten
// atomically. False for an unknown value or when the file could not be
// read ("Couldn't open %s! %s", "Couldn't read %s! %s") or rewritten
// ("Couldn't open %s! %s"), last error set.
bool RemoveAddressBan(const char* address);
bool RemoveKeyBan(const char* keyhash);
bool RemoveGuidBan(const char* guid);
// The same for many values in one rewrite of the file.
bool RemoveBanLines(const std::string& path, const BanLineValues& values);

// True when a line of the file that does not begin with ';' holds the
// text. Logs "Couldn't open banlist file! %s" or "Couldn't read banlist
// file! %s" and gives false when the file fails.
bool BanFileContains(const std::string& path, std::string_view text);
