// Naming maps as "map mode mod" for the status text, the supervision tick
// and the in-game commands.
#include "content/map_text.h"

#include <strings.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "core/choice_list.h"
#include "core/files.h"
#include "core/last_error.h"
#include "wire/status_report.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "core/log.h"
#include "core/core_state.h"
#include "core/server_state.h"
#include "settings/settings_table.h"

namespace {

struct ModeCode {
  std::string_view gametype;  // as the status report gives it, lower case
  std::string_view code;
};
constexpr std::array<ModeCode, 5> kModeCodes = {{
    {"conquest", "GPM_CQ"},
    {"coop", "GPM_COOP"},
    {"ctf", "GPM_CTF"},
    {"tdm", "GPM_TDM"},
    {"objectivemode", "GPM_OBJECTIVEMODE"},
}};

std::string CodeOfGametype(const std::string& gametype) {
  for (const ModeCode& mode : kModeCodes) {
    if (gametype == mode.gametype) return std::string(mode.code);
  }
  return "???";
}

// The label of a mode code; a code without a label is shown as it is.
std::string ModeText(const std::string& code, bool code_form) {
  if (code_form) return code;
  return ChoiceLabel(kGameModeChoices, code).value_or(code);
}

std::string Combine(const std::string& map, const std::string& mode, const std::string& mod) {
  return map + " " + mode + " " + mod;
}

std::vector<std::string_view> Words(std::string_view text, std::size_t max_words) {
  std::vector<std::string_view> words;
  while (words.size() < max_words) {
    std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    std::size_t end = text.find(' ');
    words.push_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  return words;
}

// The map, mode and mod of a "game.setCurrentLevel map mode mod" line.
std::optional<std::array<std::string, 3>> LevelOfLine(std::string_view line) {
  std::vector<std::string_view> words = Words(line, 3);
  if (words.size() < 3 || words[0].size() != 20 ||
      strncasecmp(words[0].data(), "game.setCurrentLevel", 20) != 0)
    return std::nullopt;
  // The mod is the rest of the line after the mode word.
  std::size_t rest_start = static_cast<std::size_t>(words[2].data() + words[2].size() -
                                                    line.data());
  std::string_view rest = line.substr(rest_start);
  std::size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) return std::nullopt;
  return std::array<std::string, 3>{std::string(words[1]), std::string(words[2]),
                                    std::string(rest.substr(start))};
}

}  // namespace

std::string CurrentMapText(bool code_form, std::string_view report) {
  if (!Server().server_running) return "-";
  std::optional<std::string> map = StatusValue(report, "mapname");
  std::optional<std::string> mod = StatusValue(report, "gameId");
  std::optional<std::string> gametype = StatusValue(report, "gametype");
  if (!map || !mod || !gametype) return "-";
  std::string map_name = CutText(*map, 63);
  LowerCase(map_name);
  for (char& c : map_name) {
    if (c == ' ') c = '_';
  }
  std::string mod_name = CutText(*mod, 31);
  LowerCase(mod_name);
  std::string type = *gametype;  // only looked up, never shown
  LowerCase(type);
  std::string code = CodeOfGametype(type);
  return Combine(map_name, code == "???" ? code : ModeText(code, code_form), mod_name);
}

std::optional<std::string> CurrentLevelText(bool code_form, std::string_view start_map) {
  std::vector<std::string_view> words = Words(start_map, 3);
  if (words.size() == 3) {
    return Combine(std::string(words[0]), ModeText(std::string(words[1]), code_form),
                   std::string(words[2]));
  }
  std::string path = Core().settings_dir +
                     (Server().server_running ? "/maplist.con" : "/servermaplist.con");
  UniqueFile file = OpenRegularStream(path);
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open map list file! %s", ErrorText(LastError()).c_str());
    return std::nullopt;
  }
  std::string line;
  while (ReadLineBounded(file.get(), 1024, &line)) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::optional<std::array<std::string, 3>> level = LevelOfLine(line);
    if (level) return Combine((*level)[0], ModeText((*level)[1], code_form), (*level)[2]);
  }
  if (std::ferror(file.get())) {
    SetLastError(errno);
    LogMessage(6, "Couldn't read map list file! %s", ErrorText(LastError()).c_str());
    return std::nullopt;
  }
  return "-";
}
