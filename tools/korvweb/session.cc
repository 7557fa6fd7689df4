// Browser sessions, their store and the login throttle.
#include "korvweb/session.h"

#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "korvweb/json_text.h"

namespace korvweb {

std::int64_t SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string RandomHex(std::size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  std::size_t got = 0;
  while (got < bytes) {
    ssize_t n = ::getrandom(raw.data() + got, bytes - got, 0);
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : raw) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

bool WebSession::DrainNotices() {
  if (link_lost) return false;
  for (;;) {
    if (!link.has_pending()) {
      pollfd entry{link.fd(), POLLIN, 0};
      if (::poll(&entry, 1, 0) != 1) return true;
    }
    korvctl::Notice notice;
    if (!link.ReadNotice(&notice, link.timeout_ms())) return MarkLost(), false;
    Push(NoticeToJson(notice));
    if (notice.code == kNotifyDisconnect) {
      link_lost = true;
      return false;
    }
  }
}

void WebSession::MarkLost() {
  link_lost = true;
  Push(R"({"code":0,"key":"link_lost","words":)" +
       JsonText("the connection to the daemon was lost: " + link.failure().message) + "}");
}

void WebSession::Push(const std::string& json) {
  {
    std::lock_guard lock(event_mutex_);
    events_.push_back({next_seq_++, json});
    while (events_.size() > kMaxEvents) events_.pop_front();
  }
  event_cv_.notify_all();
}

std::vector<WebEvent> WebSession::EventsAfter(std::uint64_t after, int wait_ms, std::uint64_t stream) {
  std::unique_lock lock(event_mutex_);
  auto unwanted = [&] {
    return closed_ || (stream != 0 && std::find(streams_.begin(), streams_.end(), stream) == streams_.end());
  };
  auto ready = [&] { return unwanted() || (!events_.empty() && events_.back().seq > after); };
  event_cv_.wait_for(lock, std::chrono::milliseconds(wait_ms), ready);
  std::vector<WebEvent> out;
  for (const WebEvent& event : events_)
    if (event.seq > after) out.push_back(event);
  return out;
}

std::uint64_t WebSession::last_seq() {
  std::lock_guard lock(event_mutex_);
  return next_seq_ - 1;
}

void WebSession::Close() {
  {
    std::lock_guard lock(event_mutex_);
    closed_ = true;
  }
  event_cv_.notify_all();
  // The daemon sees the end at once; the descriptor itself is closed with
  // the link, once no request uses it.
  int fd = link_fd.exchange(-1);
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

bool WebSession::closed() {
  std::lock_guard lock(event_mutex_);
  return closed_;
}

std::uint64_t WebSession::OpenStream() {
  std::uint64_t stream = 0;
  {
    std::lock_guard lock(event_mutex_);
    stream = next_stream_++;
    streams_.push_back(stream);
    had_stream_ = true;
    while (streams_.size() > kMaxStreams) streams_.pop_front();
  }
  event_cv_.notify_all();
  return stream;
}

void WebSession::CloseStream(std::uint64_t stream, std::int64_t now) {
  std::lock_guard lock(event_mutex_);
  std::erase(streams_, stream);
  if (streams_.empty()) streams_gone_at_ = now;
}

bool WebSession::StreamWanted(std::uint64_t stream) {
  std::lock_guard lock(event_mutex_);
  return !closed_ && std::find(streams_.begin(), streams_.end(), stream) != streams_.end();
}

bool WebSession::PageGoneSince(std::int64_t since) {
  std::lock_guard lock(event_mutex_);
  return had_stream_ && streams_.empty() && streams_gone_at_ <= since;
}

bool SessionStore::Reserve() {
  std::lock_guard lock(mutex_);
  if (sessions_.size() + reserved_ >= max_sessions_) return false;
  ++reserved_;
  return true;
}

void SessionStore::Unreserve() {
  std::lock_guard lock(mutex_);
  if (reserved_ > 0) --reserved_;
}

void SessionStore::Add(std::shared_ptr<WebSession> session) {
  std::lock_guard lock(mutex_);
  if (reserved_ > 0) --reserved_;
  sessions_[session->id] = std::move(session);
}

std::shared_ptr<WebSession> SessionStore::Find(const std::string& id) {
  std::lock_guard lock(mutex_);
  auto found = sessions_.find(id);
  return found == sessions_.end() ? nullptr : found->second;
}

void SessionStore::Remove(const std::string& id, const char* why) {
  std::shared_ptr<WebSession> session;
  {
    std::lock_guard lock(mutex_);
    auto found = sessions_.find(id);
    if (found == sessions_.end()) return;
    session = found->second;
    sessions_.erase(found);
    if (why != nullptr) {
      if (ended_order_.size() >= kMaxEnded) {
        ended_.erase(ended_order_.front());
        ended_order_.pop_front();
      }
      ended_[id] = why;
      ended_order_.push_back(id);
    }
  }
  session->Close();
}

const char* SessionStore::EndedWhy(const std::string& id) {
  std::lock_guard lock(mutex_);
  auto found = ended_.find(id);
  return found == ended_.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<WebSession>> SessionStore::All() {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<WebSession>> all;
  for (auto& [id, session] : sessions_) all.push_back(session);
  return all;
}

int SessionStore::ExpireIdle(std::int64_t now, std::int64_t idle, std::int64_t grace) {
  int ended = 0;
  for (auto& session : All()) {
    const char* why = session->link_lost ? kDaemonClosedText
                      : now - session->last_active() >= idle || session->PageGoneSince(now - grace)
                          ? kExpiredText
                          : nullptr;
    if (why) Remove(session->id, why), ++ended;
  }
  return ended;
}

std::size_t SessionStore::size() {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

std::int64_t LoginThrottle::WaitLeft(const std::string& address, std::int64_t now) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find(address);
  if (found == entries_.end()) return 0;
  return std::max<std::int64_t>(0, found->second.next_try - now);
}

void LoginThrottle::Failed(const std::string& address, std::int64_t now) {
  std::lock_guard lock(mutex_);
  if (entries_.size() >= kMaxAddresses && !entries_.contains(address)) {
    // Forget the addresses whose wait is over; if none, the oldest entry.
    std::erase_if(entries_, [now](const auto& item) { return item.second.next_try <= now; });
    if (entries_.size() >= kMaxAddresses) entries_.erase(entries_.begin());
  }
  Entry& entry = entries_[address];
  entry.failures = std::min(entry.failures + 1, 7);
  entry.next_try = now + std::min<std::int64_t>(60, std::int64_t{1} << (entry.failures - 1));
}

void LoginThrottle::Succeeded(const std::string& address) {
  std::lock_guard lock(mutex_);
  entries_.erase(address);
}

}  // namespace korvweb
