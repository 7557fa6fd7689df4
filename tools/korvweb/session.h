// Browser sessions: each holds one logged-in daemon session of its own
// (a korvctl Link), the token its state-changing requests must carry, and
// the notifications pushed to its pages. The store creates, finds and
// expires them; the throttle slows down failed logins per address.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "korvctl/link.h"

namespace korvweb {

// Seconds on a monotonic clock; tests inject their own.
using NowFn = std::function<std::int64_t()>;
std::int64_t SteadySeconds();

// A random identifier of `bytes` bytes as hexadecimal digits.
std::string RandomHex(std::size_t bytes);

struct WebEvent {
  std::uint64_t seq = 0;
  std::string json;  // one notification as a JSON object
};

class WebSession {
 public:
  static constexpr std::size_t kMaxEvents = 256;

  std::string id;
  std::string token;  // the CSRF token of every state-changing request
  std::string user;
  std::uint32_t access = 0;
  bool server_running = false;

  // The daemon link; hold `link_mutex` for every use.
  std::mutex link_mutex;
  korvctl::Link link;
  bool link_lost = false;  // guarded by link_mutex

  // Reads the notifications that are waiting (read ahead or on the socket)
  // and pushes them; link_mutex must be held. False when the link broke.
  bool DrainNotices();
  // Appends one event and wakes the pages that wait for it.
  void Push(const std::string& json);
  // Events after `after` (up to kMaxEvents), waiting at most `wait_ms` for
  // one to come. Empty on timeout or once the session is closed.
  std::vector<WebEvent> EventsAfter(std::uint64_t after, int wait_ms);
  std::uint64_t last_seq();
  void Close();
  bool closed();

  void Touch(std::int64_t now) { last_active_ = now; }
  std::int64_t last_active() const { return last_active_; }

 private:
  std::mutex event_mutex_;
  std::condition_variable event_cv_;
  std::deque<WebEvent> events_;
  std::uint64_t next_seq_ = 1;
  bool closed_ = false;
  std::int64_t last_active_ = 0;
};

class SessionStore {
 public:
  explicit SessionStore(std::size_t max_sessions) : max_sessions_(max_sessions) {}
  // False when the store is full.
  bool Add(std::shared_ptr<WebSession> session);
  std::shared_ptr<WebSession> Find(const std::string& id);
  void Remove(const std::string& id);
  // Every session, for the notification pump.
  std::vector<std::shared_ptr<WebSession>> All();
  // Closes and removes the sessions idle since before `now - idle`; returns
  // how many.
  int ExpireIdle(std::int64_t now, std::int64_t idle);
  std::size_t size();

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<WebSession>> sessions_;
  std::size_t max_sessions_;
};

// Failed logins per address: after n failures in a row the address waits
// 2^(n-1) seconds (at most 60) before it may try again; a success clears it.
class LoginThrottle {
 public:
  static constexpr std::size_t kMaxAddresses = 4096;
  // Seconds the address must still wait; 0 when it may try now.
  std::int64_t WaitLeft(const std::string& address, std::int64_t now);
  void Failed(const std::string& address, std::int64_t now);
  void Succeeded(const std::string& address);

 private:
  struct Entry {
    int failures = 0;
    std::int64_t next_try = 0;
  };
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

}  // namespace korvweb
