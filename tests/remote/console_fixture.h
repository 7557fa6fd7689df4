// Queued commands against a stand-in console, with sessions slot 1 "alice" and slot 2 "bob".
#pragma once

#include <cstdio>
#include <memory>

#include "links/console.h"
#include "links/fake_console.h"
#include "links/link_fixture.h"
#include "links/udp_responder.h"
#include "commands/command_table.h"
#include "remote/session.h"

namespace korvtest {

inline constexpr char kMikeHash[] = "0123456789abcdef0123456789abcdef";

inline void RunCommand(std::uint32_t code, const std::string& text, std::uint32_t sender) {
  QueuedCommand command;
  command.code = code;
  std::snprintf(command.text, sizeof command.text, "%s", text.c_str());
  command.sender = sender;
  RunQueuedCommand(command);
}

class ConsoleFixture : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_.path();
    status_ = std::make_unique<UdpResponder>(std::vector<std::string>{"\\numplayers\\1\\mapname\\berlin\\queryid\\1.1\\final\\"});
    console_ = std::make_unique<FakeConsole>("ab", "secret", [this](const auto& request) {
      if (request.size() < 2) return std::vector<std::string>{"ok\n"};
      if (request[1] == "game.listPlayers")
        return std::vector<std::string>{"Id:3 - Mike is remote ip: 10.0.0.5:14567 hash:" + std::string(kMikeHash) + "\n"};
      if (!fail_.empty() && request[1].find(fail_) != std::string::npos) return std::vector{kDropLink};
      if (request[1] == "admin.kickPlayer 42") return std::vector<std::string>{"No player with id 42"};
      return std::vector<std::string>{"ok\n"};
    });
    PointAtStandIns(console_->port(), status_->port(), "ab", "secret");
    InitSessionTable();
    for (int slot : {1, 2}) {
      g_manager.remote.sessions[slot].socket = pairs_[slot - 1].a;
      g_manager.remote.sessions[slot].user_name = slot == 1 ? "alice" : "bob";
      g_manager.remote.sessions[slot].address = "127.0.0.1:500" + std::to_string(slot);
    }
    ASSERT_TRUE(ConsoleConnect());
    Sent();
  }
  void Run(std::uint32_t code, const std::string& text, std::uint32_t sender = 1) { RunCommand(code, text, sender); }
  // The console lines sent since the last call (without the channel string).
  std::vector<std::string> Sent() {
    std::vector<std::string> lines;
    auto requests = console_->requests();
    for (std::size_t i = seen_; i < requests.size(); ++i)
      for (std::size_t k = 1; k + 1 < requests[i].size(); ++k) lines.push_back(requests[i][k]);
    seen_ = requests.size();
    return lines;
  }
  // What session `slot` received since the last call.
  std::string Received(int slot = 1) { return TcpPair::Drain(pairs_[slot - 1].b); }
  std::pair<std::string, std::string> ReceivedBoth() { return {Received(1), Received(2)}; }

  std::unique_ptr<UdpResponder> status_;
  std::unique_ptr<FakeConsole> console_;
  TcpPair pairs_[2];
  std::size_t seen_ = 0;
  std::string fail_;
};

}  // namespace korvtest
