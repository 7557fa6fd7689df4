// The login handshake of a freshly accepted client connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/helpers.h"
#include "core/log.h"
#include "core/server_state.h"
#include "remote/remote_state.h"
#include "remote/accounts.h"
#include "remote/bounded_receive.h"
#include "remote/client_key.h"
#include "remote/session.h"
#include "remote/transport.h"

namespace {

constexpr std::size_t kMaxAddressText = 21;
constexpr std::size_t kMaxUserText = 31;
// Passwords never reach the log: anyone allowed to download it would read
// other users' mistyped passwords.
constexpr const char* kPasswordMask = "********";

bool PeerAddressText(int socket, std::string* text) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
    return FailWithErrno();
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%s:%u", FormatDottedIp(ntohl(peer.sin_addr.s_addr)).c_str(),
                static_cast<unsigned>(ntohs(peer.sin_port)));
  *text = CutText(buffer, kMaxAddressText);
  return true;
}

// Receives one enciphered 32-byte block and returns its text.
bool ReceiveLoginText(int socket, Deadline deadline, std::string* text) {
  unsigned char block[kLoginBlockSize];
  if (!ReceiveBefore(socket, block, sizeof block, deadline)) return false;
  Rc4Crypt(block, sizeof block, kClientKey, kClientKeySize);
  *text = std::string(reinterpret_cast<const char*>(block),
                      strnlen(reinterpret_cast<const char*>(block), sizeof block));
  return true;
}

int FirstFreeSlot() {
  for (int slot = 1; slot < kSessionSlots; ++slot) {
    if (Remote().sessions[slot].socket == 0) return slot;
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

bool SendByte(int socket, unsigned char byte) { return SendAll(socket, &byte, 1); }

bool RefuseVersion(const std::string& address, const char* reason) {
  LogMessage(6, "Client at %s failed to authenticate! %s", address.c_str(), reason);
  SetLastError(0);
  return false;
}

}  // namespace

bool AuthenticateClient(int socket) {
  Deadline deadline = DeadlineIn(kPeerDeadlineSeconds);
  std::string address;
  if (!PeerAddressText(socket, &address)) return false;
  int on = 1;
  if (::ioctl(socket, FIONBIO, &on) != 0) return FailWithErrno();
  std::string user;
  std::string password;
  if (!ReceiveLoginText(socket, deadline, &user) ||
      !ReceiveLoginText(socket, deadline, &password))
    return false;
  std::uint32_t access = 0;
  int result = CheckUserLogin(user, password, &access);
  int slot = FirstFreeSlot();
  if (slot < 0) result = kLoginServerFull;
  if (!SendByte(socket, static_cast<unsigned char>(result))) return false;
  if (result != kLoginAccepted) {
    LogRefusal(result, address, user);
    SetLastError(0);
    return false;
  }
  if (!SendU32(socket, access) || !SendByte(socket, kProtocolVersion)) return false;
  unsigned char version = 0;
  if (!ReceiveBefore(socket, &version, 1, deadline))
    return RefuseVersion(address, "Couldn't get client protocol version.");
  if (version != kProtocolVersion)
    return RefuseVersion(address, "Client is using a different protocol version.");
  if (!SendByte(socket, Server().server_running ? 1 : 0)) return false;
  ClientSession& session = MutableRemote().sessions[slot];
  session.socket = socket;
  session.access = access;
  session.user_name = CutText(user, kMaxUserText);
  session.address = address;
  session.last_command_at = 0;
  LogMessage(6, "Client at %s connected as user %s with access %s.", address.c_str(),
             session.user_name.c_str(), AccessLettersText(access).c_str());
  return true;
}
