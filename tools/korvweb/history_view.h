// A player's page: the player history the daemon keeps (names, addresses,
// sessions, warnings, kicks, bans, unbans and notes), read and noted over
// the browser session's own daemon link.
//   GET  /api/history?q=NAME|KEYHASH|ADDRESS  {"players": [...], "more": false}
//   POST /api/history/note  {"keyhash": ..., "text": ...}
#pragma once

#include "korvweb/app.h"

namespace korvweb {

void RegisterHistory(GateServer& server, WithLinkFn with_link);

}  // namespace korvweb
