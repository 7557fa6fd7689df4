// The wake-up pipe of the main loop and the end request every wait obeys.
#pragma once

#include <sys/select.h>

// Opens the self-pipe the signal handlers write to (once, when the loop
// starts: detaching closes every descriptor). A signal caught before that
// is noticed on the first pass.
void OpenWakePipe();

// Closes the pipe (the state record's reset); OpenWakePipe opens it again.
void CloseWakePipe();

// The read end of the pipe, -1 when it could not be opened.
int WakePipeFd();

// Empties the pipe; true when it was readable in `ready` (its bit is
// cleared).
bool DrainWakePipe(fd_set* ready);

// Ends any wait of the main loop at once; safe inside a signal handler.
void WakeMainLoop();

// True once SIGTERM or SIGINT was caught while the loop runs: every wait
// of the daemon gives way to it and reports failure, so that the loop can
// end.
bool EndRequested();
