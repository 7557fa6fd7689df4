// StartServer and StopServer: the pre-launch checks, the game's files, the
// child in its own session, and the polite-then-forceful stop.
#include "server/launch.h"

#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core/clock.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "core/log.h"
#include "core/core_state.h"
#include "core/server_state.h"
#include "links/links_state.h"
#include "core/protocol.h"
#include "links/console.h"
#include "remote/command_queue.h"
#include "remote/remote_state.h"
#include "server/process_finder.h"
#include "settings/settings_files.h"
#include "settings/settings_table.h"

namespace {

constexpr std::size_t kMaxCommandLine = 4095;
constexpr unsigned kQuitWaitSeconds = 3;


bool Refuse(const char* message) {
  LogMessage(6, "Couldn't start the server! %s", message);
  SetLastError(0);
  return false;
}

bool PortInRange(std::int32_t port) {
  const SettingEntry& row = Setting(kSetServerPort);
  return port >= row.minimum && port <= row.maximum;
}

}  // namespace

bool PassesPreLaunchChecks() {
  bool console = SettingValue(kSetEnableRemoteConsole) != 0;
  bool admin = SettingValue(kSetEnableRemoteAdmin) != 0;
  bool internet = SettingValue(kSetServerInternet) != 0;
  std::int32_t game_port = SettingValue(kSetServerPort);
  std::int32_t console_port = SettingValue(kSetConsolePort);
  const std::string& user = SettingText(kSetConsoleUsername);
  const std::string& password = SettingText(kSetConsolePassword);

  if (SettingValue(kSetServerIp) == 0) return Refuse("Server IP address is invalid.");
  if (!PortInRange(game_port)) return Refuse("Game port address is invalid.");
  if (console && !PortInRange(console_port))
    return Refuse("Remote Console port address is invalid.");
  if (console && console_port == Core().listen_port)
    return Refuse("Remote Console port address is the same as the Korvane port address. These "
                  "ports must NOT be the same address.");
  if (game_port == Core().listen_port)
    return Refuse("Game port address is the same as the Korvane port address. These ports must "
                  "NOT be the same address.");
  if (SettingText(kSetServerName).empty())
    return Refuse("You must provide a name for the server.");
  if (admin && password.empty()) return Refuse("You must provide a password for Remote Admin.");
  if (internet && admin && strcasecmp(password.c_str(), "Sesamine") == 0)
    return Refuse("Using the default Remote Admin password is disallowed for an Internet server "
                  "to prevent unauthorized access.");
  if (console && (user.empty() || password.empty()))
    return Refuse("You must provide a username and password to use the Remote Console.");
  if (internet && console && user == "UserName" && password == "Sesamine")
    return Refuse("Using the default Remote Console username and password is disallowed for an "
                  "Internet server to prevent unauthorized access.");
  return true;
}

namespace {

// Writes the game's configuration and the rotation; false when the launch
// must be refused (logged).
bool PrepareServerFiles(const std::string& binary) {
  const std::string& settings = Core().settings_dir;
  std::remove((Core().server_dir + "/mods/bf1942/settings/adminsettings.con").c_str());
  if (!WriteServerSettings(settings + "/serversettings.con"))
    return Refuse("Couldn't write server settings file.");
  if (!WriteServerAutoexec(settings + "/serverautoexec.con"))
    return Refuse("Couldn't write server autoexec file.");
  std::string maplist = settings + "/maplist.con";
  if (!CopyFile(settings + "/servermaplist.con", maplist))
    return Refuse("Couldn't copy maplist file.");
  const std::string& start_map = Remote().start_map;
  if (!start_map.empty() && start_map[0] != '-')
    SetConValue(maplist, "game.setCurrentLevel", start_map);
  std::optional<std::string> idle =
      ReadConValue(settings + "/servermaplist.con", "game.setIdleLevel", kMaxIdleMapText + 1);
  SetIdleMap(idle.value_or(""));
  struct stat info;
  if (::stat(maplist.c_str(), &info) == 0 && info.st_size == 0)
    return Refuse("The map rotation does not contain at least one level.");
  if (!FileExists(binary)) {
    LogMessage(6, "Couldn't start the server! Can't find the server binary file: %s.",
               binary.c_str());
    SetLastError(0);
    return false;
  }
  return true;
}

// The child: its own session in the server directory, then the server.
// Only the log is touched on failure, and _exit leaves the parent's stdio
// buffers alone (they were flushed before the fork).
[[noreturn]] void RunServerChild(const std::string& binary, std::vector<char*>& argv) {
  if (::chdir(Core().server_dir.c_str()) != 0 || ::setsid() < 0) {
    int error = errno;
    LogMessage(6, "Couldn't start the server! Couldn't make server process session leader. %s",
               ErrorText(error).c_str());
    ::_exit(0);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execv(binary.c_str(), argv.data());
  int error = errno;
  LogMessage(6, "Couldn't start the server! Exec failed. %s", ErrorText(error).c_str());
  ::_exit(0);
}

// Keeps how a reaped child ended for the main loop, which reports it.
void RecordServerEnd(int status, pid_t pid) {
  if (WIFEXITED(status)) {
    RecordChildEnd(WEXITSTATUS(status), pid, false);
  } else if (WIFSIGNALED(status)) {
    RecordChildEnd(WTERMSIG(status), pid, true);
  } else {
    RecordSigchld();
  }
}

void QueueNotification(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "%i", static_cast<int>(code));
  QueueCommand(kCmdNotifyAll, text, 0, 0);
}

}  // namespace

std::vector<std::string> ServerArgumentVector(const std::string& binary) {
  std::string line = binary + " +statusMonitor " + std::to_string(Core().status_monitor);
  if (!Core().overlay_path.empty()) line += " +overlayPath " + Core().overlay_path;
  line += Core().server_args;
  line = CutText(line, kMaxCommandLine);
  std::vector<std::string> argv;
  std::size_t pos = 0;
  while (pos < line.size()) {
    std::size_t start = line.find_first_not_of(' ', pos);
    if (start == std::string::npos) break;
    std::size_t end = line.find(' ', start);
    argv.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    pos = end == std::string::npos ? line.size() : end;
  }
  return argv;
}

bool StartServer() {
  if (!PassesPreLaunchChecks()) return false;
  std::string binary = Core().server_dir + "/bf1942_lnxded";
  if (!PrepareServerFiles(binary)) return false;

  std::vector<std::string> words = ServerArgumentVector(binary);
  if (Core().debug) {
    std::string joined;
    for (const std::string& word : words) joined += word + " ";
    LogMessage(6, "DEBUG: %s", joined.c_str());
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child < 0) {
    SetLastError(errno);
    LogMessage(6, "Couldn't start the server! Fork failed. %s", ErrorText(LastError()).c_str());
    return false;
  }
  if (child == 0) RunServerChild(binary, argv);

  std::string& user = MutableServer().console_user;
  std::string& password = MutableServer().console_password;
  if (SettingValue(kSetEnableRemoteConsole) == 0) {
    LogMessage(6, "WARNING: The server has been started with the remote console disabled.");
    user.clear();
    password.clear();
  } else {
    user = CutText(SettingText(kSetConsoleUsername), 31);
    password = CutText(SettingText(kSetConsolePassword), 31);
  }
  LogMessage(6, "Server started");
  QueueNotification(kNotifyServerStarted);
  MutableServer().server_pid = child;
  SetStartMap("");
  MutableServer().last_start_time = ClockNow();
  MutableServer().server_running = true;
  ForgetLinksOfOldServer();
  return true;
}

bool StopServer(bool crash_handling) {
  MutableServer().server_running = false;
  ForgetLinksOfStoppedServer();
  if (!crash_handling) MutableServer().restart_counter = 0;
  if (ConsoleSend("quit")) ::sleep(kQuitWaitSeconds);  // time to leave politely

  pid_t pid = Server().server_pid;
  if (pid > 0 && (FindServerProcess(&pid) || ServerChildRunning(pid))) {
    LogMessage(6, "Terminating server with extreme prejudice!\n");
    if (::kill(pid, SIGKILL) != 0) {
      SetLastError(errno);
      LogMessage(6, "Couldn't kill server process! %s", ErrorText(LastError()).c_str());
      return false;
    }
    // Whoever reaps the child records its end: if the handler was first,
    // this wait finds nothing.
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid) RecordServerEnd(status, pid);
  }
  ConsoleDisconnect();
  LogMessage(6, "Server stopped");
  QueueNotification(kNotifyServerStopped);
  return true;
}

bool ServerChildRunning(pid_t pid) {
  if (pid <= 0) return false;
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

void ReapServerChildren() {
  int status = 0;
  // Stopped children are not asked for: a server that hangs has not ended.
  for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) RecordServerEnd(status, pid);
}

bool LookForRunningServer() {
  ServerState& server = MutableServer();
  if (FileExists("bf1942.pid")) {
    std::string line;
    if (UniqueFile file = OpenRegularStream("bf1942.pid")) ReadLineBounded(file.get(), 1024, &line);
    server.server_pid = static_cast<pid_t>(ParseLong(line));
  } else {
    server.server_pid = -1;
    if (!FindServerProcess(&server.server_pid)) server.server_pid = 0;
  }
  return server.server_pid != 0 && FindServerProcess(&server.server_pid);
}

void AdoptRunningServer() {
  ServerState& server = MutableServer();
  server.server_running = true;
  server.console_user = CutText(SettingText(kSetConsoleUsername), 31);
  server.console_password = CutText(SettingText(kSetConsolePassword), 31);
}
