// A scripted stand-in for the daemon's remote service: it accepts one client
// on 127.0.0.1, and a test script reads and writes raw bytes. Its byte
// helpers are the tests' own wire kit (support/remote_client.h), so the
// client's bytes are checked independently of the daemon's and korvctl's
// code.
#pragma once

#include <arpa/inet.h>
#include <lzo/lzo1x.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/process_harness.h"
#include "support/remote_client.h"

namespace korvctltest {

using korvclient::Adler32;
using korvclient::Frame;
using korvclient::GetU32;
using korvclient::Notice;
using korvclient::Rc4;
using korvclient::U32;
using korvclient::Unpack;

inline std::string ClientKey() { return korvtest::ReadFile(korvtest::SourcePath("src/remote/client.key")); }

class FakeDaemon;
using Script = std::function<void(FakeDaemon&)>;

class FakeDaemon {
 public:
  explicit FakeDaemon(Script script) {
    listener_ = korvtest::BindLoopback(false, 0, &port_);
    thread_ = std::thread([this, script] {
      pollfd entry{listener_, POLLIN, 0};
      if (::poll(&entry, 1, 15000) != 1) return;
      fd_ = ::accept(listener_, nullptr, nullptr);
      if (fd_ >= 0) script(*this);
      // The connection ends with the script, as a daemon would hang up.
      ::shutdown(fd_, SHUT_RDWR);
    });
  }
  ~FakeDaemon() {
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    ::close(listener_);
  }
  int port() const { return port_; }
  std::string port_text() const { return std::to_string(port_); }
  // Everything read from the client so far.
  const std::string& received() const { return received_; }

  // Reads exactly n bytes (nothing on close or after 10 seconds).
  std::optional<std::string> Read(std::size_t n) {
    std::string out;
    while (out.size() < n) {
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, 10000) != 1) return std::nullopt;
      char chunk[4096];
      ssize_t got = ::recv(fd_, chunk, std::min(sizeof chunk, n - out.size()), 0);
      if (got <= 0) return std::nullopt;
      out.append(chunk, got);
    }
    received_ += out;
    return out;
  }
  void Write(const std::string& bytes) {
    ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // The accepting side of the login: takes the two 32-byte blocks and the
  // version byte, answers result 0, `mask`, version 0x20 and `running`.
  bool Accept(std::uint32_t mask = 0xFFFFFFFF, bool running = true) {
    if (!Read(64)) return false;
    Write(std::string(1, '\0') + U32(mask) + std::string(1, '\x20'));
    if (!Read(1)) return false;
    Write(std::string(1, running ? '\1' : '\0'));
    return true;
  }
  // Reads a command code and, for text commands, its length and text.
  std::optional<std::uint32_t> ReadCode() {
    auto bytes = Read(4);
    if (!bytes) return std::nullopt;
    return GetU32(*bytes, 0);
  }
  std::optional<std::string> ReadText() {
    auto length = Read(4);
    if (!length) return std::nullopt;
    return Read(GetU32(*length, 0));
  }
  // Reads one frame and unpacks it.
  std::optional<std::string> ReadFrame() {
    auto head = Read(4);
    if (!head) return std::nullopt;
    std::uint32_t plain = GetU32(*head, 0);
    if (plain == 0) return std::string();
    auto sizes = Read(8);
    if (!sizes) return std::nullopt;
    auto packed = Read(GetU32(*sizes, 0));
    if (!packed || Adler32(*packed) != GetU32(*sizes, 4)) return std::nullopt;
    return Unpack(*packed, plain);
  }
  // Waits until the client closes its side.
  void WaitClosed() {
    pollfd entry{fd_, POLLIN, 0};
    char byte;
    while (::poll(&entry, 1, 10000) == 1 && ::recv(fd_, &byte, 1, 0) > 0) received_ += byte;
  }

 private:
  int listener_ = -1;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string received_;
};

// Runs build/korvctl against the fake daemon's port with the given words.
inline int RunCtl(const FakeDaemon& daemon, std::vector<std::string> words, std::string* output,
                  const std::string& work_dir = "/tmp") {
  std::vector<std::string> argv{korvtest::BuildPath("korvctl"), "-p", daemon.port_text(), "-u",
                                "admin", "--password", "secret", "-t", "2"};
  argv.insert(argv.end(), words.begin(), words.end());
  return korvtest::RunToEnd(argv, work_dir, output);
}

}  // namespace korvctltest
