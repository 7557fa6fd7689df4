// The weekly schedule of start, stop and restart events: serverschedule.con,
// the tick that warns the players and fires events, and the event that
// waits for the end of the running game.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "schedule/schedule_state.h"

// Reads the schedule file into the table (cleared first). Lines lacking a
// field, or with a time of 0 or beyond 32 bits, are skipped; a time that
// is already taken is moved on by a second until it is free, and then the
// file is rewritten and the clients are told the schedule changed. False
// (logged, last error set) when the file cannot be opened (the table is
// unchanged) or read (the events read so far stay).
bool LoadSchedule(const std::string& path);
// Writes the table, "*" for an empty path. False (logged) on failure.
bool SaveSchedule(const std::string& path);
// A schedule a client uploaded to `uploaded`: it replaces the file at
// `path` and is loaded when every event names its files as "*" or as
// regular files inside the settings directory. Otherwise it is removed and
// the refusal logged; false then.
bool AcceptUploadedSchedule(const std::string& uploaded, const std::string& path);

// Runs at the start of every supervision tick: queues each warning of the
// events due within three minutes once, fires in time order every event
// whose time came since the last tick (one supervision period back on the
// first), and lets an event that waits for the end of the game become the
// pending one. True when an event fired.
bool ScheduleTick(std::time_t now);
// Carries out the event with this time; true when it was carried out.
bool FireEvent(std::uint32_t time);

// The status tick's step for the pending event: it fires once the game has
// ended, or at once when the server's process is no longer the one it
// began waiting with. A scheduled restart's start also runs here, once the
// 3-second pause after its stop is over.
void RunPendingEvent(std::time_t now);
// The status report shows the end of the game.
void NoteGameEnded();

// What starts and stops the game server (the launcher's StartServer and
// StopServer, installed by the daemon).
void SetScheduleServerControl(bool (*start)(), bool (*stop)(bool crash_handling));
