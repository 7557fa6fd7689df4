// Prints the daemon's CPU time for one full refresh of a 64-player server:
// the status query, "game.listPlayers" and the join. The stand-in console
// and status port run on threads of their own, so only the caller's thread
// is counted.
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../tests/links/fake_console.h"
#include "bench_result.h"
#include "../tests/links/udp_responder.h"
#include "daemon/manager_state.h"
#include "links/console.h"
#include "links/player_table.h"
#include "settings/settings_table.h"

namespace {

double ThreadCpuMicros() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

std::string Report() {
  std::string report = "\\numplayers\\64\\queryid\\1.1";
  for (int i = 0; i < 64; ++i) {
    std::string k = std::to_string(i);
    report += "\\playername_" + k + "\\Player Number " + std::to_string(63 - i) + "\\team_" + k +
              "\\" + std::to_string(1 + i % 2) + "\\score_" + k + "\\" + std::to_string(i * 3) +
              "\\kills_" + k + "\\12\\deaths_" + k + "\\4\\ping_" + k + "\\87";
  }
  return report + "\\final\\";
}

std::vector<std::string> ListLines() {
  std::vector<std::string> lines;
  for (int i = 0; i < 64; ++i) {
    lines.push_back("Id:" + std::to_string(i) + " - Player Number " + std::to_string(i) +
                    " is remote ip: 10.1.2." + std::to_string(i) +
                    ":14567 hash:0123456789abcdef0123456789abcdef");
  }
  return lines;
}

}  // namespace

int main() {
  InitSettings();
  g_manager.core.daemon = true;
  // The daemon's log lines of the connection go to a directory of our own.
  char pattern[] = "/tmp/korv-links-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  g_manager.core.server_dir = pattern;
  korvtest::UdpResponder status({Report()});
  std::vector<std::string> lines = ListLines();
  korvtest::FakeConsole console("u", "p", [&](const std::vector<std::string>& request) {
    return request.size() > 1 && request[1] == "game.listPlayers" ? lines
                                                                  : std::vector<std::string>{};
  });
  g_manager.server.server_running = true;
  g_manager.server.console_user = "u";
  g_manager.server.console_password = "p";
  g_manager.links.status_port = status.port();
  Setting(kSetServerIp).value = 0x7F000001;
  Setting(kSetConsolePort).value = console.port();
  if (!ConsoleConnect()) {
    std::printf("could not connect to the stand-in console\n");
    std::filesystem::remove_all(pattern);
    return 1;
  }
  constexpr int kRounds = 200;
  double best = 1e30, total = 0;
  for (int i = 0; i < kRounds; ++i) {
    double start = ThreadCpuMicros();
    bool ok = GetPlayerList();
    double used = ThreadCpuMicros() - start;
    if (!ok || PlayerCount() != 64) {
      std::printf("refresh failed\n");
      std::filesystem::remove_all(pattern);
      return 1;
    }
    best = std::min(best, used);
    total += used;
  }
  std::printf("64-player refresh, daemon CPU: best %.0f us, mean %.0f us over %d rounds "
              "(goal: at most 1000 us)\n",
              best, total / kRounds, kRounds);
  korvbench::PrintResult("64-player refresh, mean CPU", total / kRounds, 1000, "us");
  ConsoleDisconnect();
  std::filesystem::remove_all(pattern);
  return 0;
}
