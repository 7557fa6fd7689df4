// Shared pieces of the link and transport tests.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "core/log.h"
#include "daemon/manager_state.h"
#include "settings/settings_table.h"
#include "support/process_harness.h"
#include "support/remote_client.h"

namespace korvtest {

class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetManagerState();
    InitSettings();
    g_manager.core.daemon = true;  // no echo on standard output
    g_manager.core.server_dir = dir_.path();
  }
  void TearDown() override { ResetManagerState(); }
  std::string Log() const { return ReadFile(LogFilePath()); }
  TempDir dir_;
};

// Points the daemon at stand-ins on 127.0.0.1 (console `user`/`password`); smart balance off.
inline void PointAtStandIns(int console_port, int status_port, const std::string& user, const std::string& password) {
  g_manager.server.server_running = true;
  g_manager.server.console_user = user;
  g_manager.server.console_password = password;
  g_manager.links.status_port = status_port;
  Setting(kSetServerIp).value = 0x7F000001;
  Setting(kSetConsolePort).value = console_port;
  Setting(kSetSmartBalance).value = 0;
}

inline void MakeNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// A connected TCP pair over 127.0.0.1; both ends non-blocking.
struct TcpPair {
  int a = -1, b = -1;
  TcpPair() {
    int port = 0;
    int listener = BindLoopback(false, 0, &port);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    a = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(a, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    b = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    MakeNonBlocking(a);
    MakeNonBlocking(b);
  }
  ~TcpPair() {
    if (a >= 0) ::close(a);
    if (b >= 0) ::close(b);
  }
  static std::string Drain(int fd) {
    std::string out;
    char buffer[65536];
    for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) out.append(buffer, static_cast<std::size_t>(got));
    return out;
  }
};

}  // namespace korvtest
