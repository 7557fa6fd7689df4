// Test-side clients for gamesim, written from the protocol: the console's
// scrambled login and packets of strings, and UDP status queries.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/process_harness.h"
#include "support/remote_client.h"

namespace gamesimtest {

using korvclient::U32;
inline std::string Packet(const std::vector<std::string>& strings) {
  return korvclient::ConsolePacket(strings);
}
std::string LoginField(const std::string& text, const std::string& key);

class ConsoleClient {
 public:
  ~ConsoleClient();
  bool Connect(int port);
  // Reads exactly n bytes; nothing on close or timeout.
  std::optional<std::string> ReadBytes(std::size_t n,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(3));
  bool SendRaw(const std::string& bytes);
  // Reads the key, logs in and returns the answer byte (nothing on failure).
  std::optional<int> Login(const std::string& user, const std::string& password);
  std::optional<std::vector<std::string>> ReadPacket();
  // Sends a command ("ConsoleMessage 0", the lines, "\r") and reads the answer.
  std::optional<std::vector<std::string>> Command(const std::vector<std::string>& lines);
  std::optional<std::vector<std::string>> RunKey();
  // True when the server closed the connection within the timeout.
  bool Closed(std::chrono::milliseconds timeout = std::chrono::seconds(3));
  const std::string& key() const { return key_; }

 private:
  int fd_ = -1;
  std::string key_;
};

// Sends a status query and collects the datagrams until one holds "final"
// or nothing more comes for a while.
std::vector<std::string> StatusQuery(int port, const std::string& query, int first_wait_ms = 2000);
// The command output of an answer: the strings that are not chat or event lines.
std::vector<std::string> OutputOnly(const std::vector<std::string>& answer);
// The value of a key in a report, as the daemon looks it up.
std::optional<std::string> StatusValue(const std::string& report, const std::string& key);

// A server directory with gamesim installed as bf1942_lnxded, its settings
// files filled with free loopback ports, and a scenario file.
struct GameDir {
  korvtest::TempDir dir;
  int console_port = 0;
  int status_port = 0;
  int game_port = 0;
  std::string settings() const { return dir / "mods/bf1942/settings"; }
  std::string exe() const { return dir / "bf1942_lnxded"; }
  std::string out() const { return dir / "out.txt"; }
  void WriteScenario(const std::string& text) const;
};
void LayOut(GameDir* game, const std::string& scenario, const std::string& extra_settings = "");
// Starts it as the daemon does: from the directory, leading a new session.
bool StartGame(const GameDir& game, korvtest::Process* process,
               const std::vector<std::string>& extra_args = {});

}  // namespace gamesimtest
