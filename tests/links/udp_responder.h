// A stand-in status port answering each datagram with fixed datagrams.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../support/process_harness.h"

namespace korvtest {

class UdpResponder {
 public:
  // Binds 127.0.0.1:port (0 picks a free one); ok() tells whether it did.
  explicit UdpResponder(std::vector<std::string> replies, int port = 0) : replies_(std::move(replies)) {
    fd_ = BindLoopback(true, port, &port_);
    if (fd_ >= 0) thread_ = std::thread([this] { Serve(); });
  }
  ~UdpResponder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  bool ok() const { return port_ != 0; }
  int port() const { return port_; }
  std::vector<std::string> queries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queries_;
  }
  void set_replies(std::vector<std::string> replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_ = std::move(replies);
  }

 private:
  void Serve() {
    char buffer[2048];
    while (!stop_) {
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      sockaddr_in from{};
      socklen_t length = sizeof from;
      ssize_t got = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (got < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      queries_.emplace_back(buffer, static_cast<std::size_t>(got));
      for (const std::string& reply : replies_)
        ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> replies_;
  std::vector<std::string> queries_;
  std::thread thread_;
};

}  // namespace korvtest
