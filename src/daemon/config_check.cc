// The configuration check: the start-up's own loaders, run while the core's
// check flag keeps every file writer and the log off the disk.
#include "daemon/config_check.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string_view>

#include "bans/ban_file.h"
#include "core/core_state.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/log.h"
#include "daemon/options.h"
#include "daemon/startup.h"
#include "moderation/banned_words.h"
#include "remote/accounts.h"
#include "schedule/schedule.h"
#include "settings/settings_files.h"
#include "settings/settings_table.h"

namespace {

// Reads a ban file whole; a file that cannot be read is logged.
std::optional<std::string> ReadBanFile(const std::string& path) {
  std::optional<std::string> text = ReadWholeFile(path);
  // A file that is not regular or too large was named by the reader.
  int error = LastError();
  if (!text && error != EINVAL && error != EISDIR && error != EFBIG)
    LogMessage(6, "Couldn't read %s! %s", path.c_str(), ErrorText(error).c_str());
  return text;
}

bool CheckGameBanFile(const std::string& path) { return ReadBanFile(path).has_value(); }

// serverbanlist.con: every line that is not blank must be a ban row, or
// every reader of the list passes over it.
bool CheckServerBanList(const std::string& path) {
  std::optional<std::string> text = ReadBanFile(path);
  if (!text) return false;
  int number = 0;
  for (std::string_view line : SplitBanLines(*text)) {
    ++number;
    if (line.find_first_not_of(" \t\r\n") == std::string_view::npos) continue;
    if (!ParseBanEntry(line))
      LogMessage(6, "WARNING: %s line %i is no ban row; the ban lists pass over it.",
                 path.c_str(), number);
  }
  return true;
}

struct CheckedFile {
  const char* name;  // in the settings directory, or the server directory
  bool in_server_dir;
  bool (*load)(const std::string& path);
};

// In the order a start loads them. A file that is missing is no fault: a
// start creates it empty (korvane.con with the defaults).
constexpr CheckedFile kCheckedFiles[] = {
    {"korvane.con", false,
     [](const std::string& path) { return LoadSettings(path, kAllGroups, kNoCaller); }},
    {"useraccess.con", false, LoadUserAccounts},
    {"serverschedule.con", false, LoadSchedule},
    {"bannedwords.con", false, [](const std::string&) { return LoadBannedWords(); }},
    {"serverbanlist.con", false, CheckServerBanList},
    {"banlist.con", false, CheckGameBanFile},
    {"pb/pbbans.dat", true, CheckGameBanFile},
};

}  // namespace

int RunConfigCheck(const std::vector<std::string>& ignored_options) {
  ReportIgnoredOptions(ignored_options);
  int before = Core().check_problems;
  for (auto missing : {MissingServerBinary, MissingModFolder}) {
    if (std::optional<std::string> fault = missing()) LogMessage(6, "%s", fault->c_str());
  }
  LoadOwnSettings();
  InitSettings();
  for (const CheckedFile& file : kCheckedFiles) {
    std::string path =
        (file.in_server_dir ? Core().server_dir : Core().settings_dir) + "/" + file.name;
    if (FileExists(path)) file.load(path);
  }
  int problems = Core().check_problems - before;
  if (problems == 0) {
    std::printf("Configuration check of %s: no problems found.\n", Core().settings_dir.c_str());
  } else {
    std::printf("Configuration check of %s: %i problem(s) found.\n",
                Core().settings_dir.c_str(), problems);
  }
  std::fflush(stdout);
  return problems == 0 ? 0 : 1;
}
