// gamesim's own messages: always for start, stop and faults; the game's
// happenings only with GAMESIM_VERBOSE set, since the terminal is shared.
#pragma once

namespace gamesim {

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace gamesim
