// Implementation of the test clients; blocking sockets with short timeouts.
#include "support/gamesim_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

namespace gamesimtest {

using namespace std::chrono_literals;

namespace {

std::uint32_t Le32(const std::string& b) { return korvclient::GetU32(b); }

}  // namespace

std::string LoginField(const std::string& text, const std::string& key) {
  std::string out = U32(static_cast<std::uint32_t>(text.size() + 1));
  for (std::size_t i = 0; i < text.size(); ++i) out.push_back(static_cast<char>(text[i] ^ key[i % 10]));
  out.push_back('\0');
  return out;
}

ConsoleClient::~ConsoleClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool ConsoleClient::Connect(int port) {
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
    ::close(fd_);
    fd_ = -1;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

std::optional<std::string> ConsoleClient::ReadBytes(std::size_t n, std::chrono::milliseconds timeout) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char buffer[65536];
    ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, n - out.size()), 0);
    if (got <= 0) return std::nullopt;
    out.append(buffer, static_cast<std::size_t>(got));
  }
  return out;
}

bool ConsoleClient::SendRaw(const std::string& bytes) {
  return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::optional<int> ConsoleClient::Login(const std::string& user, const std::string& password) {
  std::optional<std::string> key = ReadBytes(10);
  if (!key) return std::nullopt;
  key_ = *key;
  if (!SendRaw(LoginField(user, key_) + LoginField(password, key_))) return std::nullopt;
  std::optional<std::string> answer = ReadBytes(1);
  if (!answer) return std::nullopt;
  return static_cast<unsigned char>((*answer)[0]);
}

std::optional<std::vector<std::string>> ConsoleClient::ReadPacket() {
  std::optional<std::string> count = ReadBytes(4);
  if (!count) return std::nullopt;
  std::uint32_t n = Le32(*count);
  if (n > 100000) return std::nullopt;
  std::vector<std::string> strings;
  for (std::uint32_t i = 0; i < n; ++i) {
    std::optional<std::string> length = ReadBytes(4);
    if (!length) return std::nullopt;
    std::uint32_t l = Le32(*length);
    std::optional<std::string> bytes = ReadBytes(l);
    if (!bytes || bytes->empty() || bytes->back() != '\0') return std::nullopt;
    bytes->pop_back();
    strings.push_back(*bytes);
  }
  return strings;
}

std::optional<std::vector<std::string>> ConsoleClient::Command(const std::vector<std::string>& lines) {
  std::vector<std::string> request{"ConsoleMessage 0"};
  request.insert(request.end(), lines.begin(), lines.end());
  request.push_back("\r");
  if (!SendRaw(Packet(request))) return std::nullopt;
  return ReadPacket();
}

std::optional<std::vector<std::string>> ConsoleClient::RunKey() {
  if (!SendRaw(Packet({"ConsoleRun 0", std::string(1, '\0')}))) return std::nullopt;
  return ReadPacket();
}

bool ConsoleClient::Closed(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char c;
  return ::recv(fd_, &c, 1, 0) <= 0;
}

std::vector<std::string> StatusQuery(int port, const std::string& query, int first_wait_ms) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  ::sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  std::vector<std::string> datagrams;
  pollfd p{fd, POLLIN, 0};
  bool final = false;
  // Out-of-order replies may carry "final" early, so a short wait follows it too.
  while (::poll(&p, 1, datagrams.empty() ? first_wait_ms : (final ? 50 : 300)) > 0) {
    char buffer[65536];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    datagrams.emplace_back(buffer, static_cast<std::size_t>(n));
    final = final || datagrams.back().find("\\final\\") != std::string::npos;
  }
  ::close(fd);
  return datagrams;
}

std::vector<std::string> OutputOnly(const std::vector<std::string>& answer) {
  std::vector<std::string> out;
  for (const std::string& s : answer) {
    if (s.rfind("##", 0) != 0) out.push_back(s);
  }
  return out;
}

std::optional<std::string> StatusValue(const std::string& report, const std::string& key) {
  std::string pattern = "\\" + key + "\\";
  std::size_t at = report.find(pattern);
  if (at == std::string::npos) return std::nullopt;
  std::size_t start = at + pattern.size();
  return report.substr(start, report.find('\\', start) - start);
}

void GameDir::WriteScenario(const std::string& text) const {
  korvtest::WriteFile(dir / "gamesim.scenario", text);
  // Make sure the change is seen even within one clock tick.
  static int bump = 0;
  timespec times[2] = {{0, UTIME_NOW}, {::time(nullptr) + 10 + ++bump, 0}};
  ::utimensat(AT_FDCWD, (dir / "gamesim.scenario").c_str(), times, 0);
}

void LayOut(GameDir* game, const std::string& scenario, const std::string& extra_settings) {
  game->console_port = korvtest::FreePort();
  game->status_port = korvtest::FreePort(true);
  game->game_port = korvtest::FreePort(true);
  std::filesystem::create_directories(game->settings());
  std::filesystem::copy_file(korvtest::BuildPath("gamesim"), game->exe());
  ::chmod(game->exe().c_str(), 0755);
  korvtest::WriteFile(game->dir / "mods/bf1942/init.con", "");
  korvtest::WriteFile(game->settings() + "/serversettings.con",
                      "game.serverName \"Test Server\"\ngame.serverIP 127.0.0.1\ngame.serverPort " +
                          std::to_string(game->game_port) + "\ngame.gameSpyLANPort " +
                          std::to_string(game->status_port) +
                          "\ngame.serverGameTime 20\ngame.serverSoldierFriendlyFire 50\n" + extra_settings);
  korvtest::WriteFile(game->settings() + "/serverautoexec.con",
                      "admin.enableRemoteConsole UserName Sesamine " + std::to_string(game->console_port) +
                          "\nadmin.scoreLimit 40\nadmin.voteMapMajority 0.75\n");
  korvtest::WriteFile(game->settings() + "/maplist.con",
                      "game.setCurrentLevel berlin GPM_CQ bf1942\ngame.addLevel berlin GPM_CQ bf1942\n"
                      "game.addLevel el_alamein GPM_CTF bf1942\ngame.addLevel wake GPM_TDM bf1942\n");
  korvtest::WriteFile(game->settings() + "/banlist.con", "admin.addKeyToBanList 99999999999999999999999999999999 Perm\n");
  game->WriteScenario(scenario);
}

bool StartGame(const GameDir& game, korvtest::Process* process, const std::vector<std::string>& extra_args) {
  std::vector<std::string> argv{"/usr/bin/setsid", game.exe(), "+statusMonitor", "0"};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  if (!process->Start(argv, game.dir.path(), game.out())) return false;
  return korvtest::WaitForText(game.out(), "gamesim: serving");
}

}  // namespace gamesimtest
