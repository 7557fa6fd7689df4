// Telling a service manager how the daemon is doing: only when it runs
// under one (NOTIFY_SOCKET is set) and only when built with libsystemd.
#pragma once

// "READY=1": the daemon listens for clients.
void NotifyServiceReady();
// "STOPPING=1": the daemon is on its way out.
void NotifyServiceStopping();
