// Idle daemon cost: starts build/korvd on an empty installation with no
// game server, and measures its resident memory and CPU over a period
// (60 seconds by default; pass another number of seconds as argument).
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench_result.h"

namespace {

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// User plus system CPU time of the process, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  long utime = 0, stime = 0;
  fields >> utime >> stime;
  return utime + stime;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  char pattern[] = "/tmp/korv-idle-XXXXXX";
  std::string dir = ::mkdtemp(pattern);
  std::filesystem::create_directories(dir + "/mods/bf1942/settings");
  std::filesystem::create_directories(dir + "/mods/bf1942/archives/bf1942/levels");
  std::ofstream(dir + "/mods/bf1942/init.con").close();
  std::ofstream(dir + "/bf1942_lnxded") << "#!/bin/sh\nexec sleep 1000000\n";
  ::chmod((dir + "/bf1942_lnxded").c_str(), 0755);

  pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::string korvd = std::string(KORV_BUILD_DIR) + "/korvd";
    ::execl(korvd.c_str(), korvd.c_str(), "-path", dir.c_str(), "-port", "0", nullptr);
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // let start-up settle
  if (::waitpid(pid, nullptr, WNOHANG) == pid) {
    std::fprintf(stderr, "korvd ended during start-up; its log: %s/korvd.log\n", dir.c_str());
    return 1;
  }
  long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  long start_ticks = CpuTicks(pid);
  long peak_kib = ResidentKiB(pid);
  for (int i = 0; i < seconds; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    peak_kib = std::max(peak_kib, ResidentKiB(pid));
  }
  long used_ticks = CpuTicks(pid) - start_ticks;
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::filesystem::remove_all(dir);

  double cpu_percent = 100.0 * used_ticks / ticks_per_second / seconds;
  double rss_mib = peak_kib / 1024.0;
  std::printf("idle korvd over %d s: peak resident %.2f MiB (goal 4 MiB, ratio %.2f), "
              "CPU %.3f%% (goal 0.1%%, ratio %.2f)\n",
              seconds, rss_mib, rss_mib / 4.0, cpu_percent, cpu_percent / 0.1);
  korvbench::PrintResult("idle korvd, peak resident", rss_mib, 4, "MiB");
  korvbench::PrintResult("idle korvd, CPU", cpu_percent, 0.1, "%");
  return 0;
}
