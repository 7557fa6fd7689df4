// The fleet link: bans and unbans shared with the other servers of a fleet
// through a PostgreSQL database. Each server writes its own to a table of
// ban events and is told of new ones by a notification; it applies the
// others' through its own ban road. The link never waits: libpq runs
// non-blocking, its socket in the main loop's select().
#pragma once

#include <sys/select.h>

#include <ctime>

#include "commands/ban_road.h"

// Takes up the [fleet] settings of korvd.conf: with a database, loads
// fleetqueue.con and fleetapplied.con; the link connects on the next pass.
// Without one the link stays off. Also run when korvd.conf is reloaded.
void StartFleet();

// The ban road's listener: queues a ban or unban made on this server for
// the database (kept in fleetqueue.con until the database took it). Events
// that came from the fleet are not sent again. With the queue full the
// event is dropped with a WARNING naming the player.
void QueueFleetEvent(const BanEvent& event);

// Before select(): adds the link's socket to the sets libpq waits on and
// shortens *wait_ms to the next connection attempt.
void WatchFleet(fd_set* read, fd_set* write, long* wait_ms);
// After select(): advances the link (connects with backoff, reads
// notifications and results, sends the queue, fetches new events) and
// applies up to 16 fetched events, each once, in id order. `ready` and
// `writable` are select()'s sets; the link's socket is taken out of them.
// Returns how many of select()'s ready entries were the link's.
int ServeFleet(std::time_t now, fd_set* ready, fd_set* writable);

// The server's name in the fleet: [fleet] server, else the server
// directory's base name.
std::string FleetServerName();
