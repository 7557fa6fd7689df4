// korvweb's HTTP front. One thread reads the head of every request (its
// size and time bounded) before any worker sees it, and separate pools of
// workers serve logged-in requests, event streams and everything else: no
// number of slow, idle or anonymous connections holds a worker a logged-in
// administrator needs. A body is read by the worker within its own time
// and size limits, however it is sent (with a length or in chunks).
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace korvweb {

struct GateLimits {
  int head_ms = 10000;             // a request head must arrive whole within this
  int idle_ms = 30000;             // a kept-alive connection may wait this long for its next request
  int body_ms = 30000;             // a body must arrive within this after its head
  std::size_t max_head = 16 * 1024;
  std::size_t max_body = 1u << 20;
  std::size_t max_waiting = 1024;  // connections waiting for a head; the oldest goes first
  std::size_t public_workers = 4;  // requests without a session: pages, logins
  std::size_t session_workers = 16;
  std::size_t stream_workers = 64;
  std::size_t max_queued = 64;     // requests waiting for a worker, per pool
};

// The pool that serves a request, chosen from its head.
enum class Lane { kPublic, kSession, kStream };
using LaneFn = std::function<Lane(std::string_view head)>;

// The value of header `name` in a request head ("" when absent).
std::string HeadValue(std::string_view head, std::string_view name);

// Runs jobs on threads started as they are needed, at most `max`.
class WorkerPool {
 public:
  explicit WorkerPool(std::size_t max) : max_(max) {}
  ~WorkerPool() { Stop(); }
  // False when `max_queued` jobs already wait, or the pool stopped.
  bool Run(std::function<void()> job, std::size_t max_queued);
  // Runs what waits, then joins every thread.
  void Stop();

 private:
  void Work();
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;
  std::size_t max_;
  bool stopping_ = false;
};

class GateServer : public httplib::Server {
 public:
  GateServer(GateLimits limits, LaneFn lane);
  ~GateServer() override;
  // Ends every connection and joins every thread; after stop().
  void Shutdown();
  // On a worker's thread: whether the request it serves went past its body
  // limit (the answer is then 413).
  static bool BodyTooLarge();
  const GateLimits& limits() const { return limits_; }

 private:
  struct Conn {
    int fd = -1;
    std::string buffer;       // read and not yet served
    std::int64_t deadline = 0;  // steady milliseconds
    bool idle = false;        // kept alive, no byte of its next request yet
    bool draining = false;    // answered and closing: what comes is discarded
    int served = 0;
  };

  // Called by the accept loop for each new connection.
  bool process_and_close_socket(socket_t sock) override;
  void GateLoop();
  // Reads what `conn` sent; false once it is done with (handed on or closed).
  bool ReadSome(Conn& conn);
  bool HeadComplete(Conn& conn);
  void Dispatch(Conn conn);
  void Serve(Conn conn);
  void Enter(Conn conn);
  // Answers `status` with a short text and closes after a brief drain.
  void Refuse(Conn& conn, int status, std::string_view words);
  void CloseNow(Conn& conn);

  GateLimits limits_;
  LaneFn lane_;
  WorkerPool public_pool_, session_pool_, stream_pool_;
  std::mutex mutex_;
  std::vector<Conn> entering_;  // handed to the gate thread
  std::set<int> active_;        // served by workers
  std::list<Conn> waiting_;     // the gate thread's own
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::thread gate_;
};

}  // namespace korvweb
