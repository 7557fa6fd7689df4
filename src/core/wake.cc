// The self-pipe that ends the main loop's wait when a signal comes.
#include "core/wake.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "core/core_state.h"
#include "core/last_error.h"
#include "core/log.h"

namespace {

// Its read end is in every wait of the loop, so a signal ends the wait at
// once, whenever it comes.
int g_wake_pipe[2] = {-1, -1};

}  // namespace

void OpenWakePipe() {
  if (g_wake_pipe[0] >= 0) return;
  if (::pipe2(g_wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0 || g_wake_pipe[0] >= FD_SETSIZE) {
    // Without the pipe the 3-second timeout still bounds the delay.
    LogMessage(6, "WARNING: Couldn't create the signal wake-up pipe! %s", ErrorText(errno).c_str());
    return;
  }
  if (Core().caught_signal != 0 || Core().caught_sigchld != 0) WakeMainLoop();
}

void CloseWakePipe() {
  for (int& fd : g_wake_pipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

int WakePipeFd() { return g_wake_pipe[0]; }

bool DrainWakePipe(fd_set* ready) {
  int fd = g_wake_pipe[0];
  if (fd < 0 || !FD_ISSET(fd, ready)) return false;
  FD_CLR(fd, ready);
  char bytes[64];
  while (::read(fd, bytes, sizeof bytes) > 0) {
  }
  return true;
}

void WakeMainLoop() {
  int saved = errno;
  if (g_wake_pipe[1] >= 0) {
    char byte = 0;
    ssize_t ignored = ::write(g_wake_pipe[1], &byte, 1);  // a full pipe already wakes
    (void)ignored;
  }
  errno = saved;
}

bool EndRequested() {
  // Once the loop has ended, taking leave (notifying clients, stopping the
  // server with -exit) may wait again.
  int signal = Core().caught_signal;
  return Core().loop_running && (signal == SIGTERM || signal == SIGINT);
}
