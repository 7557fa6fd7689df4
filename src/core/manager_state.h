// The one process-wide state record. Each subsystem owns one section;
// tests reset the whole record through ResetManagerState().
#pragma once

#include "core/core_state.h"
#include "links/links_state.h"
#include "remote/remote_state.h"
#include "server/server_state.h"
#include "server/ticks_state.h"
#include "settings/settings_state.h"

struct ManagerState {
  CoreState core;
  ServerState server;
  RemoteState remote;
  LinksState links;
  TickState ticks;
  SettingsState settings;
};

extern ManagerState g_manager;

// Puts every field back to its initial value (for tests and start-up).
void ResetManagerState();
