// Start-up of the settings: initial values, the mod and map lists, the
// snapshot, loading (or creating) korvane.con, and the idle map.
#include "daemon/settings_startup.h"

#include <cerrno>

#include "content/content_discovery.h"
#include "daemon/manager_state.h"
#include "core/core_state.h"
#include "core/last_error.h"
#include "core/log.h"
#include "settings/settings_files.h"
#include "settings/settings_table.h"

namespace {

// Loads korvane.con; a missing or empty file is filled with the defaults.
std::optional<std::string> LoadOrCreateSettingsFile(const std::string& path) {
  if (LoadSettings(path, kAllGroups, kNoCaller)) return std::nullopt;
  if (LastError() != ENOENT) return "Couldn't load settings file! " + ErrorText(LastError());
  Setting(kSetServerIp).value = static_cast<std::int32_t>(Core().ip_option);
  SaveSettings(path, kAllGroups);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> PrepareSettings() {
  const std::string& settings_dir = Core().settings_dir;
  InitSettings();
  if (!WriteModsFile(settings_dir + "/mods.con")) return "Couldn't determine available mods!";
  if (!WriteMapsFile(settings_dir + "/maps.con")) return "Couldn't determine available maps!";
  ClearSettingsSnapshot();
  std::string korvane = settings_dir + "/korvane.con";
  if (std::optional<std::string> fatal = LoadOrCreateSettingsFile(korvane)) return fatal;
  // Ports given as "@" server commands win over the stored values.
  ApplyCommandLinePorts();
  std::optional<std::string> idle =
      ReadConValue(settings_dir + "/servermaplist.con", "game.setIdleLevel", kMaxIdleMapText + 1);
  if (idle) SetIdleMap(*idle);
  if (Core().ip_option != 0) {
    Setting(kSetServerIp).value = static_cast<std::int32_t>(Core().ip_option);
    SaveSettings(korvane, kAllGroups);
  }
  return std::nullopt;
}
