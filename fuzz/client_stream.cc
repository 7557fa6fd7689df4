// A remote client's byte stream from the first byte of the handshake: the
// two login blocks, the protocol version, then command codes with their
// texts and file frames, served by the real connection code as the loop
// serves it. The login blocks are taken in plain text from the input and
// enciphered here, so that the fuzzer reaches the session with the
// accounts below; the rest of the input goes as it is.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "fuzz_support.h"
#include "core/rc4.h"
#include "core/protocol.h"
#include "core/client_key.h"
#include "remote/connection.h"
#include "remote/session.h"

namespace {

int g_listener = -1;
sockaddr_un g_address{};

void OpenListener() {
  g_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  g_address.sun_family = AF_UNIX;
  std::string path = korvfuzz::Dir() + "/client.sock";
  std::snprintf(g_address.sun_path, sizeof g_address.sun_path, "%s", path.c_str());
  if (::bind(g_listener, reinterpret_cast<sockaddr*>(&g_address), sizeof g_address) != 0 ||
      ::listen(g_listener, 4) != 0)
    std::abort();
}

void AddAccount(int slot, const char* user, const char* password, std::uint32_t access) {
  UserAccount& account = g_manager.remote.accounts[static_cast<std::size_t>(slot)];
  account.user_name = user;
  account.password = password;
  account.access = access;
  account.active = 1;
}

void Drain(int fd) {
  char sink[65536];
  while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (g_listener < 0) OpenListener();
  korvfuzz::ResetState();
  InitSessionTable();
  AddAccount(0, "admin", "secret", 0xFFFFFFFF);
  AddAccount(1, "viewer", "look", 0x1);
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::size_t login = std::min<std::size_t>(bytes.size(), 2 * kLoginBlockSize);
  if (login == 2 * kLoginBlockSize) {
    Rc4Crypt(reinterpret_cast<unsigned char*>(bytes.data()), kLoginBlockSize, kClientKey,
             kClientKeySize);
    Rc4Crypt(reinterpret_cast<unsigned char*>(bytes.data() + kLoginBlockSize), kLoginBlockSize,
             kClientKey, kClientKeySize);
  }

  int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (::connect(client, reinterpret_cast<sockaddr*>(&g_address), sizeof g_address) != 0)
    std::abort();
  // accept4() takes the lowest free descriptor: that is the connection's.
  int fd = ::dup(client);
  ::close(fd);
  AcceptConnection(g_listener);
  if (FindConnection(fd) == nullptr) std::abort();

  std::size_t sent = 0;
  bool shut = false;
  for (int pass = 0; pass < 10000 && FindConnection(fd) != nullptr; ++pass) {
    if (sent < bytes.size()) {
      ssize_t n = ::send(client, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
    } else if (!shut) {
      ::shutdown(client, SHUT_WR);
      shut = true;
    }
    ServeConnection(fd, true, true);
    if (InputWaiting()) ServeBacklogs();
    CheckConnections(ConnectionClock::now());
    Drain(client);
  }
  if (FindConnection(fd) != nullptr) {
    int slot = FindSessionBySocket(fd);
    if (slot > 0) DropSession(slot);
    if (FindConnection(fd) != nullptr) CloseConnection(fd);
  }
  ::close(client);
  return 0;
}
