// The one instance of the settings' state section.
#include "settings/settings_state.h"

SettingsState& Settings() {
  static SettingsState section;
  return section;
}
