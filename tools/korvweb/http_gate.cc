// The HTTP front of korvweb: the head reader, the worker pools and the
// stream each request is served over.
#include "korvweb/http_gate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace korvweb {
namespace {

constexpr int kWriteWaitMs = 5000;
constexpr int kDrainMs = 2000;
constexpr int kMaxPerConnection = 1000;
// A body is measured as sent: chunk sizes and trailers may add this share.
constexpr std::size_t kChunkShare = 64;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool WaitFd(int fd, short events, std::int64_t wait_ms) {
  pollfd entry{fd, events, 0};
  int ready = ::poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(0, wait_ms)));
  return ready == 1 && (entry.revents & (events | POLLHUP | POLLERR)) != 0;
}

// One request's reading and its answer, on a worker. Reads come first from
// what the gate already read, then from the socket until the request's
// deadline; a request that would read past its limit reads nothing more.
class GateStream : public httplib::Stream {
 public:
  GateStream(int fd, std::string buffered, std::int64_t deadline, std::size_t cap)
      : fd_(fd), buffer_(std::move(buffered)), deadline_(deadline), cap_(cap) {}

  bool is_readable() const override {
    return off_ < buffer_.size() || WaitFd(fd_, POLLIN, deadline_ - NowMs());
  }
  bool is_writable() const override {
    if (!WaitFd(fd_, POLLOUT, kWriteWaitMs)) return false;
    // A peer that closed its end is gone, though its socket still takes bytes.
    char byte;
    return off_ < buffer_.size() || ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0;
  }
  ssize_t read(char* ptr, std::size_t size) override {
    if (consumed_ >= cap_) {
      over_cap_ = true;
      return -1;
    }
    if (off_ >= buffer_.size()) {
      if (!WaitFd(fd_, POLLIN, deadline_ - NowMs())) return -1;
      buffer_.resize(4096);
      off_ = 0;
      ssize_t got = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
      buffer_.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
      if (got <= 0) return got;
    }
    std::size_t n = std::min({size, buffer_.size() - off_, cap_ - consumed_});
    std::memcpy(ptr, buffer_.data() + off_, n);
    off_ += n;
    consumed_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, std::size_t size) override {
    if (!WaitFd(fd_, POLLOUT, kWriteWaitMs)) return -1;
    return ::send(fd_, ptr, size, MSG_NOSIGNAL);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    Address(::getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    Address(::getsockname, ip, port);
  }
  socket_t socket() const override { return fd_; }

  bool over_cap() const { return over_cap_; }
  std::string Leftover() const { return buffer_.substr(off_); }

 private:
  void Address(int (*name)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char text[INET6_ADDRSTRLEN] = "";
    port = 0;
    if (name(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return ip.clear();
    if (address.ss_family == AF_INET) {
      auto* in = reinterpret_cast<sockaddr_in*>(&address);
      ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
      port = ntohs(in->sin_port);
    } else if (address.ss_family == AF_INET6) {
      auto* in = reinterpret_cast<sockaddr_in6*>(&address);
      ::inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
      port = ntohs(in->sin6_port);
    }
    ip = text;
  }

  int fd_;
  std::string buffer_;
  std::size_t off_ = 0;
  std::int64_t deadline_;
  std::size_t cap_;
  std::size_t consumed_ = 0;
  bool over_cap_ = false;
};

thread_local GateStream* t_current = nullptr;

// The accept loop hands each connection straight to the gate.
class InlineQueue : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

}  // namespace

std::string HeadValue(std::string_view head, std::string_view name) {
  for (std::size_t at = head.find("\r\n"); at != std::string_view::npos; at = head.find("\r\n", at + 2)) {
    std::string_view line = head.substr(at + 2, head.find("\r\n", at + 2) - at - 2);
    if (line.size() <= name.size() || line[name.size()] != ':') continue;
    if (!std::equal(name.begin(), name.end(), line.begin(),
                    [](char a, char b) { return Lower(a) == Lower(b); }))
      continue;
    std::string_view value = line.substr(name.size() + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return std::string(value);
  }
  return "";
}

bool WorkerPool::Run(std::function<void()> job, std::size_t max_queued) {
  std::lock_guard lock(mutex_);
  if (stopping_ || jobs_.size() >= max_queued) return false;
  jobs_.push_back(std::move(job));
  if (idle_ < jobs_.size() && threads_.size() < max_) threads_.emplace_back([this] { Work(); });
  cv_.notify_one();
  return true;
}

void WorkerPool::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

void WorkerPool::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    --idle_;
    if (jobs_.empty()) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

GateServer::GateServer(GateLimits limits, LaneFn lane)
    : limits_(limits),
      lane_(std::move(lane)),
      public_pool_(limits.public_workers),
      session_pool_(limits.session_workers),
      stream_pool_(limits.stream_workers) {
  new_task_queue = [] { return new InlineQueue; };
  set_payload_max_length(limits_.max_body);
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
  gate_ = std::thread([this] { GateLoop(); });
}

GateServer::~GateServer() { Shutdown(); }

bool GateServer::BodyTooLarge() { return t_current != nullptr && t_current->over_cap(); }

bool GateServer::process_and_close_socket(socket_t sock) {
  int one = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  Conn conn;
  conn.fd = sock;
  conn.deadline = NowMs() + limits_.head_ms;
  Enter(std::move(conn));
  return true;
}

void GateServer::Enter(Conn conn) {
  if (stopping_) return CloseNow(conn);
  {
    std::lock_guard lock(mutex_);
    entering_.push_back(std::move(conn));
  }
  char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_[1], &byte, 1);
}

void GateServer::CloseNow(Conn& conn) {
  if (conn.fd < 0) return;
  ::shutdown(conn.fd, SHUT_RDWR);
  ::close(conn.fd);
  conn.fd = -1;
}

void GateServer::Refuse(Conn& conn, int status, std::string_view words) {
  std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + std::string(words) +
                       "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(words.size() + 1) +
                       "\r\nConnection: close\r\n\r\n" + std::string(words) + "\n";
  [[maybe_unused]] ssize_t n = ::send(conn.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  ::shutdown(conn.fd, SHUT_WR);
  conn.draining = true;
  conn.buffer.clear();
  conn.deadline = NowMs() + kDrainMs;
}

bool GateServer::HeadComplete(Conn& conn) {
  std::size_t end = conn.buffer.find("\r\n\r\n");
  if (end == std::string::npos) {
    if (conn.buffer.size() > limits_.max_head) Refuse(conn, 431, "Request Header Fields Too Large");
    return false;
  }
  if (end > limits_.max_head) return Refuse(conn, 431, "Request Header Fields Too Large"), false;
  std::string_view head(conn.buffer.data(), end + 2);
  std::string length = HeadValue(head, "Content-Length");
  std::string coding = HeadValue(head, "Content-Encoding");
  if (!length.empty() && (length.size() > 12 || std::strtoull(length.c_str(), nullptr, 10) > limits_.max_body))
    return Refuse(conn, 413, "Payload Too Large"), false;
  if (!coding.empty() && coding != "identity") return Refuse(conn, 415, "Unsupported Media Type"), false;
  return true;
}

bool GateServer::ReadSome(Conn& conn) {
  char buffer[4096];
  ssize_t got = ::recv(conn.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (got <= 0) return CloseNow(conn), false;
  if (conn.draining) return true;
  if (conn.idle) {
    conn.idle = false;
    conn.deadline = NowMs() + limits_.head_ms;
  }
  conn.buffer.append(buffer, static_cast<std::size_t>(got));
  if (!HeadComplete(conn)) return true;
  Dispatch(std::move(conn));
  return false;
}

void GateServer::GateLoop() {
  std::vector<pollfd> fds;
  while (!stopping_) {
    {
      std::lock_guard lock(mutex_);
      for (Conn& conn : entering_) waiting_.push_back(std::move(conn));
      entering_.clear();
    }
    // A kept-alive connection may bring its next head already.
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      bool ready = !it->idle && !it->draining && !it->buffer.empty() && HeadComplete(*it);
      if (ready) Dispatch(std::move(*it));
      it = ready ? waiting_.erase(it) : std::next(it);
    }
    while (waiting_.size() > limits_.max_waiting) {
      auto oldest = std::min_element(waiting_.begin(), waiting_.end(),
                                     [](const Conn& a, const Conn& b) { return a.deadline < b.deadline; });
      CloseNow(*oldest);
      waiting_.erase(oldest);
    }
    std::int64_t now = NowMs();
    std::int64_t next = now + 1000;
    fds.assign(1, pollfd{wake_[0], POLLIN, 0});
    for (Conn& conn : waiting_) {
      fds.push_back({conn.fd, POLLIN, 0});
      next = std::min(next, conn.deadline);
    }
    ::poll(fds.data(), fds.size(), static_cast<int>(std::max<std::int64_t>(0, next - now)));
    char drain[64];
    while (::read(wake_[0], drain, sizeof drain) > 0) {
    }
    now = NowMs();
    std::size_t index = 1;
    for (auto it = waiting_.begin(); it != waiting_.end(); ++index) {
      bool keep = true;
      if (fds[index].revents != 0) keep = ReadSome(*it);
      if (keep && it->deadline <= now) {
        if (!it->idle && !it->draining) Refuse(*it, 408, "Request Timeout");
        else CloseNow(*it);
        keep = it->fd >= 0;
      }
      it = keep ? std::next(it) : waiting_.erase(it);
    }
  }
  for (Conn& conn : waiting_) CloseNow(conn);
  waiting_.clear();
}

void GateServer::Dispatch(Conn conn) {
  Lane lane = lane_(conn.buffer);
  WorkerPool& pool = lane == Lane::kStream    ? stream_pool_
                     : lane == Lane::kSession ? session_pool_
                                              : public_pool_;
  int fd = conn.fd;
  {
    std::lock_guard lock(mutex_);
    active_.insert(fd);
  }
  auto job = std::make_shared<Conn>(std::move(conn));
  if (pool.Run([this, job] { Serve(std::move(*job)); }, limits_.max_queued)) return;
  {
    std::lock_guard lock(mutex_);
    active_.erase(fd);
  }
  Refuse(*job, 503, "Service Unavailable");
  CloseNow(*job);
}

void GateServer::Serve(Conn conn) {
  std::size_t head = conn.buffer.find("\r\n\r\n") + 4;
  GateStream stream(conn.fd, std::move(conn.buffer), NowMs() + limits_.body_ms,
                    head + limits_.max_body + limits_.max_body / kChunkShare);
  bool last = ++conn.served >= kMaxPerConnection || stopping_;
  bool closed = false;
  t_current = &stream;
  bool ok = process_request(stream, last, closed, nullptr);
  t_current = nullptr;
  {
    std::lock_guard lock(mutex_);
    active_.erase(conn.fd);
  }
  conn.buffer = stream.Leftover();
  if (stream.over_cap()) {
    ::shutdown(conn.fd, SHUT_WR);
    conn.draining = true;
    conn.buffer.clear();
    conn.deadline = NowMs() + kDrainMs;
  } else if (ok && !closed && !last) {
    conn.idle = conn.buffer.empty();
    conn.deadline = NowMs() + (conn.idle ? limits_.idle_ms : limits_.head_ms);
  } else {
    return CloseNow(conn);
  }
  Enter(std::move(conn));
}

void GateServer::Shutdown() {
  if (stopping_.exchange(true)) return;
  char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_[1], &byte, 1);
  if (gate_.joinable()) gate_.join();
  {
    std::lock_guard lock(mutex_);
    for (int fd : active_) ::shutdown(fd, SHUT_RDWR);
    for (Conn& conn : entering_) CloseNow(conn);
    entering_.clear();
  }
  public_pool_.Stop();
  session_pool_.Stop();
  stream_pool_.Stop();
  {
    std::lock_guard lock(mutex_);
    for (Conn& conn : entering_) CloseNow(conn);
    entering_.clear();
  }
  for (int& fd : wake_)
    if (fd >= 0) ::close(fd), fd = -1;
}

}  // namespace korvweb
