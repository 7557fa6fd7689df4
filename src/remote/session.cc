// Session table basics: slot 0, lookups, closing, and notifications.
#include "remote/session.h"


#include <cerrno>
#include <cstring>
#include <vector>

#include "core/helpers.h"
#include "core/log.h"
#include "core/manager_state.h"
#include "remote/transport.h"


void InitSessionTable() {
  for (ClientSession& slot : g_manager.remote.sessions) slot = ClientSession{};
  ClientSession& own = g_manager.remote.sessions[0];
  own.user_name = "operator";
  own.address = "console";
  own.access = 0xFFFFFFFF;
  own.socket = 0;
}

int FindSessionBySocket(int socket) {
  if (socket == 0) return 0;
  for (int slot = 1; slot < kSessionSlots; ++slot) {
    if (g_manager.remote.sessions[slot].socket == socket) return slot;
  }
  return -1;
}

bool CloseSession(int slot) {
  if (slot < 0 || slot >= kSessionSlots) return false;
  ClientSession& session = g_manager.remote.sessions[slot];
  LogMessage(6, "Client at %s has disconnected.", session.address.c_str());
  session = ClientSession{};
  return true;
}

bool NotifyClient(std::uint32_t code, int slot, const void* data, std::size_t length) {
  if (slot == 0) return true;
  if (slot < 0 || slot >= kSessionSlots) return false;
  const ClientSession& session = g_manager.remote.sessions[slot];
  if (!SendU32(session.socket, code) ||
      !SendU32(session.socket, static_cast<std::uint32_t>(length)) ||
      !SendAll(session.socket, data, length)) {
    LogMessage(6, "Couldn't notify client at %s! %s", session.address.c_str(),
               ErrorText(LastError()).c_str());
    return false;
  }
  return true;
}
