// useraccess.con, the account table, access letters and the login check.
#include "remote/accounts.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/clock.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "core/log.h"
#include "core/core_state.h"
#include "remote/remote_state.h"
#include "core/client_key.h"
#include "remote/session.h"
#include "wire/account_line.h"

namespace {

constexpr std::size_t kLineLimit = 1024;
constexpr std::size_t kMaxAccountFile = 4u << 20;
constexpr char kLetters[] = "SGFIATMPBUHC";
// Accounts an upload may leave in the file, the rows beyond the table
// included: the file stays one that a login reads at once.
constexpr std::size_t kMaxAccountsKept = 10000;

// Reads the file as whitespace-separated tokens. False on a read error
// (last error set); a missing file is reported by the caller.
bool ReadTokens(std::FILE* file, std::vector<std::string>* tokens) {
  std::string current;
  std::size_t total = 0;
  int c = 0;
  while ((c = std::fgetc(file)) != EOF) {
    if (++total > kMaxAccountFile) break;  // nothing sane is this large
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!current.empty()) tokens->push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(static_cast<char>(c));
    }
  }
  if (!current.empty()) tokens->push_back(std::move(current));
  if (std::ferror(file)) return FailWithErrno();
  return true;
}

void LogOpenFailure() {
  LogMessage(6, "Couldn't open user access file! %s", ErrorText(LastError()).c_str());
}

void LogReadFailure() {
  LogMessage(6, "Couldn't read user access file! %s", ErrorText(LastError()).c_str());
}

UniqueFile OpenForReading(const std::string& path) {
  UniqueFile file = OpenRegularStream(path);
  if (!file) {
    SetLastError(errno);
    LogOpenFailure();
  }
  return file;
}

std::uint32_t RotateLeft(std::uint32_t x, int bits) { return (x << bits) | (x >> (32 - bits)); }

std::uint32_t& RngWord(int offset) {
  RemoteState& remote = MutableRemote();
  int index = ((remote.rng_index + offset) % kRngWords + kRngWords) % kRngWords;
  return remote.rng_state[index];
}

void RngStep() {
  std::uint32_t x = RngWord(0) + RngWord(-47);
  x = RotateLeft(x, 25) ^ RngWord(-173);
  x = RotateLeft(x, 3) - RngWord(17);
  x = RotateLeft(x, 31) + RngWord(-1);
  x ^= RngWord(211);
  RngWord(0) = x;
  MutableRemote().rng_index = (MutableRemote().rng_index + 1) % kRngWords;
}

void RngMix(std::uint32_t value) {
  RngStep();
  RngWord(0) ^= value;
}

void RngSkip(int n) {
  for (int i = 0; i < n * kRngWords + 570; ++i) RngStep();
}

std::uint32_t RngNext() {
  RngSkip(1);
  return RngWord(0);
}

// The account table up to its first empty entry.
int AccountCount() {
  int count = 0;
  while (count < kMaxAccounts && !Remote().accounts[count].user_name.empty()) ++count;
  return count;
}

// Reads whole lines of up to 1024 bytes without their line ends. False on
// a read error (last error set).
bool ReadLines(std::FILE* file, std::vector<std::string>* lines) {
  std::string line;
  std::size_t total = 0;
  while (ReadLineBounded(file, kLineLimit, &line)) {
    total += line.size();
    if (total > kMaxAccountFile) break;
    TrimLineEnd(line);
    lines->push_back(line);
  }
  if (std::ferror(file)) return FailWithErrno();
  return true;
}

// The login check's scan of the rows; see CheckUserLogin.
struct LoginScan {
  int result = kLoginBadUser;
  bool found = false;
  bool any_row = false;
  bool plain = false;
  std::uint32_t access = 0;
  std::string name;
};

void ScanLoginRows(const std::vector<std::string>& tokens, std::string_view user,
                   std::string_view password, LoginScan* scan) {
  for (const std::string& token : tokens) {
    std::optional<AccountRow> row = SplitAccountRow(token);
    if (!row) continue;
    scan->any_row = true;
    std::string name = DecodeAccountField(row->fields[0], kAccountNameSize, &scan->plain);
    std::string pass = DecodeAccountField(row->fields[1], kAccountPasswordSize, &scan->plain);
    if (!EqualNoCase(name, user)) continue;
    if (!EqualNoCase(pass, password)) {
      scan->result = kLoginBadPassword;
      return;
    }
    if (!row->fields[4].empty() && row->fields[4][0] == '0') {
      scan->result = kLoginDisabled;
      return;
    }
    scan->access = ParseAccessMask(row->fields[3]);
    if (scan->access == 0) {
      scan->result = kLoginNoAccess;
      return;
    }
    scan->found = true;
    scan->name = name;
    return;
  }
}

bool AlreadyConnected(const std::string& name, std::uint32_t access) {
  if (access & kAccessMultiLogin) return false;
  for (int slot = 1; slot < kSessionSlots; ++slot) {
    const ClientSession& session = Remote().sessions[slot];
    if (session.socket != 0 && EqualNoCase(session.user_name, name)) return true;
  }
  return false;
}

// A password field goes into a line of useraccess.con as it is, so it must
// not carry the separators of that file.
bool IsSafeField(std::string_view field) {
  for (char c : field) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == ',' || std::isspace(byte) || std::iscntrl(byte)) return false;
  }
  return true;
}

}  // namespace

std::string UserAccessPath() { return Core().settings_dir + "/useraccess.con"; }

std::string AccessLettersText(std::uint32_t mask) {
  if (mask == kAdminMask) return "-- admin --";
  std::string text;
  for (int bit = 0; bit < 12; ++bit) {
    char letter = kLetters[bit];
    text.push_back((mask >> bit) & 1 ? letter : static_cast<char>(std::tolower(letter)));
  }
  return text;
}

std::string RandomPadding(std::size_t n) {
  RngMix(static_cast<std::uint32_t>(ClockNow()));
  RngMix(static_cast<std::uint32_t>(::getpid()));
  std::srand(static_cast<unsigned>(ClockNow()));
  RngMix(static_cast<std::uint32_t>(std::floor(std::rand() * 65535.0 / 2147483648.0) + 1));
  RngSkip(10);
  std::string text;
  for (std::size_t i = 0; i < std::min<std::size_t>(n, 32); ++i) {
    std::int64_t v = static_cast<std::int32_t>(RngNext());
    if (v < 0) v = -v;
    text.push_back(static_cast<char>('0' + v % 74));
  }
  return text;
}

std::string EncipherField(std::string_view value, std::size_t size) {
  return EncipherAccountField(value, size, RandomPadding(size));
}

int CheckUserLogin(std::string_view user, std::string_view password, std::uint32_t* access,
                   std::string* account_name) {
  std::string path = UserAccessPath();
  std::vector<std::string> tokens;
  {
    UniqueFile file = OpenForReading(path);
    if (!file) return kLoginNoAccounts;
    if (!ReadTokens(file.get(), &tokens)) {
      LogReadFailure();
      return kLoginNoAccounts;
    }
  }
  LoginScan scan;
  ScanLoginRows(tokens, user, password, &scan);
  if (scan.found && AlreadyConnected(scan.name, scan.access)) return kLoginAlreadyConnected;
  if (scan.result != kLoginBadUser) return scan.result;
  if (scan.plain) LoadUserAccounts(path);
  if (!scan.any_row) return kLoginNoAccounts;
  if (!scan.found) return kLoginBadUser;
  *access = scan.access;
  if (account_name != nullptr) *account_name = scan.name;
  return kLoginAccepted;
}

namespace {

// The table followed by the rows beyond it: the accounts of the file.
std::vector<UserAccount> AllAccounts() {
  std::vector<UserAccount> all(Remote().accounts.begin(), Remote().accounts.begin() + AccountCount());
  all.insert(all.end(), Remote().accounts_beyond_table.begin(),
             Remote().accounts_beyond_table.end());
  return all;
}

// Keeps the rows after the table's last (the table itself holds the first).
void KeepBeyondTable(const std::vector<UserAccount>& all) {
  auto& beyond = MutableRemote().accounts_beyond_table;
  beyond.clear();
  if (all.size() > static_cast<std::size_t>(kMaxAccounts))
    beyond.assign(all.begin() + kMaxAccounts, all.end());
}

// The table holds 100 accounts; the rows after them still log in (the login
// check reads the file) and survive every rewrite of the file.
void WarnBeyondTable(const std::string& path, std::size_t count) {
  if (count <= static_cast<std::size_t>(kMaxAccounts)) return;
  LogMessage(6, "WARNING: %s holds %i user accounts! Only the first %i are loaded; the others "
             "stay in the file.", path.c_str(), static_cast<int>(count), kMaxAccounts);
}

// Writes accounts enciphered, one line each. False (logged) on failure.
bool WriteAccountLines(const std::string& path, std::span<const UserAccount> accounts) {
  std::string contents;
  for (const UserAccount& account : accounts) contents += FormatAccountLine(account, RandomPadding);
  CreateFileWithDirs(path, 0);
  if (!ReplaceFileContents(path, contents, FileAccess::kOwnerOnly)) {
    LogOpenFailure();
    return false;
  }
  return true;
}

}  // namespace

bool LoadUserAccounts(const std::string& path) {
  UniqueFile file = OpenForReading(path);
  if (!file) return false;
  for (UserAccount& account : MutableRemote().accounts) account = UserAccount{};
  MutableRemote().accounts_beyond_table.clear();
  std::vector<std::string> tokens;
  bool read_ok = ReadTokens(file.get(), &tokens);
  file.reset();
  bool plain = false;
  std::vector<UserAccount> rows;
  for (const std::string& token : tokens) {
    std::optional<AccountRow> row = SplitAccountRow(token);
    if (!row) continue;
    UserAccount account = DecodeAccountRow(*row, &plain);
    // An empty name would end the table and hide the accounts after it.
    if (account.user_name.empty()) continue;
    if (rows.size() < static_cast<std::size_t>(kMaxAccounts))
      MutableRemote().accounts[rows.size()] = account;
    rows.push_back(std::move(account));
  }
  if (!read_ok) {
    LogReadFailure();
    return false;
  }
  KeepBeyondTable(rows);
  WarnBeyondTable(path, rows.size());
  if (plain) WriteAccountLines(path, rows);
  return true;
}

bool SaveUserAccounts(const std::string& path) {
  return WriteAccountLines(path, AllAccounts());
}

bool SetUserPassword(std::string_view user, std::string_view password_field) {
  if (user.empty() || password_field.empty() || !IsSafeField(password_field)) return false;
  std::string path = UserAccessPath();
  std::vector<std::string> tokens;
  {
    UniqueFile file = OpenForReading(path);
    if (!file) return false;
    if (!ReadTokens(file.get(), &tokens)) {
      LogReadFailure();
      return false;
    }
  }
  std::string contents;
  bool changed = false;
  for (const std::string& token : tokens) {
    std::optional<AccountRow> row = SplitAccountRow(token);
    if (!row) continue;
    bool plain = false;
    if (DecodeAccountField(row->fields[0], kAccountNameSize, &plain) == user) {
      row->fields[1] = password_field;
      changed = true;
    }
    contents += JoinAccountRow(*row);
  }
  // Nothing to change means the account is gone: the password did not change.
  if (!changed) return false;
  if (!ReplaceFileContents(path, contents, FileAccess::kOwnerOnly)) {
    LogMessage(6, "Couldn't rename %s! %s", path.c_str(), ErrorText(LastError()).c_str());
    return false;
  }
  // The table changes with the file: a later save of the table (an upload
  // of the account list) must not bring the old password back.
  bool plain = false;
  std::string password = DecodeAccountField(password_field, kAccountPasswordSize, &plain);
  for (int i = 0; i < AccountCount(); ++i) {
    UserAccount& account = MutableRemote().accounts[i];
    if (account.user_name == user) account.password = password;
  }
  for (UserAccount& account : MutableRemote().accounts_beyond_table)
    if (account.user_name == user) account.password = password;
  return true;
}

namespace {

// The accounts of the file while an upload merges into them, found by
// their exact names.
struct AccountList {
  std::vector<UserAccount> rows;
  std::unordered_map<std::string, std::size_t> by_name;
};

// Stores one uploaded account in the list under the sender's access (steps
// a to e). False when the list had no room for a new account.
bool MergeUploadedAccount(AccountList& list, const UserAccount& row, std::uint32_t sender) {
  std::string name = SenderUserName(sender);
  const char* who = name.c_str();
  std::string address = SenderAddress(sender);
  std::uint32_t have = SenderAccess(sender);
  if (!AccessIsSubset(have, row.access)) {
    LogMessage(6, "SECURITY ALERT! User %s at %s attempted to grant access they don't have to "
               "account %s!", who, address.c_str(), row.user_name.c_str());
    return true;
  }
  auto found = list.by_name.find(row.user_name);
  if (found != list.by_name.end() && !AccessIsSubset(have, list.rows[found->second].access)) {
    LogMessage(6, "SECURITY ALERT! User %s at %s attempted to update a user account %s that has "
               "greater access!", who, address.c_str(), row.user_name.c_str());
    return true;
  }
  if (found != list.by_name.end()) {
    list.rows[found->second] = row;
    return true;
  }
  if (list.rows.size() >= kMaxAccountsKept) return false;
  LogMessage(6, "User %s at %s added user account %s.", who, address.c_str(),
             row.user_name.c_str());
  list.by_name.emplace(row.user_name, list.rows.size());
  list.rows.push_back(row);
  return true;
}

std::string Lowered(std::string text) {
  LowerCase(text);
  return text;
}

void DeleteMissingAccounts(std::vector<UserAccount>& all,
                           const std::vector<std::string>& uploaded_names, std::uint32_t sender) {
  std::unordered_set<std::string> listed;
  for (const std::string& name : uploaded_names) listed.insert(Lowered(name));
  std::uint32_t have = SenderAccess(sender);
  std::erase_if(all, [&](const UserAccount& account) {
    if (listed.count(Lowered(account.user_name)) > 0 || !AccessIsSubset(have, account.access))
      return false;
    LogMessage(6, "User %s at %s deleted user account %s.", SenderUserName(sender).c_str(),
               SenderAddress(sender).c_str(), account.user_name.c_str());
    return true;
  });
}

}  // namespace

bool ApplyUserAccountUpload(const std::string& path, std::uint32_t sender) {
  std::vector<std::string> lines;
  {
    UniqueFile file = OpenForReading(path);
    if (!file) return false;
    if (!ReadLines(file.get(), &lines)) {
      LogReadFailure();
      return false;
    }
  }
  // The merge runs over every account of the file, the rows beyond the
  // table too; the table then holds the first 100, as after a load.
  AccountList list;
  list.rows = AllAccounts();
  for (std::size_t i = 0; i < list.rows.size(); ++i) list.by_name.emplace(list.rows[i].user_name, i);
  std::vector<std::string> names;
  int dropped = 0;
  for (const std::string& line : lines) {
    std::optional<AccountRow> row = SplitAccountRow(line);
    if (!row) continue;
    bool plain = false;
    UserAccount account = DecodeAccountRow(*row, &plain);
    names.push_back(account.user_name);
    // An empty name would end the table and hide every account after it.
    if (account.user_name.empty()) continue;
    if (!MergeUploadedAccount(list, account, sender)) ++dropped;
  }
  if (dropped > 0) {
    LogMessage(6, "WARNING: The user account table is full (%i accounts)! %i uploaded account(s) "
               "were dropped.", static_cast<int>(kMaxAccountsKept), dropped);
  }
  std::vector<UserAccount>& all = list.rows;
  DeleteMissingAccounts(all, names, sender);
  auto& table = MutableRemote().accounts;
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = i < all.size() ? all[i] : UserAccount{};
  KeepBeyondTable(all);
  WarnBeyondTable(UserAccessPath(), all.size());
  return SaveUserAccounts(UserAccessPath());
}

bool ExportUserAccounts(const std::string& path, std::uint32_t sender) {
  if (EqualNoCase(path, UserAccessPath())) return false;
  std::vector<std::string> lines;
  {
    UniqueFile file = OpenForReading(UserAccessPath());
    if (!file) return false;
    if (!ReadLines(file.get(), &lines)) {
      LogReadFailure();
      return false;
    }
  }
  std::uint32_t have = SenderAccess(sender);
  std::string contents;
  for (const std::string& line : lines) {
    std::optional<AccountRow> row = SplitAccountRow(line);
    if (!row) continue;
    if (have != kAdminMask && !AccessIsSubset(have, ParseAccessMask(row->fields[3]))) continue;
    contents += JoinAccountRow(*row);
  }
  CreateFileWithDirs(path, 0);
  // The rows hold passwords, enciphered with a key every client carries.
  if (!ReplaceFileContents(path, contents, FileAccess::kOwnerOnly)) {
    LogOpenFailure();
    return false;
  }
  return true;
}
