// Ban, unban and the expiry of timed bans.
#include "bans/bans.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

#include "bans/ban_file.h"
#include "bans/bans_state.h"
#include "core/clock.h"
#include "core/core_state.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/server_state.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "history/history.h"
#include "links/console.h"
#include "links/links_state.h"
#include "links/player_table.h"
#include "remote/command_queue.h"
#include "remote/session.h"
#include "settings/settings_table.h"

namespace {

enum Identity { kAddress = 0, kKeyhash = 1, kGuid = 2 };
constexpr const char* kIdentityWord[3] = {"address", "keyhash", "GUID"};
constexpr const char* kIdentityFailWord[3] = {"address", "keyhash", "guid"};
constexpr std::size_t kIdentityMax[3] = {kMaxBanAddressText, kMaxBanKeyText, kMaxBanGuidText};

// An identity goes into a console command and into a comma-separated row:
// a blank, comma, quote or line break would change the shape of either.
bool StorableIdentity(std::string_view value, Identity kind) {
  return value.size() <= kIdentityMax[kind] && value[0] != '*' &&
         value.find_first_of(" \t\r\n,\"") == std::string_view::npos;
}

// Names, admins and reasons are cut to fit and kept on one line; the
// quoted fields lose their quotes. An empty field cannot be stored.
std::string RowText(const char* text, std::size_t max, bool quoted, const char* empty) {
  std::string out = CutText(text, max);
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
    if (quoted && c == '"') c = '\'';
  }
  return out.empty() ? empty : out;
}

// `command` is the console command before its one value.
bool Console(const char* command, const std::string& value) {
  return ConsoleSend("%s %s", command, value.c_str()).has_value();
}

// The three identities of one unban, empty where nothing is to be lifted.
struct UnbanRequest {
  std::string name;
  std::string values[3];
  bool removed[3] = {false, false, false};
  bool ok = true;
  std::vector<std::string> messages;  // logged in order once the list is rewritten
};

// Empty for "[unknown]" and "*". False (and logged) when an identity could
// not be in a ban list, or when nothing is left to lift.
bool PrepareUnban(const char* name, const char* const values[3], UnbanRequest* request) {
  request->name = name != nullptr ? name : "";
  bool any = false;
  for (int i = 0; i < 3; ++i) {
    std::string value = values[i];
    if (EqualNoCase(value, "[unknown]") || value == "*") value.clear();
    if (!value.empty() && !StorableIdentity(value, static_cast<Identity>(i))) {
      LogMessage(6, "Couldn't unban %s %s! No ban list can hold it.", kIdentityFailWord[i],
                 CutText(value, 64).c_str());
      return false;
    }
    request->values[i] = value;
    any = any || !value.empty();
  }
  return any;
}

void Note(UnbanRequest* request, std::string message) {
  request->messages.push_back(std::move(message));
}

void NoteRemoved(UnbanRequest* request, int i) {
  request->removed[i] = true;
  Note(request, std::string("Ban removed on ") + kIdentityWord[i] + " " + request->values[i] + ".");
}

void UnbanThroughConsole(UnbanRequest* request) {
  static constexpr const char* kCommands[2] = {"admin.removeAddressFromBanList",
                                               "admin.removeKeyFromBanList"};
  for (int i = 0; i < 3; ++i) {
    const std::string& value = request->values[i];
    if (value.empty()) continue;
    if (i == kGuid && !Links().punkbuster_enabled) {
      Note(request, "Couldn't unban guid " + value + "! PunkBuster is not enabled.");
      request->ok = false;
      continue;
    }
    if (Console(i == kGuid ? "pb_sv_unbanguid" : kCommands[i], value)) {
      NoteRemoved(request, i);
    } else {
      Note(request, std::string("Couldn't unban ") + kIdentityFailWord[i] + " " + value +
                        "! The command failed.");
      request->ok = false;
    }
  }
}

// One identity from its file; `failure` is the file's error text, empty
// when the file dropped its lines.
void NoteFileResult(UnbanRequest* request, int i, const std::string& failure) {
  const std::string& value = request->values[i];
  if (value.empty()) return;
  if (failure.empty()) {
    NoteRemoved(request, i);
  } else {
    Note(request, std::string("Couldn't unban ") + kIdentityFailWord[i] + " " + value + "! " +
                      failure);
    request->ok = false;
  }
}

// The error text of a failed removal, empty when it succeeded.
std::string RemovalFailure(const std::string& path, const BanLineValues& values) {
  if (values.empty() || RemoveBanLines(path, values)) return "";
  return ErrorText(LastError());
}

// The file road: banlist.con and pb/pbbans.dat are each rewritten once for
// all the unbans, dropping only the lines that ban exactly their values.
void UnbanFromFiles(std::vector<UnbanRequest>& requests) {
  BanLineValues game;
  BanLineValues pb;
  for (const UnbanRequest& r : requests) {
    game.Add(BanKind::kAddress, r.values[kAddress]);
    game.Add(BanKind::kKey, r.values[kKeyhash]);
    pb.Add(BanKind::kGuid, r.values[kGuid]);
  }
  const std::string game_failure = RemovalFailure(GameBanListPath(), game);
  const std::string pb_failure = RemovalFailure(PunkBusterBanPath(), pb);
  for (UnbanRequest& r : requests) {
    NoteFileResult(&r, kAddress, game_failure);
    NoteFileResult(&r, kKeyhash, game_failure);
    NoteFileResult(&r, kGuid, pb_failure);
  }
}

// The values whose bans the stores dropped, by identity, matched whole
// and without regard to case.
using ClearedSets = BanLineValues;

// Reads serverbanlist.con whole; logs "Couldn't open banlist file! %s" or
// "Couldn't read banlist file! %s" and gives false on failure.
bool ReadServerBanList(const std::string& path, std::string* text) {
  UniqueFile file = OpenRegularStream(path);
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open banlist file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  struct stat st{};
  if (::fstat(::fileno(file.get()), &st) == 0 && st.st_size > 0)
    text->reserve(static_cast<std::size_t>(st.st_size));
  char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) text->append(chunk, got);
  if (std::ferror(file.get())) {
    SetLastError(errno);
    LogMessage(6, "Couldn't read banlist file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  return true;
}

// Rewrites serverbanlist.con: each identity in `cleared` becomes "*" in
// every row, rows left without identities and lines that are no rows are
// dropped. Rows that stay as they are written are copied in runs, so a
// large list with few changes costs little more than its copy. The
// replacement is atomic. `read` is the list as the caller has just read
// it, when it has.
bool RewriteServerBanList(const ClearedSets& cleared, const std::string* read = nullptr) {
  const std::string path = ServerBanListPath();
  std::string own;
  if (read == nullptr && !ReadServerBanList(path, &own)) return false;
  const std::string& text = read != nullptr ? *read : own;
  std::string out;
  out.reserve(text.size());
  std::string scratch;
  std::string_view f[8];
  std::string_view rest = text;
  const char* run = text.data();  // start of the rows copied as they stand
  auto copy_run = [&](const char* end) { out.append(run, static_cast<std::size_t>(end - run)); };
  while (!rest.empty()) {
    std::string_view line = NextBanLine(rest);
    bool keep_as_is = ParseBanFields(line, f);
    if (keep_as_is) {
      int gone = 0;
      for (int i = 0; i < 3; ++i) {
        std::string_view& value = f[1 + i];
        if (BanIdentity(value).empty()) {
          ++gone;
        } else if (cleared.Holds(static_cast<BanKind>(i), value, &scratch)) {
          value = "*";
          ++gone;
          keep_as_is = false;
        }
      }
      if (gone == 3) keep_as_is = false;
      if (keep_as_is && IsBanRowAsWritten(line, f)) continue;
      copy_run(line.data());
      if (gone < 3) AppendBanRow(out, f);
    } else {
      copy_run(line.data());
    }
    run = line.data() + line.size();
  }
  copy_run(text.data() + text.size());
  if (!ReplaceFileContents(path, out)) {
    LogMessage(6, "Couldn't remove ban! Couldn't rename %s. %s", path.c_str(),
               ErrorText(LastError()).c_str());
    return false;
  }
  return true;
}

void AddCleared(const UnbanRequest& request, ClearedSets& cleared) {
  for (int i = 0; i < 3; ++i) {
    if (request.removed[i]) cleared.Add(static_cast<BanKind>(i), request.values[i]);
  }
}

void LogNotes(const UnbanRequest& request) {
  for (const std::string& message : request.messages) LogMessage(6, "%s", message.c_str());
}

// Console road of a ban; the flags tell which identities the game took.
bool BanThroughConsole(const std::string& name, std::int32_t id, const std::string values[3],
                       bool banned[3]) {
  bool result = true;
  if (id != -1 && EqualNoCase(PlayerNameById(id), name)) {
    // The game bans the player it has: by key on the Internet, else by address.
    const bool internet = SettingValue(kSetServerInternet) != 0;
    const int kind = internet ? kKeyhash : kAddress;
    if (ConsoleSend(internet ? "admin.banPlayerKey %i" : "admin.banPlayer %i", id)) {
      LogMessage(6, "Ban added on %s %s.", kIdentityWord[kind], values[kind].c_str());
      banned[kind] = true;
    } else {
      LogMessage(6, "Couldn't ban player %s! The command failed.", name.c_str());
      result = false;
    }
  } else {
    static constexpr const char* kCommands[2] = {"admin.addAddressToBanList",
                                                 "admin.addKeyToBanList"};
    for (int i = kAddress; i <= kKeyhash; ++i) {
      if (values[i].empty()) continue;
      if (Console(kCommands[i], values[i])) {
        LogMessage(6, "Ban added on %s %s.", kIdentityWord[i], values[i].c_str());
        banned[i] = true;
      } else {
        LogMessage(6, "Couldn't ban %s %s! The command failed.", kIdentityFailWord[i],
                   values[i].c_str());
        result = false;
      }
    }
  }
  const std::string& guid = values[kGuid];
  if (guid.empty() || SettingValue(kSetBanInBfAndPb) == 0) return result;
  if (!Links().punkbuster_enabled) {
    LogMessage(6, "Couldn't ban guid %s! PunkBuster is not enabled.", guid.c_str());
    return false;
  }
  if (Console("pb_sv_banguid", guid)) {
    LogMessage(6, "Ban added on GUID %s.", guid.c_str());
    banned[kGuid] = true;
    return result;
  }
  LogMessage(6, "Couldn't ban guid %s! The command failed.", guid.c_str());
  return false;
}

bool BanIntoFiles(const std::string values[3], bool banned[3]) {
  bool result = true;
  for (int i = 0; i < 3; ++i) {
    if (values[i].empty()) continue;
    if (i == kGuid && !Core().punkbuster_installed) {
      LogMessage(6, "Couldn't ban guid %s! PunkBuster is not installed.", values[i].c_str());
      result = false;
      continue;
    }
    bool ok = i == kAddress   ? AppendAddressBan(values[i].c_str())
              : i == kKeyhash ? AppendKeyBan(values[i].c_str())
                              : AppendGuidBan(values[i].c_str());
    if (ok) {
      LogMessage(6, "Ban added on %s %s.", kIdentityWord[i], values[i].c_str());
      banned[i] = true;
    } else {
      LogMessage(6, "Couldn't ban %s %s! %s", kIdentityFailWord[i], values[i].c_str(),
                 ErrorText(LastError()).c_str());
      result = false;
    }
  }
  return result;
}

// Whether the expiry check may skip a list it has read before: the same
// file, and no timed ban in it due yet.
bool ListUnchangedAndNotDue(const struct stat& st, std::time_t now) {
  const BansState& bans = Bans();
  return bans.list_known && bans.list_inode == st.st_ino && bans.list_size == st.st_size &&
         bans.list_mtime_ns == st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec &&
         (bans.next_expiry == 0 || bans.next_expiry > static_cast<std::uint64_t>(now));
}

void RememberList(const struct stat& st, std::uint64_t next_expiry) {
  BansState& bans = MutableBans();
  bans.list_known = true;
  bans.list_inode = st.st_ino;
  bans.list_size = st.st_size;
  bans.list_mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  bans.next_expiry = next_expiry;
}

// The bans one expiry pass lifts: at most kExpirySliceBans, and on the
// console road only as many as kExpiryConsoleBudget allows; whatever is
// left is lifted by the next pass. A slice of more than kExpiryDetailed
// bans logs the identities it lifted as one line; every ban keeps its own
// "Removed timed-ban" line and every failure its message.
constexpr std::size_t kExpirySliceBans = 1000;
constexpr auto kExpiryConsoleBudget = std::chrono::milliseconds(100);
constexpr std::size_t kExpiryDetailed = 20;

struct ExpirySlice {
  std::vector<UnbanRequest> requests;
  std::vector<std::string> keyhashes;  // as the rows give them, for the log
};

// Takes the due bans of the list into the slice, in list order, after the
// first `skip` of them, and the earliest expiry still ahead into
// `next_expiry`. True when more bans are due than the slice holds.
bool CollectDueBans(std::string_view text, std::time_t now, std::size_t skip,
                    ExpirySlice* slice, std::uint64_t* next_expiry) {
  std::string_view f[8];
  while (!text.empty()) {
    std::string_view line = NextBanLine(text);
    if (!ParseBanFields(line, f)) continue;
    const std::uint64_t expiry = BanExpiry(f[6]);
    if (expiry == 0) continue;
    if (expiry > static_cast<std::uint64_t>(now)) {
      if (*next_expiry == 0 || expiry < *next_expiry) *next_expiry = expiry;
      continue;
    }
    if (slice->requests.size() == kExpirySliceBans) return true;
    const std::string name(f[0]), address(f[1]), keyhash(f[2]), guid(f[3]);
    const char* values[3] = {address.c_str(), keyhash.c_str(), guid.c_str()};
    UnbanRequest request;
    if (!PrepareUnban(name.c_str(), values, &request)) continue;
    if (skip > 0) {
      --skip;
      continue;
    }
    slice->requests.push_back(std::move(request));
    slice->keyhashes.push_back(keyhash);
  }
  return false;
}

// Lifts the slice's bans through the console until its time is spent or the
// link drops; the bans not tried leave the slice. True when some were left.
bool LiftThroughConsole(ExpirySlice* slice) {
  const auto start = std::chrono::steady_clock::now();
  std::size_t tried = 0;
  for (UnbanRequest& request : slice->requests) {
    if (tried > 0 && (!Links().console_connected ||
                      std::chrono::steady_clock::now() - start >= kExpiryConsoleBudget))
      break;
    UnbanThroughConsole(&request);
    ++tried;
  }
  const bool left = tried < slice->requests.size();
  slice->requests.resize(tried);
  slice->keyhashes.resize(tried);
  return left;
}

void LogExpiries(const ExpirySlice& slice, bool rewritten, std::time_t now) {
  const bool detailed = slice.requests.size() <= kExpiryDetailed;
  if (!detailed) {
    std::size_t lifted = 0;
    for (const UnbanRequest& request : slice.requests)
      for (bool removed : request.removed) lifted += removed ? 1 : 0;
    LogMessage(6, "Removing %zu expired timed-bans: their %zu address, keyhash and GUID bans "
                  "were lifted without a line each.",
               slice.requests.size(), lifted);
  }
  for (std::size_t i = 0; i < slice.requests.size(); ++i) {
    const UnbanRequest& request = slice.requests[i];
    for (const std::string& message : request.messages)
      if (detailed || message.starts_with("Couldn't")) LogMessage(6, "%s", message.c_str());
    if (!rewritten || !request.ok) continue;
    LogMessage(6, "Removed timed-ban on player %s (%s), the ban has expired.",
               request.name.c_str(), slice.keyhashes[i].c_str());
    RecordAction(HistoryKind::kUnban, request.name, request.values[kAddress],
                 request.values[kKeyhash], "auto: expiry", "the timed ban ran out", now);
  }
}

}  // namespace

bool BanPlayer(const char* name_in, std::int32_t player_id, const char* address,
               const char* keyhash, const char* guid, const char* admin_in, std::time_t ban_time,
               std::time_t expiry, const char* reason_in) {
  if (name_in == nullptr || address == nullptr || keyhash == nullptr || guid == nullptr ||
      admin_in == nullptr || reason_in == nullptr)
    return false;
  const std::string name = RowText(name_in, kMaxBanNameText, true, "[unknown]");
  std::string values[3] = {address, keyhash, guid};
  bool any = false;
  for (int i = 0; i < 3; ++i) {
    if (IsUnknownValue(values[i].c_str())) values[i].clear();
    if (!values[i].empty() && !StorableIdentity(values[i], static_cast<Identity>(i))) {
      LogMessage(6, "Couldn't ban player %s! No ban list can hold the %s %s.", name.c_str(),
                 kIdentityFailWord[i], CutText(values[i], 64).c_str());
      return false;
    }
    any = any || !values[i].empty();
  }
  if (!any) return false;
  bool banned[3] = {false, false, false};
  bool result;
  if (Server().server_running) {
    if (!Links().console_connected) {
      LogMessage(6, "Couldn't ban player %s! Korvane is not connected to the server. Try again later.",
                 name.c_str());
      return false;
    }
    result = BanThroughConsole(name, player_id, values, banned);
  } else {
    result = BanIntoFiles(values, banned);
  }
  if (!banned[kAddress] && !banned[kKeyhash] && !banned[kGuid]) {
    LogMessage(6, "Couldn't ban player %s! The command failed.", name.c_str());
    return false;
  }
  std::string row[3];
  for (int i = 0; i < 3; ++i) row[i] = banned[i] && !values[i].empty() ? values[i] : "*";
  BanEntry entry{name,
                 row[kAddress],
                 row[kKeyhash],
                 row[kGuid],
                 RowText(admin_in, kMaxBanAdminText, true, "operator"),
                 std::to_string(static_cast<unsigned long>(ban_time)),
                 std::to_string(static_cast<unsigned long>(expiry)),
                 RowText(reason_in, kMaxBanReasonText, false, "unknown reason")};
  if (!AppendToFile(ServerBanListPath(), FormatBanEntry(entry))) {
    LogMessage(6, "Couldn't open banlist file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  if (player_id != -1) RemovePlayerById(player_id);
  return result;
}

bool UnbanPlayer(const char* name, const char* address, const char* keyhash, const char* guid) {
  if (address == nullptr || keyhash == nullptr || guid == nullptr) return false;
  const char* values[3] = {address, keyhash, guid};
  std::vector<UnbanRequest> requests(1);
  if (!PrepareUnban(name, values, &requests[0])) return false;
  if (Server().server_running) {
    UnbanThroughConsole(&requests[0]);
  } else {
    UnbanFromFiles(requests);
  }
  LogNotes(requests[0]);
  ClearedSets cleared;
  AddCleared(requests[0], cleared);
  if (!RewriteServerBanList(cleared)) return false;
  NotifyAllClients(kNotifyBanListChanged, nullptr, 0, 0);
  return requests[0].ok;
}

namespace {

// One slice of the expiry; `skip` due bans at the head of the list are
// left alone (they failed earlier in this round).
bool ExpireSlice(std::time_t now, std::size_t skip) {
  MutableBans().expiry_skip = 0;
  if (!Links().console_connected) return false;
  const std::string path = ServerBanListPath();
  struct stat st{};
  const bool have_stat = ::stat(path.c_str(), &st) == 0;
  if (have_stat && ListUnchangedAndNotDue(st, now)) return true;
  MutableBans().list_known = false;
  std::optional<std::string> text = ReadWholeFile(path);
  if (!text) {
    LogMessage(6, "Couldn't open banlist file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  ExpirySlice slice;
  std::uint64_t next_expiry = 0;
  bool more = CollectDueBans(*text, now, skip, &slice, &next_expiry);
  if (slice.requests.empty()) {
    if (have_stat && skip == 0) RememberList(st, next_expiry);
    return true;
  }
  if (Server().server_running) {
    more = LiftThroughConsole(&slice) || more;
  } else {
    UnbanFromFiles(slice.requests);
  }
  ClearedSets cleared;
  std::size_t failed = 0;
  for (const UnbanRequest& request : slice.requests) {
    AddCleared(request, cleared);
    failed += request.ok ? 0 : 1;
  }
  // Nothing else writes the list while the slice runs: the text read
  // above is still the file.
  const bool rewritten = RewriteServerBanList(cleared, &*text);
  LogExpiries(slice, rewritten, now);
  if (!rewritten) return true;  // the next tick tries the list again
  NotifyAllClients(kNotifyBanListChanged, nullptr, 0, 0);
  // The next slice follows on the loop's next pass. The bans a store
  // refused stay in the list, due; the rest of this round passes over them
  // and the next tick tries them again.
  if (more) {
    MutableBans().expiry_skip = skip + failed;
    QueueCommandOnce(kCmdExpireBans, nullptr, 0, 0);
  }
  return true;
}

}  // namespace

bool ExpireTimedBansAt(std::time_t now) { return ExpireSlice(now, 0); }

void ContinueTimedBanExpiry() { ExpireSlice(ClockNow(), Bans().expiry_skip); }
