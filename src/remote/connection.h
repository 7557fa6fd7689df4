// Every accepted client connection, from the handshake to its close, served
// from an input and an output buffer so that no peer ever holds the loop:
// the loop reads what has arrived, acts on each whole unit (the login
// blocks, the version byte, a command with its text and frame) and writes
// what the socket takes.
#pragma once

#include <sys/select.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using ConnectionClock = std::chrono::steady_clock;

// The whole handshake must finish within this.
inline constexpr int kHandshakeSeconds = 5;
// Connections allowed in the handshake at once; a new one beyond it drops
// the oldest.
inline constexpr int kMaxHandshakes = 32;
// The same from one address: a new one beyond it drops the oldest of that
// address (counted in the summary of its failed logins, not logged alone).
inline constexpr int kMaxHandshakesPerAddress = 8;
// Output a session may leave unread: above the largest file the daemon
// sends. A single reply may exceed it only when nothing else is pending.
inline constexpr std::size_t kMaxPendingOutput = 16u << 20;
// Bytes read from one connection in one pass of the loop.
inline constexpr std::size_t kReadPerPass = 1u << 20;
// Bytes written to one connection at a time: a large download goes out in
// pieces between the other work of the loop, each a few tens of
// microseconds on loopback, so that a command arriving meanwhile is not kept
// waiting behind a long write.
inline constexpr std::size_t kWritePerPass = 64u << 10;
// A paced connection may write up to this many milliseconds' worth of its
// rate at once (and never less than one write piece).
inline constexpr int kPaceBurstMilliseconds = 4;
// Commands run for one connection in one pass: a client that sends
// thousands at once is served in turns, so the ticks and the other clients
// are not kept waiting behind it.
inline constexpr int kUnitsPerPass = 64;

// Bytes that never change once made (a packed file kept for every client
// that fetches it): queued by reference, never copied into a connection.
using SharedBytes = std::shared_ptr<const std::vector<unsigned char>>;

// A piece of a connection's pending output: bytes of its own (replies and
// notifications, appended together) or shared bytes.
struct OutputChunk {
  std::string own;
  SharedBytes shared;
  std::size_t sent = 0;  // bytes of it written already
  const char* data() const {
    return shared ? reinterpret_cast<const char*>(shared->data()) : own.data();
  }
  std::size_t size() const { return shared ? shared->size() : own.size(); }
};

// The bytes a connection may write now, at `rate` bytes a second (0 = no
// limit): a bucket that fills with the rate up to one burst and empties
// with every write.
class OutputPace {
 public:
  // What may go out at `now`.
  std::size_t Allowed(ConnectionClock::time_point now, std::int64_t rate);
  void Spend(std::size_t bytes);
  // The moment `bytes` may go out, as of the last Allowed().
  ConnectionClock::time_point ReadyAt(std::size_t bytes, std::int64_t rate) const;
  static std::size_t Burst(std::int64_t rate);

 private:
  bool started_ = false;
  double allowance_ = 0;
  ConnectionClock::time_point updated_{};
};

enum class ConnectionStage {
  kLogin,    // waiting for the user name and password blocks
  kVersion,  // accepted, waiting for the client's protocol version
  kSession,  // a session in the table
};

struct ClientConnection {
  int fd = -1;
  std::uint64_t serial = 0;  // tells a reused descriptor from its old owner
  ConnectionStage stage = ConnectionStage::kLogin;
  std::string address;  // "a.b.c.d:port"
  std::uint32_t ip = 0;  // the peer's IPv4 address, host order
  ConnectionClock::time_point accepted;
  // The handshake must end by then: 5 seconds from the accept, or from the
  // end of a wait that failed logins from its address imposed.
  ConnectionClock::time_point handshake_deadline;
  int slot = -1;  // the session's slot, reserved from the accepted login on
  std::uint32_t access = 0;
  std::string user;
  std::string input;
  // An unfinished command, and the moment its bytes last arrived: it fails
  // when none arrive for the stall time of korvd.conf.
  bool unit_pending = false;
  ConnectionClock::time_point unit_progress;
  std::deque<OutputChunk> output;
  std::size_t output_pending = 0;  // bytes queued and not yet written
  OutputPace pace;
  bool backlog = false;      // whole commands wait in the input for a later pass
  // A command that must wait (PunkBuster writing its file) holds the
  // connection's later commands, not the loop, until `resume_at`.
  bool held = false;
  ConnectionClock::time_point resume_at;
  std::function<void()> on_resume;
  bool closing = false;      // closed at the end of the pass
  bool flush_first = false;  // ... once its output is written
};

// True while some connection has whole commands waiting from an earlier
// pass (the loop then does not wait in select()).
bool InputWaiting();
// Runs the next turn of commands of every connection that has a backlog.
void ServeBacklogs();

// The connection on `fd`, nullptr when none.
ClientConnection* FindConnection(int fd);
// Connections whose handshake has not finished, and those holding a slot
// reserved by an accepted login.
int HandshakeCount();
int ReservedSlotCount(int slot);

// Accepts one connection from the listening socket.
void AcceptConnection(int listen_socket);
// Serves a connection select() reported: writes pending output, reads and
// acts on what has arrived.
void ServeConnection(int fd, bool readable, bool writable);
// Closes what timed out or overflowed, and what was marked closing.
void CheckConnections(ConnectionClock::time_point now);
// Adds every connection with pending output that its pace lets write to
// `set`; returns the highest descriptor added, -1 for none.
int WatchPendingOutput(fd_set* set);
// Writes at the rate of korvd.conf when `on` (the default); when off, as
// fast as each client takes it (the daemon's leave).
void PaceOutput(bool on);
// Milliseconds until the nearest deadline (a time limit, a held command, a
// paced connection's next write), -1 when none runs.
long MillisecondsToNextDeadline(ConnectionClock::time_point now);

// Appends bytes for the client on `fd`, writing at once what the socket
// takes. A socket the loop does not serve is written in full before
// returning. False with the last error set when the connection failed or its
// pending output went beyond the cap (it is then closed at the end of the
// pass).
bool QueueClientOutput(int fd, const void* data, std::size_t length);
// As QueueClientOutput for bytes that stay shared: the connection keeps a
// reference to them while they drain, not a copy.
bool QueueClientBytes(int fd, const SharedBytes& bytes);
// Holds the connection on `fd` for `delay`: its next commands wait (unread
// and unserved) until then, when `then` runs, while the loop serves
// everyone else.
void HoldConnection(int fd, std::chrono::milliseconds delay, std::function<void()> then);
// Marks the connection to close at the end of the pass, after its output
// when `flush_first`.
void MarkClosing(int fd, bool flush_first);
// Closes the descriptor, takes it out of the select set and forgets its
// connection (the session slot is the caller's).
void CloseConnection(int fd);
// Closes every connection's socket and forgets them all, without a word
// (the state record's reset).
void CloseAllConnections();
// Acts on the handshake bytes at the start of `input` (the login blocks,
// then the version byte); returns the bytes used, 0 when more are needed.
std::size_t ServeHandshake(ClientConnection& c, std::string_view input);
// Closes every connection still in the handshake.
void CloseHandshakes();
// Writes what the socket takes; false when the connection failed.
bool FlushConnection(int fd);
