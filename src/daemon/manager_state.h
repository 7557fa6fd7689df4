// The one process-wide state record. Each subsystem owns one section and
// offers its accessor (Core(), Links(), ...) in the section's header; the
// record gathers them for the daemon's wiring and for the tests, which
// reset the whole record through ResetManagerState().
#pragma once

#include "bans/bans_state.h"
#include "core/core_state.h"
#include "core/server_state.h"
#include "core/tick_state.h"
#include "fleet/fleet_state.h"
#include "history/history_state.h"
#include "links/links_state.h"
#include "moderation/moderation_state.h"
#include "remote/remote_state.h"
#include "schedule/schedule_state.h"
#include "settings/settings_state.h"

struct ManagerState {
  CoreState& core;
  ServerState& server;
  RemoteState& remote;
  LinksState& links;
  TickState& ticks;
  SettingsState& settings;
  BansState& bans;
  ModerationState& moderation;
  ScheduleState& schedule;
  FleetState& fleet;
  HistoryState& history;
};

extern ManagerState g_manager;

// Puts every field of every section back to its initial value, closes the
// client connections, the console socket and the wake-up pipe, drops the
// cached file frame and the last error, and installs the hooks between
// subsystems (for tests and start-up).
void ResetManagerState();
