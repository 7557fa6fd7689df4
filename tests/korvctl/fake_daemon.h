// A scripted stand-in for the daemon's remote service, speaking through the tests' own wire kit.
#pragma once

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

using namespace korvclient;

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
      peer_.Adopt(::accept(listener_, nullptr, nullptr));
      if (peer_.fd() >= 0) script(*this);
      // The connection ends with the script, as a daemon would hang up.
      ::shutdown(peer_.fd(), SHUT_RDWR);
    });
  }
  ~FakeDaemon() { if (thread_.joinable()) thread_.join(); ::close(listener_); }
  int port() const { return port_; }
  std::string port_text() const { return std::to_string(port_); }
  const std::string& received() const { return peer_.received(); }

  // Exactly n bytes (nothing on close or after 10 seconds).
  std::optional<std::string> Read(std::size_t n) { return peer_.Receive(n); }
  void Write(const std::string& bytes) { peer_.Send(bytes); }
  // Takes the login blocks and version; answers 0, `mask`, version 0x20 and `running`.
  bool Accept(std::uint32_t mask = 0xFFFFFFFF, bool running = true) {
    if (!Read(64)) return false;
    Write(std::string(1, '\0') + U32(mask) + std::string(1, '\x20'));
    if (!Read(1)) return false;
    Write(std::string(1, running ? '\1' : '\0'));
    return true;
  }
  // A command code; for text commands then the text with its length.
  std::optional<std::uint32_t> ReadCode() { return peer_.ReceiveU32(); }
  std::optional<std::string> ReadText() { return peer_.ReadReply(); }
  std::optional<std::string> ReadFrame() { return peer_.ReadFrame(); }
  void WaitClosed() { peer_.WaitClosed(true); }

 private:
  int listener_ = -1;
  int port_ = 0;
  korvclient::Client peer_;
  std::thread thread_;
};

// The program's output, once it ended with `status`.
inline std::string RunTool(const std::vector<std::string>& argv, int status,
                       const std::string& work_dir = "/tmp") {
  std::string output;
  EXPECT_EQ(korvtest::RunToEnd(argv, work_dir, &output), status) << argv.back() << ": " << output;
  return output;
}

inline std::string RunCtl(const FakeDaemon& daemon, std::vector<std::string> words, int status,
                          const std::string& work_dir = "/tmp") {
  return RunTool(korvtest::KorvctlArgv(daemon.port(), words, "2"), status, work_dir);
}

}  // namespace korvctltest
