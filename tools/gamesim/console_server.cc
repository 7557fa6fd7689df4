// Connections are non-blocking and served from the one poll loop; a peer
// that breaks the protocol loses its connection and nothing else changes.
#include "console_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>

#include "note.h"

namespace gamesim {

namespace {

void MakeNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Caps on what a peer may announce; anything larger drops the connection.
constexpr std::uint32_t kMaxLoginField = 256;
constexpr ConsoleLimits kRequestLimits = {
    .max_strings = 4096,
    .max_string = 65536,
    .max_bytes = 1u << 20,
    .empty_strings = false,
};

// Drops what a reader has taken from the front of the input.
void Consumed(std::string* in, const SpanReader& rest) { in->erase(0, in->size() - rest.remaining()); }

std::string EncodePacket(const std::vector<std::string>& strings) {
  std::string out;
  AppendConsolePacket(out, strings);
  return out;
}

}  // namespace

ConsoleServer::~ConsoleServer() { CloseAll(); }

bool ConsoleServer::Listen(std::uint32_t address, int port) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ < 0) return false;
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(address);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 8) != 0) {
    int saved = errno;
    ::close(listen_fd_);
    listen_fd_ = -1;
    errno = saved;
    return false;
  }
  MakeNonBlocking(listen_fd_);
  return true;
}

void ConsoleServer::AddPollFds(std::vector<pollfd>* fds) const {
  if (listen_fd_ >= 0) fds->push_back({listen_fd_, POLLIN, 0});
  for (const Connection& c : connections_) {
    short events = POLLIN;
    if (!c.out.empty()) events |= POLLOUT;
    fds->push_back({c.fd, events, 0});
  }
}

void ConsoleServer::Handle(const std::vector<pollfd>& fds, Game* game) {
  for (const pollfd& p : fds) {
    if (p.revents == 0) continue;
    if (p.fd == listen_fd_) {
      Accept(game);
      continue;
    }
    for (Connection& c : connections_) {
      if (c.fd != p.fd || c.dead) continue;
      if (p.revents & (POLLIN | POLLHUP | POLLERR)) Read(&c, game);
      if (!c.dead && (p.revents & POLLOUT)) Write(&c);
    }
  }
  for (Connection& c : connections_) {
    if (!c.dead && !c.out.empty()) Write(&c);
    if (!c.dead && c.closing && c.out.empty()) c.dead = true;
    if (c.dead && c.fd >= 0) {
      ::close(c.fd);
      c.fd = -1;
    }
  }
  connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                    [](const Connection& c) { return c.dead; }),
                     connections_.end());
}

void ConsoleServer::Accept(Game* game) {
  for (;;) {
    int fd = ::accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) return;
    if (connections_.size() >= 16) {  // the console takes a handful of admins
      ::close(fd);
      continue;
    }
    MakeNonBlocking(fd);
    Connection c;
    c.fd = fd;
    static std::mt19937 random(static_cast<unsigned>(
        std::chrono::steady_clock::now().time_since_epoch().count()));
    for (unsigned char& k : c.key) k = static_cast<unsigned char>(random() & 0xFF);
    if (!game->faults().silent_console)
      c.out.assign(reinterpret_cast<char*>(c.key), kConsoleKeyLength);
    connections_.push_back(std::move(c));
  }
}

void ConsoleServer::Read(Connection* c, Game* game) {
  char buffer[16384];
  for (;;) {
    ssize_t n = ::recv(c->fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      c->in.append(buffer, static_cast<std::size_t>(n));
      if (c->in.size() > kRequestLimits.max_bytes + 8) {
        Say("console: dropping a connection that sent an oversized packet");
        c->dead = true;
        return;
      }
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0 && errno == EINTR) continue;
    c->dead = true;  // peer closed or failed
    return;
  }
  Serve(c, game);
}

void ConsoleServer::Serve(Connection* c, Game* game) {
  if (c->closing) return;
  if (!c->logged_in) {
    std::string user, password;
    SpanReader in(c->in);
    ConsoleRead r = ReadConsoleLogin(in, kMaxLoginField, c->key, &user, &password);
    if (r == ConsoleRead::kNeedMore) return;
    if (r == ConsoleRead::kMalformed) {
      Say("console: dropping a connection with a malformed login");
      c->dead = true;
      return;
    }
    Consumed(&c->in, in);
    const ServerConfig& config = game->config();
    bool ok = !game->faults().refuse_login && user == config.console_user &&
              password == config.console_password;
    if (game->faults().silent_console) return;
    c->out.push_back(ok ? '\1' : '\0');
    if (!ok) {
      Say("console: refused a login");
      c->closing = true;
      return;
    }
    c->logged_in = true;
  }
  for (;;) {
    std::vector<std::string> request;
    SpanReader in(c->in);
    ConsoleRead r = ReadConsolePacket(in, kRequestLimits, &request);
    if (r == ConsoleRead::kNeedMore) return;
    Consumed(&c->in, in);
    if (r == ConsoleRead::kMalformed || !Answer(c, request, game)) {
      Say("console: dropping a connection that sent a malformed packet");
      c->dead = true;
      return;
    }
    if (c->dead || game->quit_requested()) return;
  }
}

// Builds the answer to one request; false when the request is not one the
// console knows.
bool ConsoleServer::Answer(Connection* c, const std::vector<std::string>& request, Game* game) {
  if (request.empty()) return false;
  if (game->faults().drop_console) {
    c->dead = true;
    return true;
  }
  const std::string& reset = game->faults().reset_console;
  if (!reset.empty() && request.size() > 1 && StartsWith(request[1], reset.c_str())) {
    // Half an answer, then a reset (RST) instead of the rest; the command
    // is not run.
    std::string half = EncodePacket({"The answer that never ends"});
    half.resize(half.size() / 2);
    ::send(c->fd, half.data(), half.size(), MSG_NOSIGNAL);
    linger hard{1, 0};
    ::setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Say("console: reset in the middle of the answer to %s", request[1].c_str());
    c->dead = true;
    return true;
  }
  std::vector<std::string> answer;
  if (StartsWith(request[0], "ConsoleMessage")) {
    std::size_t end = request.size();
    if (end > 1 && request[end - 1] == "\r") --end;
    std::vector<std::string> said = game->TakeSaid();
    answer.insert(answer.end(), said.begin(), said.end());
    for (std::size_t i = 1; i < end; ++i) {
      std::vector<std::string> out = game->RunCommand(request[i]);
      answer.insert(answer.end(), out.begin(), out.end());
    }
  } else if (StartsWith(request[0], "ConsoleRun")) {
    answer.push_back(">");
    std::vector<std::string> said = game->TakeSaid();
    answer.insert(answer.end(), said.begin(), said.end());
    std::vector<std::string> later = game->TakeLaterOutput();
    answer.insert(answer.end(), later.begin(), later.end());
  } else {
    return false;
  }
  if (game->faults().silent_console) return true;
  c->out += EncodePacket(answer);
  return true;
}

void ConsoleServer::Write(Connection* c) {
  while (!c->out.empty()) {
    ssize_t n = ::send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
    if (n > 0) {
      c->out.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    c->dead = true;
    return;
  }
}

void ConsoleServer::FlushAndClose() {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (;;) {
    bool pending = false;
    for (Connection& c : connections_) {
      if (!c.dead && !c.out.empty()) {
        Write(&c);
        pending = pending || (!c.dead && !c.out.empty());
      }
    }
    if (!pending || std::chrono::steady_clock::now() > until) break;
    ::usleep(10000);
  }
  CloseAll();
}

void ConsoleServer::CloseAll() {
  for (Connection& c : connections_) {
    if (c.fd >= 0) ::close(c.fd);
  }
  connections_.clear();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
}

}  // namespace gamesim
