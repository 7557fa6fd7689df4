// A stand-in for the game server's remote console, on a thread of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../support/process_harness.h"
#include "../support/remote_client.h"

namespace korvtest {

// {kDropLink} closes the connection; {kRaw, bytes[, kDropLink]} sends bytes as they are.
inline const std::string kDropLink = "\x01drop";
inline const std::string kRaw = "\x01raw";

// The 29 live values of the settings read after a login, in asking order.
inline std::vector<std::string> LiveSettingLines() {
  return {"0",   "CTLanT1", "1200", "0",   "15",  "5",   "10", "0.50", "1.0", "1.0",
          "1.0", "0.00",    "0.00", "0",   "0",   "3",   "0.0", "1",   "1",   "1",
          "0",   "60",      "0.60", "0.60", "0.60", "1",  "1",   "0",   "1"};
}

class FakeConsole {
 public:
  using Answer = std::function<std::vector<std::string>(const std::vector<std::string>&)>;
  static constexpr unsigned char kKey[10] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x08, 0x09, 0x7F};

  FakeConsole(std::string user, std::string password, Answer answer)
      : user_(std::move(user)), password_(std::move(password)), answer_(std::move(answer)) {
    listener_ = BindLoopback(false, 0, &port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeConsole() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }
  int logins() const { return logins_; }
  std::string login_bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return login_bytes_;
  }
  std::vector<std::vector<std::string>> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  void set_answer_sync(bool on) { answer_sync_ = on; }
  void set_answer(Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
  }

 private:
  // Exactly n bytes; none on a close, or once the console is stopped.
  std::optional<std::string> Read(int fd, std::size_t n) {
    std::string out;
    while (out.size() < n) {
      pollfd entry{fd, POLLIN, 0};
      if (stop_) return std::nullopt;
      if (::poll(&entry, 1, 20) <= 0) continue;
      char chunk[4096];
      ssize_t got = ::recv(fd, chunk, std::min(sizeof chunk, n - out.size()), 0);
      if (got <= 0) return std::nullopt;
      out.append(chunk, static_cast<std::size_t>(got));
    }
    return out;
  }
  // A length (at most `most`) and that many bytes, all kept in *raw.
  std::optional<std::string> ReadCounted(int fd, std::uint32_t most, std::string* raw = nullptr) {
    auto length = Read(fd, 4);
    if (!length || korvclient::GetU32(*length) > most) return std::nullopt;
    auto bytes = Read(fd, korvclient::GetU32(*length));
    if (bytes && raw != nullptr) *raw += *length + *bytes;
    return bytes;
  }
  std::string Unscramble(const std::string& bytes) {
    std::string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) text.push_back(bytes[i] ^ kKey[i % 10]);
    return text;
  }
  void Session(int fd) {
    ::send(fd, kKey, sizeof kKey, MSG_NOSIGNAL);
    std::string raw;
    auto user = ReadCounted(fd, 1000, &raw), password = user ? ReadCounted(fd, 1000, &raw) : std::nullopt;
    if (!password) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      login_bytes_ = raw;
    }
    char verdict = (Unscramble(*user) == user_ && Unscramble(*password) == password_) ? 1 : 0;
    ::send(fd, &verdict, 1, MSG_NOSIGNAL);
    if (!verdict) return;
    ++logins_;
    for (;;) {
      auto count = Read(fd, 4);
      if (!count || korvclient::GetU32(*count) > 1000) return;
      std::vector<std::string> strings;
      for (std::uint32_t i = korvclient::GetU32(*count); i > 0; --i) {
        auto s = ReadCounted(fd, 100000);
        if (!s) return;
        if (!s->empty() && s->back() == '\0') s->pop_back();
        strings.push_back(*s);
      }
      std::vector<std::string> answer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(strings);
        // answer_sync = false leaves the settings read unanswered.
        bool sync = answer_sync_ && strings.size() > 30 && strings[1] == "admin.bandwidthChokeLimit";
        answer = sync ? LiveSettingLines() : answer_(strings);
      }
      if (!answer.empty() && answer[0] == kDropLink) return;
      std::string bytes = (!answer.empty() && answer[0] == kRaw) ? answer[1] : korvclient::ConsolePacket(answer);
      ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (answer.size() == 3 && answer[0] == kRaw && answer[2] == kDropLink) return;
    }
  }
  void Serve() {
    while (!stop_) {
      pollfd entry{listener_, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      Session(fd);
      ::close(fd);
    }
  }

  std::string user_;
  std::string password_;
  Answer answer_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> answer_sync_{true};
  std::atomic<int> logins_{0};
  std::mutex mutex_;
  std::string login_bytes_;
  std::vector<std::vector<std::string>> requests_;
  std::thread thread_;
};

// A console answer that gives the same lines to every request.
inline FakeConsole::Answer Replies(std::vector<std::string> lines = {}) {
  return [lines](const std::vector<std::string>&) { return lines; };
}

}  // namespace korvtest
