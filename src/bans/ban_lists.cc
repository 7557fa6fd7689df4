// Whole-list operations on the ban stores: verification both ways, the
// sync in either direction and clearing.
#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "bans/ban_file.h"
#include "bans/bans.h"
#include "core/clock.h"
#include "core/core_state.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/server_state.h"
#include "links/console.h"
#include "links/links_state.h"
#include "remote/remote_state.h"
#include "remote/session.h"
#include "settings/settings_table.h"

namespace {

// `failure` is the message before the error text ("Couldn't open ... file!").
std::optional<std::string> ReadList(const std::string& path, const char* failure) {
  std::optional<std::string> text = ReadWholeFile(path);
  if (!text) LogMessage(6, "%s %s", failure, ErrorText(LastError()).c_str());
  return text;
}

// A value read from a game store may go into a row only if it keeps the
// row's shape.
bool FitsRow(std::string_view value) {
  return !value.empty() && value[0] != '*' &&
         value.find_first_of(",\"\r\n") == std::string_view::npos;
}

void DebugMarker(int marker) {
  if (Core().debug) LogMessage(6, "DEBUG: Marker %i", marker);
}

std::string ImportedRow(std::string_view address, std::string_view keyhash, std::string_view guid) {
  return FormatBanEntry(BanEntry{"[unknown]", std::string(address), std::string(keyhash),
                                 std::string(guid), "operator", "0", "0", "unknown reason"});
}

// Replaces a ban file whole; its directory is made first when missing.
bool WriteBanFile(const std::string& path, const std::string& text) {
  CreateFileWithDirs(path, 0);
  if (ReplaceFileContents(path, text)) return true;
  LogMessage(6, "Couldn't open banlist file! %s", ErrorText(LastError()).c_str());
  return false;
}

using ValueSet = std::unordered_set<std::string_view>;

// The name and the three identities of a row, the last without a line end;
// false when the line holds fewer fields. The checks need no more.
bool RowIdentities(std::string_view line, std::string_view f[8]) {
  ParseBanFields(line, f);
  if (f[3].data() == nullptr) return false;
  while (!f[3].empty() && (f[3].back() == '\n' || f[3].back() == '\r')) f[3].remove_suffix(1);
  return true;
}

// The values a store holds, read once and looked up in sets, so that a
// check costs one pass over each file instead of one per row. A value is
// held when it stands as a word (split at blanks, an address up to its
// ':') on a line that does not begin with ';'.
class GameStore {
 public:
  explicit GameStore(std::string path) : path_(std::move(path)) {}
  // False (logged as a failing search is) when the file cannot be read.
  bool Holds(std::string_view value, bool address, bool* held) {
    if (!loaded_ && !Load()) return false;
    *held = (address ? addresses_ : words_).count(value) != 0;
    return true;
  }

 private:
  bool Load() {
    std::optional<std::string> text = ReadList(path_, "Couldn't open banlist file!");
    if (!text) return false;
    text_ = std::move(*text);
    for (std::string_view line : SplitBanLines(text_)) {
      if (line.empty() || line[0] == ';') continue;
      std::string_view word;
      while (NextWord(line, &word)) {
        words_.insert(word);
        std::size_t colon = word.find(':');
        if (colon != std::string_view::npos) addresses_.insert(word.substr(0, colon));
      }
    }
    loaded_ = true;
    return true;
  }
  static bool NextWord(std::string_view& rest, std::string_view* word) {
    std::size_t start = rest.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) return false;
    rest.remove_prefix(start);
    std::size_t end = std::min(rest.find_first_of(" \t\r\n"), rest.size());
    *word = rest.substr(0, end);
    rest.remove_prefix(end);
    return true;
  }

  std::string path_;
  std::string text_;
  bool loaded_ = false;
  ValueSet words_;
  ValueSet addresses_;
};

// The identities serverbanlist.con lists, each kind in its own set: a
// game ban is listed when some row holds its value as a whole field.
class ListedBans {
 public:
  bool Holds(int kind, std::string_view value, bool* held) {
    if (!loaded_ && !Load()) return false;
    *held = sets_[kind].count(value) != 0;
    return true;
  }

 private:
  bool Load() {
    std::optional<std::string> text = ReadList(ServerBanListPath(), "Couldn't open banlist file!");
    if (!text) return false;
    text_ = std::move(*text);
    for (std::string_view line : SplitBanLines(text_)) {
      if (line.empty() || line[0] == ';') continue;
      std::string_view f[8];
      if (!RowIdentities(line, f)) continue;
      for (int i = 0; i < 3; ++i)
        if (!BanIdentity(f[1 + i]).empty()) sets_[i].insert(f[1 + i]);
    }
    loaded_ = true;
    return true;
  }

  std::string text_;
  bool loaded_ = false;
  ValueSet sets_[3];
};

}  // namespace

bool VerifyGameBansListed() {
  std::optional<std::string> text = ReadList(ServerBanListPath(), "Couldn't open banlist file!");
  if (!text) return false;
  GameStore game(GameBanListPath());
  GameStore pb(PunkBusterBanPath());
  for (std::string_view line : SplitBanLines(*text)) {
    // Only the first four fields count here: a row without its times is
    // still checked.
    std::string_view f[8];
    if (!RowIdentities(line, f)) continue;
    std::string_view address = BanIdentity(f[1]);
    std::string_view keyhash = BanIdentity(f[2]);
    std::string_view guid = BanIdentity(f[3]);
    bool held = true;
    if (!address.empty() && (!game.Holds(address, true, &held) || !held)) return false;
    if (!keyhash.empty() && (!game.Holds(keyhash, false, &held) || !held)) return false;
    if (!guid.empty() && (!pb.Holds(guid, false, &held) || !held)) return false;
  }
  return true;
}

bool VerifyServerBansListed() {
  std::optional<std::string> text =
      ReadList(GameBanListPath(), "Couldn't open server banlist file!");
  if (!text) {
    DebugMarker(1);
    return false;
  }
  ListedBans listed;
  bool held = true;
  for (std::string_view line : SplitBanLines(*text)) {
    if (std::string_view address = BannedValue(line, BanKind::kAddress); !address.empty()) {
      if (!listed.Holds(0, address, &held) || !held) {
        DebugMarker(3);
        return false;
      }
    } else if (std::string_view key = BannedValue(line, BanKind::kKey); !key.empty()) {
      if (!listed.Holds(1, key, &held) || !held) {
        DebugMarker(4);
        return false;
      }
    }
  }
  if (!Core().punkbuster_installed) return true;
  text = ReadList(PunkBusterBanPath(), "Couldn't open PunkBuster banlist file!");
  if (!text) return false;
  for (std::string_view line : SplitBanLines(*text)) {
    if (line.empty() || line[0] == '\n' || line[0] == ';') continue;
    std::string_view guid = FindGuidWord(line);
    if (!guid.empty() && (!listed.Holds(2, guid, &held) || !held)) {
      DebugMarker(6);
      return false;
    }
  }
  return true;
}

bool SyncToServerBanList() {
  if (Server().server_running) {
    SetLastError(EBUSY);  // the running game would overwrite the files
    return false;
  }
  std::optional<std::string> text = ReadList(ServerBanListPath(), "Couldn't open banlist file!");
  if (!text) return false;
  const bool punkbuster = Core().punkbuster_installed;
  std::string game;
  std::string pb;
  const std::time_t now = ClockNow();
  for (std::string_view line : SplitBanLines(*text)) {
    std::optional<BanEntry> entry = ParseBanEntry(line);
    if (!entry) continue;
    std::string_view address = BanIdentity(entry->address);
    std::string_view keyhash = BanIdentity(entry->keyhash);
    std::string_view guid = BanIdentity(entry->guid);
    // "[unknown]" holds no ban; the appenders would refuse it.
    if (!address.empty() && !IsUnknownValue(entry->address.c_str())) game += AddressBanLine(address);
    if (!keyhash.empty() && !IsUnknownValue(entry->keyhash.c_str())) game += KeyBanLine(keyhash);
    if (punkbuster && !guid.empty() && !IsUnknownValue(entry->guid.c_str()))
      pb += GuidBanLine(guid, now);
  }
  // Each store is replaced whole: a failure leaves it as it was.
  if (!WriteBanFile(GameBanListPath(), game)) return false;
  return !punkbuster || WriteBanFile(PunkBusterBanPath(), pb);
}

bool SyncFromServerBanList() {
  std::optional<std::string> game =
      ReadList(GameBanListPath(), "Couldn't open server banlist file!");
  if (!game) return false;
  std::string rows;
  for (std::string_view line : SplitBanLines(*game)) {
    if (std::string_view address = BannedValue(line, BanKind::kAddress); FitsRow(address)) {
      rows += ImportedRow(address, "*", "*");
    } else if (std::string_view key = BannedValue(line, BanKind::kKey); FitsRow(key)) {
      rows += ImportedRow("*", key, "*");
    }
  }
  if (Core().punkbuster_installed) {
    std::optional<std::string> pb =
        ReadList(PunkBusterBanPath(), "Couldn't open PunkBuster banlist file!");
    if (!pb) return false;
    for (std::string_view line : SplitBanLines(*pb)) {
      std::string_view guid = FindGuidWord(line);
      if (FitsRow(guid)) rows += ImportedRow("*", "*", guid);
    }
  }
  return WriteBanFile(ServerBanListPath(), rows);
}

void ClearBanLists(std::uint32_t sender) {
  const bool issuer_is_client = sender >= 1 && sender <= static_cast<std::uint32_t>(kMaxClients);
  auto fail = [&] {
    if (issuer_is_client) NotifyClient(kNotifyFailed, static_cast<int>(sender), nullptr, 0);
  };
  const bool running = Server().server_running;
  if (running) {
    if (!ConsoleSend("admin.clearBanList")) {
      LogMessage(6, "Couldn't clear server banlist! The command failed.");
      fail();
      return;
    }
    if (Links().punkbuster_enabled && SettingValue(kSetBanInBfAndPb) != 0 &&
        !ConsoleSend("pb_sv_banempty"))
      LogMessage(6, "Couldn't clear PunkBuster banlist! The command failed.");
  }
  bool ok = WriteBanFile(ServerBanListPath(), "");
  if (ok && !running) ok = WriteBanFile(GameBanListPath(), "") && WriteBanFile(PunkBusterBanPath(), "");
  if (!ok) {
    fail();
    return;
  }
  LogMessage(6, "User %s at %s cleared the banlist.", SenderUserName(sender).c_str(),
             SenderAddress(sender).c_str());
  NotifyAllClients(kNotifyBansCleared, nullptr, 0, 0);
}
