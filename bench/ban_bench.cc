// Ban-list speed with the server stopped (the file road): the expiry of
// 1% of a large serverbanlist.con, pass by pass (each pass lifts one slice
// and queues the next), and one ban plus unban of one identity against one
// atomic rewrite of the list. Rows default to 100,000; pass another number
// as argument, and "all" after it to let every row expire.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bans/ban_file.h"
#include "bans/bans.h"
#include "bans/bans_state.h"
#include "bench_result.h"
#include "core/clock.h"
#include "core/files.h"
#include "daemon/manager_state.h"
#include "settings/settings_table.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::time_t kNow = 1700000000;
constexpr int kRounds = 5;
std::int64_t BenchClock() { return std::int64_t{kNow} * 1000; }

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Address(int i) {
  return "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
         std::to_string(i & 255);
}

// `rows` bans with a key and an address each; every hundredth has expired,
// or every one with `all`.
void Seed(const std::string& dir, int rows, bool all) {
  std::string list;
  std::string game;
  char key[40];
  for (int i = 0; i < rows; ++i) {
    std::snprintf(key, sizeof key, "%032x", i * 2654435761u);
    unsigned long expiry = all || i % 100 == 0 ? kNow - 10 : i % 3 == 0 ? 0 : kNow + 86400;
    list += "\"Player " + std::to_string(i) + "\"," + Address(i) + "," + key + ",*,\"admin\"," +
            std::to_string(kNow - 3600) + "," + std::to_string(expiry) + ",team killing\n";
    game += AddressBanLine(Address(i)) + KeyBanLine(key);
  }
  ReplaceFileContents(dir + "/serverbanlist.con", list);
  ReplaceFileContents(dir + "/banlist.con", game);
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  const bool all = argc > 2 && std::string(argv[2]) == "all";
  std::string dir = std::filesystem::temp_directory_path() / ("ban_bench." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir + "/pb");
  ResetManagerState();
  InitSettings();
  g_manager.core.daemon = true;
  g_manager.core.syslog = false;
  g_manager.core.server_dir = dir;
  g_manager.core.settings_dir = dir;
  g_manager.links.console_connected = true;  // expiry runs; the server is stopped
  SetClockForTests(BenchClock);
  CreateFileWithDirs(dir + "/pb/pbbans.dat", 2);
  Seed(dir, rows, all);
  const std::uintmax_t bytes = std::filesystem::file_size(dir + "/serverbanlist.con");

  // The loop runs the queued next slice on its next pass; here the passes
  // follow one another at once.
  int passes = 0;
  double longest = 0;
  auto start = Clock::now();
  do {
    g_manager.remote.queue = {};
    auto pass = Clock::now();
    ExpireTimedBansAt(kNow);
    longest = std::max(longest, Seconds(pass));
    ++passes;
  } while (g_manager.remote.queue[0].code == kCmdExpireBans);
  const double expiry = Seconds(start);

  // The machine may be shared: each figure is the best of a few rounds.
  std::string text = *ReadWholeFile(dir + "/serverbanlist.con");
  double rewrite = 1e9;
  double ban_unban = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    start = Clock::now();
    ReplaceFileContents(dir + "/serverbanlist.con", text);
    rewrite = std::min(rewrite, Seconds(start));
    start = Clock::now();
    BanPlayer("Bench", -1, "192.168.7.7", "", "", "admin", kNow, 0, "bench");
    UnbanPlayer("Bench", "192.168.7.7", "", "");
    ban_unban = std::min(ban_unban, Seconds(start));
  }

  std::printf("rows %d (%ju bytes), %d expired\n", rows, bytes, all ? rows : (rows + 99) / 100);
  std::printf("expiry, all passes  %8.3f s in %d pass(es)\n", expiry, passes);
  std::printf("longest pass        %8.3f s (goal at most 1 s)\n", longest);
  std::printf("one atomic rewrite  %8.3f s (best of %d)\n", rewrite, kRounds);
  std::printf("ban + unban         %8.3f s (best of %d) = %.2f rewrites (goal at most 5)\n",
              ban_unban, kRounds, rewrite > 0 ? ban_unban / rewrite : 0.0);
  korvbench::PrintResult("ban expiry, longest pass", longest, 1, "s");
  korvbench::PrintResult("ban + unban, in rewrites", rewrite > 0 ? ban_unban / rewrite : 0, 5,
                         "x");
  std::filesystem::remove_all(dir);
  return 0;
}
