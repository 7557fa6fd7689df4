// The login handshake of a freshly accepted client connection.
#include <cstring>
#include <string_view>

#include "core/byte_order.h"
#include "core/last_error.h"
#include "core/rc4.h"
#include "core/log.h"
#include "core/server_state.h"
#include "remote/remote_state.h"
#include "remote/accounts.h"
#include "core/client_key.h"
#include "remote/session.h"
#include "remote/connection.h"
#include "remote/login_penalty.h"

namespace {

// Passwords never reach the log: anyone allowed to download it would read
// other users' mistyped passwords.
constexpr const char* kPasswordMask = "********";

// The text of one enciphered 32-byte block.
std::string LoginText(std::string_view input) {
  unsigned char block[kLoginBlockSize];
  std::memcpy(block, input.data(), sizeof block);
  Rc4Crypt(block, sizeof block, kClientKey, kClientKeySize);
  return std::string(reinterpret_cast<const char*>(block),
                     strnlen(reinterpret_cast<const char*>(block), sizeof block));
}

int FirstFreeSlot() {
  for (int slot = 1; slot < kSessionSlots; ++slot) {
    if (Remote().sessions[slot].socket == 0 && ReservedSlotCount(slot) == 0) return slot;
  }
  return -1;
}

void LogRefusal(int result, const std::string& address, const std::string& user) {
  switch (result) {
    case kLoginBadUser:
      LogMessage(6, "SECURITY ALERT! Client at %s failed to authenticate! Bad username (%s).",
                 address.c_str(), user.c_str());
      break;
    case kLoginBadPassword:
      LogMessage(6, "SECURITY ALERT! Client at %s failed to authenticate! Bad password (%s) for "
                 "user account (%s).", address.c_str(), kPasswordMask, user.c_str());
      break;
    case kLoginDisabled:
      LogMessage(6, "SECURITY ALERT! Client at %s failed to authenticate! User account (%s) is "
                 "inactive.", address.c_str(), user.c_str());
      break;
    case kLoginNoAccounts:
      LogMessage(6, "SECURITY ALERT! Client at %s failed to authenticate! No remote access is "
                 "permitted.", address.c_str());
      break;
    case kLoginServerFull:
      LogMessage(6, "Client at %s failed to authenticate! Maximum number of connected clients "
                 "(%i) has been reached.", address.c_str(), kMaxClients);
      break;
    default:
      break;  // results 4 and 6 are refused without a line
  }
}

bool SendByte(int socket, unsigned char byte) { return QueueClientOutput(socket, &byte, 1); }

bool SendU32To(int socket, std::uint32_t value) {
  unsigned char bytes[4];
  StoreU32(bytes, value);
  return QueueClientOutput(socket, bytes, 4);
}

// Ends the handshake: the connection closes once its last bytes are out.
std::size_t Refuse(ClientConnection& c, std::size_t used) {
  MarkClosing(c.fd, true);
  return used;
}

std::size_t TransportFailed(ClientConnection& c, std::size_t used) {
  LogMessage(6, "Couldn't authenticate client! %s", ErrorText(LastError()).c_str());
  MarkClosing(c.fd, false);
  return used;
}

// The user name and password blocks: the result byte, and on acceptance the
// access mask and the daemon's protocol version.
std::size_t ServeLogin(ClientConnection& c, std::string_view input) {
  if (input.size() < 2 * kLoginBlockSize) return 0;
  // After repeated failures from its address a login waits before it is
  // even checked: a guess that gives up early has learnt nothing.
  const auto now = ConnectionClock::now();
  const auto allowed_at = LoginAllowedAt(c.ip, now);
  if (allowed_at > now) {
    HoldConnection(c.fd, std::chrono::ceil<std::chrono::milliseconds>(allowed_at - now), nullptr);
    return 0;
  }
  std::string user = LoginText(input);
  std::string password = LoginText(input.substr(kLoginBlockSize));
  std::uint32_t access = 0;
  std::string account_name;
  int result = CheckUserLogin(user, password, &access, &account_name);
  int slot = FirstFreeSlot();
  if (slot < 0) result = kLoginServerFull;
  constexpr std::size_t used = 2 * kLoginBlockSize;
  if (!SendByte(c.fd, static_cast<unsigned char>(result))) return TransportFailed(c, used);
  if (result != kLoginAccepted) {
    if (result != kLoginServerFull) ++MutableRemote().failed_logins;
    bool guess = result == kLoginBadUser || result == kLoginBadPassword;
    if (!guess || NoteFailedLogin(c.ip, now)) LogRefusal(result, c.address, user);
    return Refuse(c, used);
  }
  if (!SendU32To(c.fd, access) || !SendByte(c.fd, kProtocolVersion))
    return TransportFailed(c, used);
  c.stage = ConnectionStage::kVersion;
  c.slot = slot;
  c.access = access;
  // The session carries the account's own spelling of the name, whatever
  // case the client typed: commands that find the account by its name
  // (changing one's own password) compare it exactly.
  c.user = std::move(account_name);
  return used;
}

// The client's protocol version: the server's running flag, and the
// connection becomes a session.
std::size_t ServeVersion(ClientConnection& c, std::string_view input) {
  if (input.empty()) return 0;
  if (static_cast<unsigned char>(input[0]) != kProtocolVersion) {
    LogMessage(6, "Client at %s failed to authenticate! Client is using a different protocol "
               "version.", c.address.c_str());
    return Refuse(c, 1);
  }
  if (!SendByte(c.fd, Server().server_running ? 1 : 0)) return TransportFailed(c, 1);
  ClientSession& session = MutableRemote().sessions[c.slot];
  session.socket = c.fd;
  session.access = c.access;
  session.user_name = c.user;
  session.address = c.address;
  session.last_command_at = 0;
  c.stage = ConnectionStage::kSession;
  LogMessage(6, "Client at %s connected as user %s with access %s.", c.address.c_str(),
             session.user_name.c_str(), AccessLettersText(c.access).c_str());
  return 1;
}

}  // namespace

std::size_t ServeHandshake(ClientConnection& c, std::string_view input) {
  if (c.stage == ConnectionStage::kLogin) return ServeLogin(c, input);
  if (c.stage == ConnectionStage::kVersion) return ServeVersion(c, input);
  return 0;
}
