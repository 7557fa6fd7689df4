// The settings files: korvane.con (the daemon's own store, read and
// written), serversettings.con and serverautoexec.con (written for the game
// server), and reading or replacing one key's line in any .con file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

struct SettingEntry;

// Group mask bits: bits 0 to 11 select groups; this bit also reloads the
// rows that take effect only when the game server starts.
inline constexpr std::uint32_t kRestartOnlyBit = 0x8000;
inline constexpr std::uint32_t kAllGroups = 0xFFFFFFFF;
inline constexpr int kNoCaller = -1;

// Who a remote client in a session slot is, for the audit lines.
struct CallerName {
  std::string user;
  std::string address;
};

// Installs what names the client in a session slot (the remote clients'
// sessions, which the daemon wires in); false for a slot without a client.
void SetCallerNamer(bool (*namer)(int slot, CallerName* name));

// Appends the row's line(s) under `key` to `out`, in the file format of its
// kind; an Action row that is off writes nothing.
void WriteSettingLine(std::string* out, std::string_view key, int index);
// The same for a row that is not in the table (a value still to be checked
// in, such as one a form sends).
void WriteSettingEntryLine(std::string* out, std::string_view key, const SettingEntry& row);

// The rows of the selected groups under their names, in table order.
std::string SettingsText(std::uint32_t group_mask);
// Rewrites the file (atomically) with the rows of the selected groups under
// their names. False when it cannot be written: last error set, logged.
bool SaveSettings(const std::string& path, std::uint32_t group_mask);

// Reads the selected groups from the file into the table, in one pass. The
// first line of a key counts; a welcome message takes every line with its
// key. An absent key turns an Action row off and empties a welcome message;
// other rows keep their values. Lines longer than 1023 characters are
// skipped, and a file with no known key at all is named, each with a
// WARNING. `caller` is the session slot of a remote client, whose changes
// are audited, or kNoCaller for the daemon itself. False with last error 2
// (no message) for an empty file, or with errno and a message when it
// cannot be opened or read.
bool LoadSettings(const std::string& path, std::uint32_t group_mask, int caller);
// The same for a settings text held in memory (an upload); `name` stands
// for it in the log lines.
bool LoadSettingsText(std::string_view text, const std::string& name, std::uint32_t group_mask,
                      int caller);

// The game server's start-up files. False with last error set, logged.
bool WriteServerSettings(const std::string& path);
bool WriteServerAutoexec(const std::string& path);

// The value (rest of the line after the key and one blank, at most
// size - 1 characters) of the first line whose first word is `key`. None
// when not found, for an empty file (last error 2) or on a failure (logged).
std::optional<std::string> ReadConValue(const std::string& path, std::string_view key,
                                        std::size_t size);

// Replaces every line containing the key by "key value"; an empty value
// removes those lines. Result of ReplaceLinesInFile.
bool SetConValue(const std::string& path, std::string_view key, std::string_view value);
