// How long one korvctl invocation takes for a script: process start, login
// and one keep-alive against a minimal loopback responder. Prints figures.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_result.h"
#include "bench_server.h"

extern char** environ;

namespace {

bool ReadExact(int fd, std::size_t n) {
  char buffer[64];
  while (n > 0) {
    ssize_t got = ::recv(fd, buffer, std::min(n, sizeof buffer), 0);
    if (got <= 0) return false;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

// Answers every connection: login accepted as administrator, then one
// keep-alive answer per keep-alive code.
void Serve(int listener, std::atomic<bool>* stop) {
  const char accept_login[] = {0, '\xFF', '\xFF', '\xFF', '\xFF', 0x20};
  const char running[] = {1};
  const char pong[] = {0x2E, 0, '\xEF', '\xBE', 0, 0, 0, 0};
  while (!*stop) {
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    if (ReadExact(fd, 64) && ::send(fd, accept_login, 6, 0) == 6 && ReadExact(fd, 1) &&
        ::send(fd, running, 1, 0) == 1) {
      while (ReadExact(fd, 4)) ::send(fd, pong, sizeof pong, 0);
    }
    ::close(fd);
  }
}

}  // namespace

int main() {
  int daemon_port = 0;
  int listener = korvbench::ListenLoopback(&daemon_port);
  if (listener < 0) {
    std::perror("listen");
    return 1;
  }
  std::atomic<bool> stop{false};
  std::thread server(Serve, listener, &stop);
  std::string program = std::string(KORV_BUILD_DIR) + "/korvctl";
  std::string port = std::to_string(daemon_port);
  std::vector<std::string> words{program, "-p", port, "-u", "bench", "--password", "bench", "ping"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  constexpr int kRuns = 100;
  std::vector<double> ms;
  for (int i = 0; i < kRuns; ++i) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      std::perror("spawn");
      return 1;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "korvctl ping failed with status %d\n", status);
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  stop = true;
  ::shutdown(listener, SHUT_RDWR);
  ::close(listener);
  server.join();
  std::sort(ms.begin(), ms.end());
  double total = 0;
  for (double value : ms) total += value;
  std::printf("korvctl ping (start, login, keep-alive, exit), %d runs: median %.2f ms, "
              "p90 %.2f ms, mean %.2f ms\n",
              kRuns, ms[kRuns / 2], ms[kRuns * 9 / 10], total / kRuns);
  korvbench::PrintResult("korvctl ping, median", ms[kRuns / 2], korvbench::kNoGoal, "ms");
  return 0;
}
