// The one instance of the settings' state section.
#include "settings/settings_state.h"

namespace {
SettingsState g_section;
}  // namespace

const SettingsState& Settings() { return g_section; }
SettingsState& MutableSettings() { return g_section; }

void ClearUnpureMods() { g_section.unpure_mods.clear(); }

void AddUnpureMod(const std::string& name) {
  if (!g_section.unpure_mods.empty()) g_section.unpure_mods += ",";
  g_section.unpure_mods += name;
}
