// The game's remote console over TCP: the scrambled login, then one packet
// of strings answered for every packet of strings received.
#pragma once

#include <poll.h>

#include <cstdint>
#include <string>
#include <vector>

#include "game.h"
#include "wire/console_packet.h"

namespace gamesim {

class ConsoleServer {
 public:
  ConsoleServer() = default;
  ~ConsoleServer();
  ConsoleServer(const ConsoleServer&) = delete;
  ConsoleServer& operator=(const ConsoleServer&) = delete;

  // Listens on address:port (address in host order, 0 = any). False with
  // errno set.
  bool Listen(std::uint32_t address, int port);
  // Appends the descriptors to wait on; Handle takes the poll results.
  void AddPollFds(std::vector<pollfd>* fds) const;
  void Handle(const std::vector<pollfd>& fds, Game* game);
  // Sends what is still queued (at most about a second) and closes all.
  void FlushAndClose();
  void CloseAll();

 private:
  struct Connection {
    int fd = -1;
    unsigned char key[kConsoleKeyLength] = {};
    bool logged_in = false;
    bool closing = false;  // close once the output is sent
    bool dead = false;
    std::string in;
    std::string out;
  };

  void Accept(Game* game);
  void Read(Connection* c, Game* game);
  void Write(Connection* c);
  void Serve(Connection* c, Game* game);
  bool Answer(Connection* c, const std::vector<std::string>& request, Game* game);

  int listen_fd_ = -1;
  std::vector<Connection> connections_;
};

}  // namespace gamesim
