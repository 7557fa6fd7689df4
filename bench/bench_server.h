// What the client benchmarks share: the client key, and a temporary server
// directory laid out as far as the daemon's start-up needs it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "../tests/support/free_port.h"
#include "../tests/support/remote_client.h"

namespace korvbench {

inline void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Loads the client key from the source tree; false (with a line on
// standard error) when it cannot be read.
inline bool LoadClientKey() {
  std::string key = std::string(KORV_SOURCE_DIR) + "/src/remote/client.key";
  if (korvclient::LoadKey(key)) return true;
  std::fprintf(stderr, "cannot read %s\n", key.c_str());
  return false;
}

// Makes /tmp/korvbench-XXXXXX with a server directory below it holding the
// settings and levels folders and init.con; `*dir` receives the temporary
// directory (to remove afterwards), the result is the server directory.
inline std::string MakeServerDir(std::string* dir) {
  char pattern[] = "/tmp/korvbench-XXXXXX";
  *dir = ::mkdtemp(pattern);
  std::string server = *dir + "/server";
  std::filesystem::create_directories(server + "/mods/bf1942/settings");
  std::filesystem::create_directories(server + "/mods/bf1942/archives/bf1942/levels");
  Write(server + "/mods/bf1942/init.con", "");
  return server;
}

// A socket bound to a free loopback port; `*port` receives the port, -1
// is returned when the bind fails.
inline int BindLoopback(int* port, bool udp = false) {
  int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// A listening loopback socket on a free port, -1 when none could be made.
inline int ListenLoopback(int* port, int backlog = 16) {
  int fd = BindLoopback(port);
  if (fd >= 0 && ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

using korvtest::FreePort;

// A server directory (as MakeServerDir) whose game server is gamesim, with
// the settings a daemon needs to launch it and reach its console, and one
// administrator account "bench" with the password "pw".
inline std::string MakeGamesimServer(std::string* dir) {
  std::string server = MakeServerDir(dir);
  std::string settings = server + "/mods/bf1942/settings";
  std::string game = server + "/bf1942_lnxded";
  std::filesystem::copy_file(std::string(KORV_BUILD_DIR) + "/gamesim", game);
  ::chmod(game.c_str(), 0755);
  int console_port = FreePort(), status_port = FreePort(true), game_port = FreePort(true);
  Write(settings + "/serversettings.con", "game.serverName \"Bench\"\ngame.serverIP 127.0.0.1\n"
        "game.serverPort " + std::to_string(game_port) + "\ngame.gameSpyLANPort " +
        std::to_string(status_port) + "\n");
  Write(settings + "/serverautoexec.con",
        "admin.enableRemoteConsole UserName Sesamine " + std::to_string(console_port) + "\n");
  Write(settings + "/maplist.con",
        "game.setCurrentLevel berlin GPM_CQ bf1942\ngame.addLevel berlin GPM_CQ bf1942\n");
  Write(settings + "/servermaplist.con", "game.addLevel berlin GPM_CQ bf1942\n");
  Write(settings + "/korvane.con",
        "game.serverName \"Bench\"\ngame.serverIP 127.0.0.1\ngame.serverPort " +
        std::to_string(game_port) + "\ngame.gameSpyLANPort " + std::to_string(status_port) +
        "\nmanager.consolePort " + std::to_string(console_port) +
        "\nmanager.consoleUsername \"UserName\"\nmanager.consolePassword \"Sesamine\"\n"
        "manager.monitorTimerPeriod 60\n");
  Write(settings + "/useraccess.con", "bench,pw,,4294967295,1\n");
  return server;
}

}  // namespace korvbench
