// The one instance of the remote clients' state section.
#include "remote/remote_state.h"

namespace {
RemoteState g_section;
}  // namespace

const RemoteState& Remote() { return g_section; }
RemoteState& MutableRemote() { return g_section; }

void SetStartMap(const std::string& map) { g_section.start_map = map; }
void MarkServerPaused(bool paused) { g_section.server_paused = paused; }

void CountCommandServed(std::uint32_t code) {
  if (code >= kClientBase && code <= kClientLast) ++g_section.commands_served[code - kClientBase];
}
