// The game server's console as the daemon sees it from the connect on: the
// login key and verdict, then the answers to the synchronisation (settings
// read back, "game.listPlayers", "pb_sv_plist") and to later commands and
// keys. The input is everything the server sends, in order.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <thread>

#include "fuzz_support.h"
#include "links/console.h"

// PunkBuster's list is read a second after the answer; no input waits here.
extern "C" unsigned int sleep(unsigned int) { return 0; }

namespace {

int g_listener = -1;
int g_port = 0;

void OpenListener() {
  g_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(g_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(g_listener, 4) != 0)
    std::abort();
  ::getsockname(g_listener, reinterpret_cast<sockaddr*>(&address), &length);
  g_port = ntohs(address.sin_port);
}

// The server's side: the input, the end of its stream, then whatever the
// daemon sends until it closes.
void Serve(std::string bytes) {
  int fd = ::accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  char sink[4096];
  while (::recv(fd, sink, sizeof sink, 0) > 0) {
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (g_listener < 0) OpenListener();
  korvfuzz::ResetState();
  FuzzedDataProvider input(data, size);
  bool punkbuster = input.ConsumeBool();
  g_manager.server.server_running = true;
  g_manager.links.status_port = 1;  // known: no status port probe
  g_manager.links.punkbuster_enabled = punkbuster;
  g_manager.core.debug = true;
  Setting(kSetBanInBfAndPb).value = punkbuster ? 1 : 0;
  Setting(kSetServerIp).value = static_cast<std::int32_t>(INADDR_LOOPBACK);
  Setting(kSetConsolePort).value = g_port;
  std::thread server(Serve, input.ConsumeRemainingBytesAsString());
  if (ConsoleConnect()) {
    for (int round = 0; round < 8 && g_manager.links.console_connected; ++round) {
      ConsoleSend("game.sayAll \"round %i\"", round);
      if (g_manager.links.console_connected) ConsoleRunKey(round % 2 == 0 ? 0 : 'a');
    }
  }
  // Every path that connected closes its socket, so the server's side
  // sees the end of the stream and returns.
  if (g_manager.links.console_connected) ConsoleDisconnect();
  server.join();
  return 0;
}
