// The writable accessors of the game server's and the ticks' sections. Their
// instances and read-only accessors are core's (core/state_sections.cc), as
// lower folders read them; only the server folder writes them.
#include "core/server_state.h"
#include "core/tick_state.h"

ServerState& MutableServer() { return const_cast<ServerState&>(Server()); }
TickState& MutableTicks() { return const_cast<TickState&>(Ticks()); }
