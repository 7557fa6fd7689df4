// Keep-alive round trips: 16 logged-in clients each send kClientKeepAlive as fast
// as 0xBEEF002E comes back, against bare loopback echoes measured in the
// same run: one serving each client on its own thread, one serving all 16
// from a single select() loop as the daemon does. Prints median and 99th
// percentile of each, the daemon's CPU time per round trip and the lost
// count.
// Optional argument: round trips per client in each of the five batches
// (default 1000).
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/remote_client.h"
#include "bench_result.h"
#include "bench_server.h"

using korvbench::Write;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kClients = 16;
constexpr int kBatches = 5;

// CPU seconds (user and system) a process has used so far.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t end = text.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream fields(text.substr(end + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::atof(field.c_str());
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

// Serves one connection on its own thread: a blocking echo of 4-byte
// requests answered with 8 bytes.
void EchoPerThread(int listener) {
  int fd = ::accept(listener, nullptr, nullptr);
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  char buffer[8] = {};
  while (::recv(fd, buffer, 4, MSG_WAITALL) == 4) ::send(fd, buffer, 8, 0);
  ::close(fd);
}

// Serves every connection from one thread with select(), as the daemon
// does: the same echo, without any command handling.
void EchoInOneLoop(int listener, int connections) {
  std::vector<int> fds;
  for (int i = 0; i < connections; ++i) fds.push_back(::accept(listener, nullptr, nullptr));
  int open = connections;
  while (open > 0) {
    fd_set ready;
    FD_ZERO(&ready);
    int top = 0;
    for (int fd : fds) {
      if (fd < 0) continue;
      FD_SET(fd, &ready);
      top = std::max(top, fd);
    }
    if (::select(top + 1, &ready, nullptr, nullptr, nullptr) <= 0) break;
    for (int& fd : fds) {
      if (fd < 0 || !FD_ISSET(fd, &ready)) continue;
      char buffer[8] = {};
      if (::recv(fd, buffer, 4, MSG_WAITALL) == 4) {
        ::send(fd, buffer, 8, 0);
      } else {
        ::close(fd);
        fd = -1;
        --open;
      }
    }
  }
}

// Bare loopback round trips of `connections` clients at once, served one
// thread per connection or all from one select() loop.
std::vector<double> BareLoopback(int connections, int rounds, bool one_loop) {
  int port = 0;
  int listener = korvbench::ListenLoopback(&port, connections);
  std::vector<std::thread> servers;
  if (one_loop) {
    servers.emplace_back([&] { EchoInOneLoop(listener, connections); });
  } else {
    for (int i = 0; i < connections; ++i) servers.emplace_back([&] { EchoPerThread(listener); });
  }
  std::vector<std::vector<double>> times(connections);
  std::vector<std::thread> clients;
  for (int i = 0; i < connections; ++i) {
    clients.emplace_back([&, i] {
      korvclient::Client client;
      client.Connect(port);
      for (int r = 0; r < rounds; ++r) {
        auto start = Clock::now();
        client.Send(korvclient::U32(kClientKeepAlive));
        client.Receive(8);
        times[i].push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      }
    });
  }
  for (std::thread& t : clients) t.join();
  for (std::thread& t : servers) t.join();
  ::close(listener);
  std::vector<double> all;
  for (const auto& t : times) all.insert(all.end(), t.begin(), t.end());
  return all;
}

void Report(const char* name, const std::vector<double>& values) {
  std::printf("%-28s median %8.1f us  p99 %8.1f us\n", name, Percentile(values, 0.5),
              Percentile(values, 0.99));
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (!korvbench::LoadClientKey()) return 1;
  std::string dir;
  std::string server = korvbench::MakeServerDir(&dir);
  Write(server + "/bf1942_lnxded", "#!/bin/sh\nexec sleep 1000000\n");
  ::chmod((server + "/bf1942_lnxded").c_str(), 0755);
  Write(server + "/mods/bf1942/settings/useraccess.con", "bench,pw,,16384,1\n");
  int port = korvbench::FreePort();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::freopen("/dev/null", "w", stdout);
    ::execl((std::string(KORV_BUILD_DIR) + "/korvd").c_str(), "korvd", "-path", server.c_str(),
            "-port", std::to_string(port).c_str(), "-ip", "127.0.0.1", nullptr);
    ::_exit(127);
  }
  std::vector<std::unique_ptr<korvclient::Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    auto client = std::make_unique<korvclient::Client>();
    bool ok = false;
    for (int attempt = 0; attempt < 200 && !ok; ++attempt) {
      ok = client->Connect(port) && client->Login("bench", "pw").result == 0;
      if (!ok) {
        client->Close();
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
    }
    if (!ok) {
      std::fprintf(stderr, "login %d failed (see %s/server/korvd.log)\n", i, dir.c_str());
      ::kill(pid, SIGKILL);
      return 1;
    }
    clients.push_back(std::move(client));
  }
  // The daemon and the bare echo take turns, a batch each, so that a change
  // in the machine's load during the run touches both sides alike.
  std::vector<double> all, bare1, bare16, bare_loop;
  std::atomic<int> lost{0};
  double daemon_cpu = 0;
  for (int batch = 0; batch < kBatches; ++batch) {
    std::vector<std::vector<double>> times(kClients);
    double cpu_before = CpuSeconds(pid);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
      threads.emplace_back([&, i] {
        for (int r = 0; r < rounds; ++r) {
          auto start = Clock::now();
          clients[i]->Command(kClientKeepAlive);
          auto reply = clients[i]->Receive(8);
          if (!reply || korvclient::GetU32(*reply) != 0xBEEF002E) {
            ++lost;
            continue;
          }
          times[i].push_back(
              std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
      });
    }
    for (std::thread& t : threads) t.join();
    daemon_cpu += CpuSeconds(pid) - cpu_before;
    for (const auto& t : times) all.insert(all.end(), t.begin(), t.end());
    std::vector<double> one = BareLoopback(1, rounds, false);
    std::vector<double> many = BareLoopback(kClients, rounds, false);
    std::vector<double> looped = BareLoopback(kClients, rounds, true);
    bare1.insert(bare1.end(), one.begin(), one.end());
    bare16.insert(bare16.end(), many.begin(), many.end());
    bare_loop.insert(bare_loop.end(), looped.begin(), looped.end());
  }
  std::printf("keep-alive round trips: %zu (16 clients x %d, %d batches), lost %d\n", all.size(),
              rounds, kBatches, lost.load());
  Report("daemon, 16 clients", all);
  std::printf("daemon CPU per round trip: %.1f us\n",
              all.empty() ? 0.0 : daemon_cpu * 1e6 / static_cast<double>(all.size()));
  Report("bare, 16 clients, threads", bare16);
  Report("bare, 16 clients, one loop", bare_loop);
  Report("bare loopback, 1 client", bare1);
  auto ratios = [&](const char* name, const char* row, const std::vector<double>& bare) {
    double median = Percentile(all, 0.5) / Percentile(bare, 0.5);
    double p99 = Percentile(all, 0.99) / Percentile(bare, 0.99);
    std::printf("ratio to %s: median %.2fx (goal <= 2), p99 %.2fx (goal <= 10)\n", name, median,
                p99);
    korvbench::PrintResult((std::string("keep-alive median / ") + row).c_str(), median, 2, "x");
    korvbench::PrintResult((std::string("keep-alive p99 / ") + row).c_str(), p99, 10, "x");
  };
  ratios("bare, a thread per client", "threads", bare16);
  ratios("bare, one select() loop  ", "one loop", bare_loop);
  korvbench::PrintResult("keep-alives lost", lost.load(), 0, "");
  clients.clear();
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  std::filesystem::remove_all(dir);
  return 0;
}
