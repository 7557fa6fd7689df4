// The player history's cost to the loop: what one status tick spends on it
// (the refreshed table recorded into the batch, then the batch written),
// with history on and off.
//   churn: all 64 players leave and 64 others join on every tick, for a
//          day of 3-second ticks (28,800; pass another count as argument);
//   day:   a day of rounds on a full server where players stay half an hour
//          on average, with a kick every five minutes: the database's size
//          per 1,000 player-hours.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_result.h"
#include "core/clock.h"
#include "daemon/manager_state.h"
#include "history/history.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::time_t kStart = 1700000000;
constexpr int kPlayers = 64;
constexpr int kTick = 3;

PlayerRecord Player(int n) {
  char key[40];
  std::snprintf(key, sizeof key, "%032x", static_cast<unsigned>(n) * 2654435761u);
  PlayerRecord p;
  p.name = "Player " + std::to_string(n) + (n % 3 == 0 ? "" : " [clan" + std::to_string(n % 7) + "]");
  p.address = "10." + std::to_string(n >> 16 & 255) + "." + std::to_string(n >> 8 & 255) + "." +
              std::to_string(n & 255);
  p.keyhash = key;
  p.pb_guid = "[unknown]";
  return p;
}

struct Figures {
  double median_ms = 0;
  double p99_ms = 0;
  double cpu_median_ms = 0;
  double cpu_p99_ms = 0;
};

// Wall and CPU time of each pass: on a busy machine the wall time counts
// the waits for a core as well.
struct Passes {
  std::vector<double> wall, cpu;
};

double Median(std::vector<double>& ms) {
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}
double P99(const std::vector<double>& sorted) {
  return sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
}

Figures Summarise(Passes& p) {
  Figures f;
  f.median_ms = Median(p.wall);
  f.p99_ms = P99(p.wall);
  f.cpu_median_ms = Median(p.cpu);
  f.cpu_p99_ms = P99(p.cpu);
  return f;
}

double CpuMs() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void Reset(const std::string& dir, bool on) {
  ResetManagerState();
  g_manager.core.daemon = true;
  g_manager.core.syslog = false;
  g_manager.core.server_dir = dir;
  g_manager.core.settings_dir = dir;
  g_manager.core.conf.history_enabled = on ? 1 : 0;
  std::filesystem::remove(dir + "/history.db");
  OpenHistory(kStart);
}

// One status tick's history work, timed.
void Pass(const std::vector<PlayerRecord>& players, std::time_t now, Passes* passes) {
  auto start = Clock::now();
  double cpu = CpuMs();
  RecordPlayersSeen(players, now);
  FlushHistory(now);
  passes->cpu.push_back(CpuMs() - cpu);
  passes->wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
}

// Every tick a new set of 64 players, from a pool of 5,000.
Figures Churn(const std::string& dir, bool on, int ticks) {
  Reset(dir, on);
  Passes passes;
  for (int t = 0; t < ticks; ++t) {
    std::vector<PlayerRecord> players;
    for (int i = 0; i < kPlayers; ++i) players.push_back(Player((t * kPlayers + i) % 5000));
    Pass(players, kStart + t * kTick, &passes);
  }
  CloseHistory();
  return Summarise(passes);
}

// A full server; each tick every player leaves with the chance that makes
// half an hour the mean stay, and a newcomer takes the place. Returns
// player-hours played.
double Day(const std::string& dir, int ticks, Figures* figures) {
  Reset(dir, true);
  std::mt19937 random(7);
  std::uniform_int_distribution<int> pool(0, 19999);
  std::bernoulli_distribution leaves(static_cast<double>(kTick) / 1800);
  std::vector<PlayerRecord> players;
  for (int i = 0; i < kPlayers; ++i) players.push_back(Player(pool(random)));
  Passes passes;
  for (int t = 0; t < ticks; ++t) {
    std::time_t now = kStart + t * kTick;
    for (PlayerRecord& p : players)
      if (leaves(random)) p = Player(pool(random));
    if (t % 100 == 0)
      RecordAction(HistoryKind::kKick, players[0], "admin", "team killing", now);
    Pass(players, now, &passes);
  }
  CloseHistory();
  *figures = Summarise(passes);
  return static_cast<double>(ticks) * kTick * kPlayers / 3600;
}

}  // namespace

int main(int argc, char** argv) {
  const int ticks = argc > 1 ? std::atoi(argv[1]) : 28800;
  std::string dir = std::filesystem::temp_directory_path() /
                    ("history_bench." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  Figures on = Churn(dir, true, ticks);
  Figures off = Churn(dir, false, ticks);
  Figures day;
  double player_hours = Day(dir, ticks, &day);
  const double mib = static_cast<double>(std::filesystem::file_size(dir + "/history.db")) / (1 << 20);
  std::printf("%d ticks, 64 players leaving and joining on every tick: history work per pass\n"
              "  on:  median %.3f ms, p99 %.3f ms (CPU: median %.3f ms, p99 %.3f ms)\n"
              "  off: median %.4f ms, p99 %.4f ms\n",
              ticks, on.median_ms, on.p99_ms, on.cpu_median_ms, on.cpu_p99_ms, off.median_ms,
              off.p99_ms);
  std::printf("a full server, half-hour stays, %d ticks: median %.3f ms, p99 %.3f ms (CPU: "
              "median %.3f ms, p99 %.3f ms);\n"
              "  %.0f player-hours in %.2f MiB: %.2f MiB per 1,000 player-hours\n",
              ticks, day.median_ms, day.p99_ms, day.cpu_median_ms, day.cpu_p99_ms, player_hours,
              mib, mib * 1000 / player_hours);
  korvbench::PrintResult("history write per pass, 64 joining+leaving, median", on.median_ms, 1.0, "ms");
  korvbench::PrintResult("history write per pass, 64 joining+leaving, p99", on.p99_ms, 1.0, "ms");
  korvbench::PrintResult("history CPU per pass, 64 joining+leaving, median", on.cpu_median_ms,
                         korvbench::kNoGoal, "ms");
  korvbench::PrintResult("history off, per pass, p99", off.p99_ms, korvbench::kNoGoal, "ms");
  korvbench::PrintResult("history database per 1,000 player-hours", mib * 1000 / player_hours,
                         korvbench::kNoGoal, "MiB");
  std::filesystem::remove_all(dir);
  return 0;
}
