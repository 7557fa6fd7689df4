// sd_notify messages for a Type=notify service.
#include "daemon/service_notify.h"

#include <cstdlib>

#ifdef KORV_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "core/log.h"

namespace {

void Notify(const char* state) {
  // Outside a service manager nothing is sent and libsystemd is not even
  // asked.
  if (std::getenv("NOTIFY_SOCKET") == nullptr) return;
#ifdef KORV_HAVE_LIBSYSTEMD
  int result = sd_notify(0, state);
  if (result < 0) LogMessage(6, "Couldn't notify the service manager (%s)!", state);
#else
  (void)state;
#endif
}

}  // namespace

void NotifyServiceReady() { Notify("READY=1"); }

void NotifyServiceStopping() { Notify("STOPPING=1"); }
