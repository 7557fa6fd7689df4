// Session table basics: slot 0, lookups, sender ids, closing, and
// notifications.
#include "remote/session.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/core_state.h"
#include "remote/remote_state.h"
#include "remote/accounts.h"
#include "remote/connection.h"

namespace {

constexpr const char* kUnknown = "[unknown]";

bool IsClientSlot(std::uint32_t sender) { return sender >= 1 && sender <= kMaxClients; }

// The account index of an in-game sender, -1 when the id is not one.
int GameAccountIndex(std::uint32_t sender) {
  if (sender < kGameSenderBase || static_cast<std::int32_t>(sender) < 0) return -1;
  std::uint32_t index = sender - kGameSenderBase;
  return index < static_cast<std::uint32_t>(kMaxAccounts) ? static_cast<int>(index) : -1;
}

}  // namespace

void InitSessionTable() {
  for (ClientSession& slot : MutableRemote().sessions) slot = ClientSession{};
  ClientSession& own = MutableRemote().sessions[0];
  own.user_name = "operator";
  own.address = "console";
  own.access = kAdminMask;
  own.socket = 0;
}

int FindSessionBySocket(int socket) {
  if (socket == 0) return 0;
  for (int slot = 1; slot < kSessionSlots; ++slot) {
    if (Remote().sessions[slot].socket == socket) return slot;
  }
  return -1;
}

bool CloseSession(int slot) {
  if (slot < 0 || slot >= kSessionSlots) return false;
  ClientSession& session = MutableRemote().sessions[slot];
  LogMessage(6, "Client at %s has disconnected.", session.address.c_str());
  session = ClientSession{};
  return true;
}

void DropSession(int slot) {
  if (slot < 1 || slot >= kSessionSlots) return;
  int socket = Remote().sessions[slot].socket;
  if (socket == 0) return;
  CloseConnection(socket);
  CloseSession(slot);
}

std::string SenderUserName(std::uint32_t sender) {
  if (sender == 0) return "operator";
  if (IsClientSlot(sender)) return Remote().sessions[sender].user_name;
  int account = GameAccountIndex(sender);
  if (account >= 0) return Remote().accounts[account].user_name;
  return kUnknown;
}

std::string SenderAddress(std::uint32_t sender) {
  if (sender == 0) return "console";
  if (IsClientSlot(sender)) return Remote().sessions[sender].address;
  if (static_cast<std::int32_t>(sender) >= 0 && sender >= kGameSenderBase) return "game";
  return kUnknown;
}

std::uint32_t SenderAccess(std::uint32_t sender) {
  if (sender == 0) return kAdminMask;
  if (IsClientSlot(sender)) return Remote().sessions[sender].access;
  int account = GameAccountIndex(sender);
  if (account >= 0) return Remote().accounts[account].access;
  return 0;
}

bool NotifyClient(std::uint32_t code, int slot, const void* data, std::size_t length) {
  if (slot == 0) return true;
  if (slot < 0 || slot >= kSessionSlots) return false;
  const ClientSession& session = Remote().sessions[slot];
  // A free slot has no connection: sending to descriptor 0 would write into
  // whatever the daemon's standard input is.
  // One send for the whole message: split into small writes, the second
  // would wait for the client's delayed acknowledgement of the first.
  if (session.socket <= 0) {
    SetLastError(EBADF);
  } else if (length > 0 && data == nullptr) {
    SetLastError(EINVAL);
  } else {
    // Most notifications are short: they are built on the stack.
    unsigned char small[256];
    std::vector<unsigned char> large;
    unsigned char* message = small;
    if (8 + length > sizeof small) {
      large.resize(8 + length);
      message = large.data();
    }
    StoreU32(message, code);
    StoreU32(message + 4, static_cast<std::uint32_t>(length));
    if (length > 0) std::memcpy(message + 8, data, length);
    if (QueueClientOutput(session.socket, message, 8 + length)) return true;
  }
  LogMessage(6, "Couldn't notify client at %s! %s", session.address.c_str(),
             ErrorText(LastError()).c_str());
  return false;
}

bool NotifyAllClients(std::uint32_t code, const void* data, std::size_t length, int except) {
  for (int slot = 1; slot < kSessionSlots; ++slot) {
    if (slot == except || Remote().sessions[slot].socket == 0) continue;
    if (NotifyClient(code, slot, data, length)) continue;
    if (LastError() != ENOTSOCK && LastError() != EBADF) continue;
    if (Core().debug) {
      LogMessage(6, "DEBUG: Removing dead client at %s.",
                 Remote().sessions[slot].address.c_str());
    }
    DropSession(slot);
  }
  return true;
}

bool NotifyAllClientsText(std::uint32_t code, const std::string& text, int except) {
  return NotifyAllClients(code, text.c_str(), text.size() + 1, except);
}
