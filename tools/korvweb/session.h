// Browser sessions: each holds one logged-in daemon session of its own
// (a korvctl Link), the token its state-changing requests must carry, and
// the notifications pushed to its pages. The store creates, finds and
// expires them, and remembers why a session ended; the throttle slows down
// failed logins per client address and per account.
#pragma once

#include <atomic>
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
  // Event streams open at once per session; a further one ends the oldest
  // (a page reloaded before its old stream was seen to close).
  static constexpr std::size_t kMaxStreams = 3;

  std::string id;
  std::string token;  // the CSRF token of every state-changing request
  std::string user;
  std::uint32_t access = 0;
  bool server_running = false;

  // The daemon link; hold `link_mutex` for every use. Close() never takes
  // it: it shuts the socket down, so a holder blocked on the daemon wakes.
  std::timed_mutex link_mutex;
  korvctl::Link link;
  std::atomic<bool> link_lost{false};  // set with link_mutex held
  // The link's socket once logged in, for Close().
  std::atomic<int> link_fd{-1};

  // Reads the notifications that are waiting (read ahead or on the socket)
  // and pushes them; link_mutex must be held. False when the link broke.
  bool DrainNotices();
  // The link failed: the page is told, and the session ends at the next
  // sweep or request. link_mutex must be held.
  void MarkLost();
  // Appends one event and wakes the pages that wait for it.
  void Push(const std::string& json);
  // Events after `after` (up to kMaxEvents), waiting at most `wait_ms` for
  // one to come, or until the session is closed or `stream` (when not 0)
  // must end.
  std::vector<WebEvent> EventsAfter(std::uint64_t after, int wait_ms, std::uint64_t stream = 0);
  std::uint64_t last_seq();
  // Ends the daemon session and every stream; takes no lock a request may hold.
  void Close();
  bool closed();

  // An event stream of the page opens (its number) and closes at `now`.
  std::uint64_t OpenStream();
  void CloseStream(std::uint64_t stream, std::int64_t now);
  // False once the stream must end: the session closed or a newer stream
  // took its place.
  bool StreamWanted(std::uint64_t stream);
  // True when the page had a stream, has none now and has had none since
  // before `since`.
  bool PageGoneSince(std::int64_t since);

  void Touch(std::int64_t now) { last_active_ = now; }
  std::int64_t last_active() const { return last_active_; }

 private:
  std::mutex event_mutex_;
  std::condition_variable event_cv_;
  std::deque<WebEvent> events_;
  std::uint64_t next_seq_ = 1;
  bool closed_ = false;
  std::atomic<std::int64_t> last_active_{0};
  std::deque<std::uint64_t> streams_;  // open streams, oldest first
  std::uint64_t next_stream_ = 1;
  bool had_stream_ = false;
  std::int64_t streams_gone_at_ = 0;
};

// Why a session ended, as the browser that still names it is told.
inline constexpr char kExpiredText[] = "session expired; log in again";
inline constexpr char kDaemonClosedText[] = "the daemon closed this session; log in again";

class SessionStore {
 public:
  // Ended sessions remembered, for the words their pages are given.
  static constexpr std::size_t kMaxEnded = 1024;
  explicit SessionStore(std::size_t max_sessions) : max_sessions_(max_sessions) {}
  // Holds one of the max_sessions places for a login in progress (or a
  // fleet session, for as long as it lives), so that logins at once never
  // open more daemon sessions than that; false when every place is taken.
  bool Reserve();
  void Unreserve();
  // Fills the place Reserve() held.
  void Add(std::shared_ptr<WebSession> session);
  std::shared_ptr<WebSession> Find(const std::string& id);
  // Closes and removes the session; `why` (one of the texts above, or
  // nullptr for a logout) is what a later request naming it is told.
  void Remove(const std::string& id, const char* why);
  // Why the session `id` ended; nullptr when it is unknown or logged out.
  const char* EndedWhy(const std::string& id);
  // Every session, for the notification pump.
  std::vector<std::shared_ptr<WebSession>> All();
  // Closes and removes the sessions idle since before `now - idle`, those
  // whose page has been gone (no event stream) since before `now - grace`
  // and those whose daemon link was lost; returns how many.
  int ExpireIdle(std::int64_t now, std::int64_t idle, std::int64_t grace);
  std::size_t size();

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<WebSession>> sessions_;
  std::map<std::string, const char*> ended_;
  std::deque<std::string> ended_order_;
  std::size_t reserved_ = 0;
  std::size_t max_sessions_;
};

// Failed logins per key (a client address, or an account as "user:NAME"):
// after n failures in a row the key waits 2^(n-1) seconds (at most 60)
// before it may try again; a success clears it.
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
