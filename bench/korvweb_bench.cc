// korvweb's figures: the time from a page's HTTP request (a kick) to its
// command bytes at the daemon's port, and korvweb's resident memory with 5
// logged-in sessions, each with its notification stream open. The daemon
// is a minimal loopback responder. Argument: the number of kicks (200).
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
std::atomic<std::int64_t> g_arrived{0};  // steady-clock ns of the last kick bytes

bool ReadExact(int fd, char* out, std::size_t n) {
  while (n > 0) {
    ssize_t got = ::recv(fd, out, n, 0);
    if (got <= 0) return false;
    out += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

// Accepts each client as administrator, then reads commands with their
// texts and notes when a kick arrives.
void Serve(int fd) {
  char buffer[300];
  const char accept_login[] = {0, '\xFF', '\xFF', '\xFF', '\xFF', 0x20};
  if (!ReadExact(fd, buffer, 64) || ::send(fd, accept_login, 6, 0) != 6 || !ReadExact(fd, buffer, 1) ||
      ::send(fd, "\1", 1, 0) != 1)
    return;
  for (;;) {
    if (!ReadExact(fd, buffer, 8)) return;
    std::uint32_t length = static_cast<unsigned char>(buffer[4]) | static_cast<unsigned char>(buffer[5]) << 8;
    if (length > sizeof buffer || !ReadExact(fd, buffer, length)) return;
    g_arrived = Clock::now().time_since_epoch().count();
  }
}

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 16) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return std::perror("listen"), 1;
  std::thread([listener] {
    for (;;) {
      int fd = ::accept(listener, nullptr, nullptr);
      if (fd < 0) return;
      std::thread(Serve, fd).detach();
    }
  }).detach();
  int web_port = FreePort();
  std::string program = std::string(KORV_BUILD_DIR) + "/korvweb";
  std::vector<std::string> words{program, "--listen", "127.0.0.1:" + std::to_string(web_port),
                                 "--daemon", "127.0.0.1:" + std::to_string(ntohs(address.sin_port))};
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(word.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, args.data(), environ) != 0)
    return std::perror("spawn korvweb"), 1;
  httplib::Client client("127.0.0.1", web_port);
  std::vector<httplib::Headers> sessions;
  for (int i = 0; i < 50 && sessions.empty(); ++i) {
    auto login = client.Post("/api/login", R"({"user":"bench","password":"bench"})", "application/json");
    if (login && login->status == 200) {
      std::string cookie = login->get_header_value("Set-Cookie");
      std::string token = login->body.substr(login->body.find("\"token\":\"") + 9, 64);
      sessions.push_back({{"Cookie", cookie.substr(0, cookie.find(';'))}, {"X-Korv-Token", token}});
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  if (sessions.empty()) return std::fprintf(stderr, "cannot log in to korvweb\n"), kill(pid, SIGTERM), 1;
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    std::int64_t before = g_arrived;
    auto start = Clock::now();
    client.Post("/api/action/kick", sessions[0], R"({"id":3,"reason":"bench"})", "application/json");
    while (g_arrived == before) std::this_thread::yield();
    ms.push_back((g_arrived - start.time_since_epoch().count()) / 1e6);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("kick, HTTP request to command bytes at the daemon: median %.3f ms, 99th %.3f ms, max %.3f ms (%d runs)\n",
              ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back(), runs);
  // Four more sessions, then every page's stream open.
  for (int i = 0; i < 4; ++i) {
    auto login = client.Post("/api/login", R"({"user":"bench","password":"bench"})", "application/json");
    std::string cookie = login ? login->get_header_value("Set-Cookie") : "";
    sessions.push_back({{"Cookie", cookie.substr(0, cookie.find(';'))}});
  }
  std::atomic<bool> done{false};
  std::vector<std::thread> streams;
  for (auto& headers : sessions)
    streams.emplace_back([&, headers] {
      httplib::Client events("127.0.0.1", web_port);
      events.Get("/api/events", headers, [&](const char*, std::size_t) { return !done.load(); });
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::printf("korvweb resident with %zu sessions and their streams open: %ld KiB\n", sessions.size(),
              ResidentKiB(pid));
  done = true;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  for (auto& stream : streams) stream.detach();
  return 0;
}
