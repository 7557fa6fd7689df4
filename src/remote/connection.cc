// The connection table and the buffered serving of every client.
#include "remote/connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <optional>

#include "core/clock.h"
#include "core/core_state.h"
#include "core/ids.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/socket_io.h"
#include "core/text.h"
#include "remote/command_parser.h"
#include "remote/command_queue.h"
#include "remote/dispatch.h"
#include "remote/login_penalty.h"
#include "remote/remote_state.h"
#include "remote/session.h"

namespace {

constexpr std::size_t kMaxAddressText = 21;

// Accepted connections by descriptor. A std::map keeps references stable
// while handlers open and close other connections.
std::map<int, ClientConnection> g_connections;

std::int64_t SendRate() {
  return Remote().output_paced ? Core().conf.remote_send_bytes_per_second : 0;
}

// Bytes the connection may write now: one piece at most, and what its pace allows.
std::size_t WriteBudget(ClientConnection& c, ConnectionClock::time_point now) {
  return std::min(kWritePerPass, c.pace.Allowed(now, SendRate()));
}

// Pending output waits while its pace allows less than a piece (or than
// what is left): no writes of a few bytes at a time.
bool PaceHolds(ClientConnection& c, ConnectionClock::time_point now) {
  return c.output_pending > 0 &&
         c.pace.Allowed(now, SendRate()) < std::min(c.output_pending, kWritePerPass);
}

bool InHandshake(const ClientConnection& c) { return c.stage != ConnectionStage::kSession; }

bool PeerAddressText(int fd, std::string* text, std::uint32_t* ip) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
    return FailWithErrno();
  *ip = ntohl(peer.sin_addr.s_addr);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%s:%u", FormatDottedIp(*ip).c_str(),
                static_cast<unsigned>(ntohs(peer.sin_port)));
  *text = CutText(buffer, kMaxAddressText);
  return true;
}

bool Alive(int fd, std::uint64_t serial) {
  const ClientConnection* c = FindConnection(fd);
  return c != nullptr && c->serial == serial && !c->closing;
}

// Ends the connection; a session logs its disconnection first.
void Close(ClientConnection& c) {
  int fd = c.fd;
  if (c.stage == ConnectionStage::kSession && c.slot > 0 && c.slot < kSessionSlots &&
      Remote().sessions[c.slot].socket == fd)
    CloseSession(c.slot);
  CloseConnection(fd);
}

// Runs one command unit; whatever escapes the dispatcher costs the client
// its session, nothing more.
void RunUnit(ClientConnection& c, const CommandUnit& unit) {
  int slot = c.slot;
  int fd = c.fd;
  std::string address = c.address;
  const char* why = "unknown failure";
  try {
    RunClientCommand(slot, unit);
    return;
  } catch (const std::exception& failure) {
    why = failure.what();
  } catch (...) {
  }
  LogMessage(6, "Couldn't serve client at %s! %.200s. The client is dropped.", address.c_str(),
             why);
  if (Remote().sessions[slot].socket == fd) DropSession(slot);
}

// Acts on every whole unit in the connection's input, in order.
void ProcessInput(int fd) {
  ClientConnection* c = FindConnection(fd);
  if (c == nullptr || c->closing) return;
  std::uint64_t serial = c->serial;
  std::string input = std::move(c->input);
  c->input.clear();
  std::size_t at = 0;
  int units = 0;
  bool backlog = false;
  while (at < input.size()) {
    if (c->held) break;
    if (!InHandshake(*c) && units == kUnitsPerPass) {
      backlog = true;
      break;
    }
    std::string_view rest = std::string_view(input).substr(at);
    if (InHandshake(*c)) {
      std::size_t used = ServeHandshake(*c, rest);
      if (used == 0) break;
      at += used;
    } else {
      CommandUnit unit = ParseCommandUnit(rest, Remote().sessions[c->slot].access);
      if (unit.kind == UnitKind::kIncomplete) break;
      c->unit_pending = false;
      ++units;
      RunUnit(*c, unit);
      at += unit.consumed;
      // What the command queued runs before the session's next command, as
      // when each command had a pass of the loop to itself.
      if (QueuedCommandCount() > 0) RunQueuedCommands(ClockNow());
    }
    if (!Alive(fd, serial)) return;
    c = FindConnection(fd);
  }
  input.erase(0, at);
  // A large upload leaves nothing resident behind.
  if (input.capacity() > kReadPerPass && input.size() < kReadPerPass) input.shrink_to_fit();
  c->input = std::move(input);
  c->backlog = backlog;
  // Whole commands that wait for their turn are not late: no time limit.
  if (c->input.empty() || InHandshake(*c) || backlog || c->held) {
    c->unit_pending = false;
  } else if (!c->unit_pending) {
    c->unit_pending = true;
    c->unit_progress = ConnectionClock::now();
  }
}

// Sends what the socket takes of `length` bytes, counted in *sent; false
// with the last error set when the connection failed.
bool SendWhatFits(int fd, const char* bytes, std::size_t length, std::size_t* sent) {
  *sent = 0;
  while (*sent < length) {
    ssize_t n = ::send(fd, bytes + *sent, length - *sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      *sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return FailWithErrno();
  }
  return true;
}

// Writes the front of the connection's output, at most `budget` bytes and
// as much as the socket takes; false with the last error set when the
// connection failed.
bool WriteOutput(ClientConnection& c, std::size_t budget) {
  while (!c.output.empty()) {
    OutputChunk& chunk = c.output.front();
    if (chunk.sent == chunk.size()) {
      c.output.pop_front();
      continue;
    }
    if (budget == 0) return true;  // the rest on a later pass
    std::size_t piece = std::min(budget, chunk.size() - chunk.sent);
    std::size_t sent = 0;
    bool ok = SendWhatFits(c.fd, chunk.data() + chunk.sent, piece, &sent);
    chunk.sent += sent;
    c.output_pending -= sent;
    c.pace.Spend(sent);
    budget -= sent;
    if (!ok) return false;
    if (sent < piece) return true;  // the socket is full
  }
  return true;
}

// Queues `length` bytes for the connection, by reference when `shared`
// holds them, after writing at once what the socket takes of them when
// nothing else is pending. Output beyond the cap closes the connection; a
// single reply may exceed it only when nothing else is pending.
bool Enqueue(ClientConnection& c, const char* bytes, std::size_t length, const SharedBytes& shared) {
  if (c.closing || length == 0) return true;  // its end is settled
  if (c.output_pending > 0 && c.output_pending + length > kMaxPendingOutput) {
    LogMessage(6, "Client at %s is not reading: %lu bytes of output are pending. The client is "
               "dropped.", c.address.c_str(), static_cast<unsigned long>(c.output_pending + length));
    MarkClosing(c.fd, false);
    SetLastError(ENOBUFS);
    return false;
  }
  std::size_t done = 0;
  if (c.output_pending == 0) {
    std::size_t first = std::min(length, WriteBudget(c, ConnectionClock::now()));
    if (!SendWhatFits(c.fd, bytes, first, &done)) return false;
    c.pace.Spend(done);
    if (done == length) return true;
  }
  c.output_pending += length - done;
  if (shared) {
    c.output.push_back(OutputChunk{{}, shared, done});
  } else if (!c.output.empty() && !c.output.back().shared && c.output.back().sent == 0) {
    c.output.back().own.append(bytes + done, length - done);
  } else {
    c.output.push_back(OutputChunk{std::string(bytes + done, length - done), nullptr, 0});
  }
  return true;
}

// An unfinished command fails only when its bytes stop coming: a large
// upload over a slow link takes as long as it needs.
ConnectionClock::time_point UnitDeadline(const ClientConnection& c) {
  return c.unit_progress + std::chrono::seconds(Core().conf.remote_stall_seconds);
}

ConnectionClock::time_point HandshakeDeadline(const ClientConnection& c) {
  return c.handshake_deadline;
}

// The oldest connection in the handshake, from `ip` only when `same_ip`.
ClientConnection* OldestHandshake(bool same_ip, std::uint32_t ip) {
  ClientConnection* oldest = nullptr;
  for (auto& [other, c] : g_connections) {
    if (!InHandshake(c) || c.closing || (same_ip && c.ip != ip)) continue;
    if (oldest == nullptr || c.accepted < oldest->accepted) oldest = &c;
  }
  return oldest;
}

int HandshakesFrom(std::uint32_t ip) {
  int count = 0;
  for (const auto& [fd, c] : g_connections) count += InHandshake(c) && !c.closing && c.ip == ip;
  return count;
}

// Makes room for one more connection in the handshake: the oldest of the
// same address gives way when the address has its share, else the oldest
// of all when every place is taken.
void MakeRoomForHandshake(std::uint32_t ip, ConnectionClock::time_point now) {
  if (HandshakesFrom(ip) >= kMaxHandshakesPerAddress) {
    ClientConnection* oldest = OldestHandshake(true, ip);
    NoteDroppedLogin(ip, now);
    CloseConnection(oldest->fd);
  } else if (HandshakeCount() >= kMaxHandshakes) {
    ClientConnection* oldest = OldestHandshake(false, 0);
    LogMessage(6, "Client at %s failed to authenticate! Too many clients (%i) are in the "
               "handshake.", oldest->address.c_str(), kMaxHandshakes);
    CloseConnection(oldest->fd);
  }
}

// A refused handshake gets its last bytes out within this.
ConnectionClock::time_point FlushDeadline(const ClientConnection& c) {
  return HandshakeDeadline(c) + std::chrono::seconds(kHandshakeSeconds);
}

}  // namespace

std::size_t OutputPace::Burst(std::int64_t rate) {
  auto burst = static_cast<std::size_t>(rate / 1000 * kPaceBurstMilliseconds);
  return std::max(kWritePerPass, burst);
}

std::size_t OutputPace::Allowed(ConnectionClock::time_point now, std::int64_t rate) {
  if (rate <= 0) return SIZE_MAX;
  const double burst = static_cast<double>(Burst(rate));
  if (!started_) {
    started_ = true;
    allowance_ = burst;
    updated_ = now;
  } else if (now > updated_) {
    double earned = std::chrono::duration<double>(now - updated_).count() * static_cast<double>(rate);
    allowance_ = std::min(burst, allowance_ + earned);
    updated_ = now;
  }
  return static_cast<std::size_t>(allowance_);
}

void OutputPace::Spend(std::size_t bytes) {
  allowance_ = std::max(0.0, allowance_ - static_cast<double>(bytes));
}

ConnectionClock::time_point OutputPace::ReadyAt(std::size_t bytes, std::int64_t rate) const {
  double missing = static_cast<double>(bytes) - allowance_;
  if (rate <= 0 || missing <= 0) return updated_;
  auto wait = std::chrono::duration<double>(missing / static_cast<double>(rate));
  return updated_ + std::chrono::ceil<ConnectionClock::duration>(wait);
}

ClientConnection* FindConnection(int fd) {
  auto found = g_connections.find(fd);
  return found == g_connections.end() ? nullptr : &found->second;
}

int HandshakeCount() {
  int count = 0;
  for (const auto& [fd, c] : g_connections) count += InHandshake(c) && !c.closing ? 1 : 0;
  return count;
}

int ReservedSlotCount(int slot) {
  int count = 0;
  for (const auto& [fd, c] : g_connections)
    count += c.stage == ConnectionStage::kVersion && !c.closing && c.slot == slot ? 1 : 0;
  return count;
}

void AcceptConnection(int listen_socket) {
  int fd = ::accept4(listen_socket, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  if (fd >= FD_SETSIZE) {
    LogMessage(6, "Couldn't accept client! Descriptor %i is beyond the select() limit.", fd);
    ::close(fd);
    return;
  }
  // Notifications follow each other closely: small segments must not wait
  // for the acknowledgement of the one before.
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::string address;
  std::uint32_t ip = 0;
  if (!PeerAddressText(fd, &address, &ip)) {
    LogMessage(6, "Couldn't authenticate client! %s", ErrorText(LastError()).c_str());
    ::close(fd);
    return;
  }
  const auto now = ConnectionClock::now();
  MakeRoomForHandshake(ip, now);
  ClientConnection& c = g_connections[fd];
  c = ClientConnection{};
  c.fd = fd;
  c.serial = MutableRemote().next_connection_serial++;
  c.address = address;
  c.ip = ip;
  c.accepted = now;
  c.handshake_deadline = now + std::chrono::seconds(kHandshakeSeconds);
  WatchSocket(fd);
}

void ServeConnection(int fd, bool readable, bool writable) {
  ClientConnection* c = FindConnection(fd);
  if (c == nullptr) return;
  if (writable && !FlushConnection(fd)) MarkClosing(fd, false);
  // A connection with a backlog is not read until it is served: the peer
  // waits on its own socket, and its input cannot grow without bound.
  if (!readable || c->closing || c->backlog || c->held) return;
  bool ended = false;
  int error = ECONNRESET;
  std::size_t total = 0;
  static char chunk[64 * 1024];
  while (total < kReadPerPass) {
    ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got > 0) {
      c->input.append(chunk, static_cast<std::size_t>(got));
      total += static_cast<std::size_t>(got);
      if (static_cast<std::size_t>(got) < sizeof chunk) break;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (got < 0) error = errno;
    ended = true;
    break;
  }
  if (total > 0) c->unit_progress = ConnectionClock::now();
  std::uint64_t serial = c->serial;
  ProcessInput(fd);
  if (!ended || !Alive(fd, serial)) return;
  c = FindConnection(fd);
  if (c->stage == ConnectionStage::kLogin) {
    LogMessage(6, "Couldn't authenticate client! %s", ErrorText(error).c_str());
  } else if (c->stage == ConnectionStage::kVersion) {
    LogMessage(6, "Client at %s failed to authenticate! Couldn't get client protocol version.",
               c->address.c_str());
  }
  Close(*c);
}

bool InputWaiting() {
  for (const auto& [fd, c] : g_connections)
    if (c.backlog && !c.closing) return true;
  return false;
}

void ServeBacklogs() {
  std::vector<int> waiting;
  for (const auto& [fd, c] : g_connections)
    if (c.backlog && !c.closing) waiting.push_back(fd);
  for (int fd : waiting) ProcessInput(fd);
}

void CheckConnections(ConnectionClock::time_point now) {
  CheckLoginPenalties(now);
  std::vector<int> ended;
  std::vector<int> resumed;
  for (auto& [fd, c] : g_connections) {
    if (c.closing) {
      bool waiting = c.flush_first && c.output_pending > 0 && now < FlushDeadline(c);
      if (!waiting) ended.push_back(fd);
    } else if (c.held) {
      if (now >= c.resume_at) resumed.push_back(fd);
    } else if (c.stage == ConnectionStage::kLogin && now >= HandshakeDeadline(c)) {
      LogMessage(6, "Couldn't authenticate client! %s", ErrorText(ETIMEDOUT).c_str());
      ended.push_back(fd);
    } else if (c.stage == ConnectionStage::kVersion && now >= HandshakeDeadline(c)) {
      LogMessage(6, "Client at %s failed to authenticate! Couldn't get client protocol version.",
                 c.address.c_str());
      ended.push_back(fd);
    } else if (c.unit_pending && now >= UnitDeadline(c)) {
      LogMessage(6, "Couldn't receive command from client at %s! %s", c.address.c_str(),
                 ErrorText(ETIMEDOUT).c_str());
      ended.push_back(fd);
    }
  }
  for (int fd : ended) {
    ClientConnection* c = FindConnection(fd);
    if (c != nullptr) Close(*c);
  }
  for (int fd : resumed) {
    ClientConnection* c = FindConnection(fd);
    if (c == nullptr || !c->held) continue;
    std::function<void()> then = std::move(c->on_resume);
    std::uint64_t serial = c->serial;
    c->held = false;
    c->on_resume = nullptr;
    // A login that waited for its address's penalty gets its whole time now.
    if (InHandshake(*c)) c->handshake_deadline = now + std::chrono::seconds(kHandshakeSeconds);
    if (then) then();
    // The commands that arrived meanwhile are served on the next passes.
    if (Alive(fd, serial)) FindConnection(fd)->backlog = !FindConnection(fd)->input.empty();
  }
}

void HoldConnection(int fd, std::chrono::milliseconds delay, std::function<void()> then) {
  ClientConnection* c = FindConnection(fd);
  if (c == nullptr) {  // a socket the loop does not serve
    if (then) then();
    return;
  }
  c->held = true;
  c->resume_at = ConnectionClock::now() + delay;
  c->on_resume = std::move(then);
}

int WatchPendingOutput(fd_set* set) {
  int highest = -1;
  const auto now = ConnectionClock::now();
  for (auto& [fd, c] : g_connections) {
    if (c.output_pending > 0 && !PaceHolds(c, now)) {
      FD_SET(fd, set);
      highest = fd;
    }
  }
  return highest;
}

void PaceOutput(bool on) { MutableRemote().output_paced = on; }

long MillisecondsToNextDeadline(ConnectionClock::time_point now) {
  std::optional<ConnectionClock::time_point> next;
  auto consider = [&next](ConnectionClock::time_point at) {
    if (!next || at < *next) next = at;
  };
  for (auto& [fd, c] : g_connections) {
    if (PaceHolds(c, now))
      consider(c.pace.ReadyAt(std::min(c.output_pending, kWritePerPass), SendRate()));
    if (c.closing) {
      consider(c.flush_first ? FlushDeadline(c) : now);
    } else if (c.held) {
      consider(c.resume_at);
    } else if (InHandshake(c)) {
      consider(HandshakeDeadline(c));
    } else if (c.unit_pending) {
      consider(UnitDeadline(c));
    }
  }
  if (!next) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - now).count();
  return std::max<long>(static_cast<long>(left), 0) + 1;
}

bool QueueClientOutput(int fd, const void* data, std::size_t length) {
  ClientConnection* c = FindConnection(fd);
  if (c == nullptr) return SendAll(fd, data, length);  // a socket the loop does not serve
  return Enqueue(*c, static_cast<const char*>(data), length, nullptr);
}

bool QueueClientBytes(int fd, const SharedBytes& bytes) {
  ClientConnection* c = FindConnection(fd);
  if (c == nullptr) return SendAll(fd, bytes->data(), bytes->size());
  return Enqueue(*c, reinterpret_cast<const char*>(bytes->data()), bytes->size(), bytes);
}

void MarkClosing(int fd, bool flush_first) {
  ClientConnection* c = FindConnection(fd);
  if (c == nullptr) return;
  c->closing = true;
  c->flush_first = flush_first;
  if (!flush_first) {
    c->output.clear();
    c->output_pending = 0;
  }
}

void CloseConnection(int fd) {
  if (fd <= 0) return;
  ::close(fd);
  if (fd < FD_SETSIZE) UnwatchSocket(fd);
  g_connections.erase(fd);
}

void CloseAllConnections() {
  for (const auto& [fd, c] : g_connections) ::close(fd);
  g_connections.clear();
}

void CloseHandshakes() {
  std::vector<int> ended;
  for (const auto& [fd, c] : g_connections)
    if (InHandshake(c)) ended.push_back(fd);
  for (int fd : ended) CloseConnection(fd);
}

bool FlushConnection(int fd) {
  ClientConnection* c = FindConnection(fd);
  return c != nullptr && WriteOutput(*c, WriteBudget(*c, ConnectionClock::now()));
}
