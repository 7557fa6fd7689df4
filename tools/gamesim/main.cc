// gamesim: a stand-in for the game server. Copied into a server directory as
// bf1942_lnxded, it reads the game's settings files, opens the remote console
// and the status port, plays the scenario file and ends on "quit".
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console_server.h"
#include "core/files.h"
#include "core/ids.h"
#include "core/text.h"
#include "game.h"
#include "note.h"
#include "scenario.h"
#include "server_files.h"
#include "status_responder.h"

namespace gamesim {
namespace {

constexpr char kUsage[] =
    "Usage: gamesim [+name value ...]\n"
    "       gamesim --help | --version\n"
    "\n"
    "Plays the game server for korvd: copied into a server directory as\n"
    "bf1942_lnxded and started there, it reads the game's settings files, opens\n"
    "the remote console and the status port, plays the scenario file\n"
    "(GAMESIM_SCENARIO, default gamesim.scenario in the current directory) and\n"
    "ends on the console command \"quit\".\n"
    "  +overlayPath PATH  the settings are in PATH/settings\n"
    "  +statusMonitor N   as the game server takes it; other +name value pairs\n"
    "                     are accepted and ignored\n"
    "  --help             this help\n"
    "  --version          the name and version\n";

struct Options {
  int status_monitor = 0;
  std::string overlay_path;
  std::string option;  // the first word beginning with '-', if any
};

Options ParseArguments(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view word = argv[i];
    if (word.starts_with('-')) {
      options.option = word;
      break;
    }
    if (!word.starts_with('+') || i + 1 >= argc) continue;  // ignored, as the game does
    const char* value = argv[++i];
    if (word == "+statusMonitor") {
      options.status_monitor = ParseInt(value);
    } else if (word == "+overlayPath") {
      options.overlay_path = value;
    }  // other "+name value" pairs are accepted and not needed here
  }
  return options;
}

// The answer to --help, --version or an unknown option; none when the
// command line asks for a server.
std::optional<int> AnswerOption(const std::string& option) {
  if (option.empty()) return std::nullopt;
  if (option == "--help" || option == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (option == "--version") {
    std::printf("gamesim %s\n", KORV_VERSION);
    return 0;
  }
  std::fprintf(stderr, "gamesim: unknown option %s\n%s", option.c_str(), kUsage);
  return 2;
}

std::string SettingsDirectory(const std::string& server_dir, const Options& options) {
  if (options.overlay_path.empty() || options.overlay_path == "---") {
    return server_dir + "/mods/bf1942/settings";
  }
  std::string overlay = options.overlay_path;
  if (overlay.back() != '/') overlay += '/';
  if (overlay[0] != '/') overlay = server_dir + "/" + overlay;
  return overlay + "settings";
}

// The game runs further processes of its own; this one only waits, and dies
// with the server.
pid_t StartHelperProcess() {
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(0);
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  for (;;) ::pause();
}

// Watches the scenario file and rereads it when it changes.
class ScenarioWatch {
 public:
  explicit ScenarioWatch(std::string path) : path_(std::move(path)) {}
  // A newly read scenario, or nothing when the file did not change.
  std::optional<Scenario> Poll(bool first) {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
      if (first) Say("no scenario file %s, playing the lively default", path_.c_str());
      return first ? std::optional<Scenario>(DefaultScenario()) : std::nullopt;
    }
    if (!first && st.st_mtim.tv_sec == stamp_.tv_sec && st.st_mtim.tv_nsec == stamp_.tv_nsec &&
        st.st_size == size_) {
      return std::nullopt;
    }
    stamp_ = st.st_mtim;
    size_ = st.st_size;
    std::optional<std::string> text = ReadWholeFile(path_, 1 << 20);
    if (!text) return std::nullopt;
    std::vector<std::string> errors;
    Scenario scenario = ParseScenario(*text, &errors);
    for (const std::string& error : errors) Say("scenario %s", error.c_str());
    return scenario;
  }

 private:
  std::string path_;
  timespec stamp_{};
  off_t size_ = -1;
};

[[noreturn]] void Crash(const Faults& faults, pid_t helper) {
  Say("crashing as the scenario asks");
  if (faults.crash_signal) {
    rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    ::signal(faults.crash_code, SIG_DFL);
    ::raise(faults.crash_code);
  }
  (void)helper;  // the helper dies with us (parent-death signal)
  ::_exit(faults.crash_code);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int Run(int argc, char** argv) {
  Options options = ParseArguments(argc, argv);
  if (std::optional<int> status = AnswerOption(options.option)) return *status;
  ::signal(SIGPIPE, SIG_IGN);
  auto start = std::chrono::steady_clock::now();
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return 1;
  std::string server_dir = cwd;
  ServerConfig config = LoadServerConfig(server_dir, SettingsDirectory(server_dir, options));
  std::uint32_t address = ParseDottedIp(SettingText(config, "game.serverIP", "0.0.0.0").c_str());
  bool internet = SettingNumber(config, "game.serverInternet", 0) != 0;
  int status_port = static_cast<int>(internet ? SettingNumber(config, "game.gameSpyPort", 23000)
                                              : SettingNumber(config, "game.gameSpyLANPort", 22000));
  ConsoleServer console;
  if (config.console_enabled && !console.Listen(address, config.console_port)) {
    Say("couldn't open the remote console on port %d: %s", config.console_port, std::strerror(errno));
    return 1;
  }
  StatusResponder status;
  if (!status.Open(address, status_port)) {
    Say("couldn't open the status port %d: %s", status_port, std::strerror(errno));
    return 1;
  }
  Say("serving %s; console port %d, status port %d", config.settings_dir.c_str(),
      config.console_enabled ? config.console_port : 0, status_port);
  const char* env = std::getenv("GAMESIM_SCENARIO");
  ScenarioWatch watch(env != nullptr && env[0] != '\0' ? env : server_dir + "/gamesim.scenario");
  Game game(std::move(config), 0);
  game.ApplyScenario(*watch.Poll(true), 0);
  pid_t helper = StartHelperProcess();
  double last_check = 0;
  for (;;) {
    double now = SecondsSince(start);
    if (now - last_check >= 0.2) {
      last_check = now;
      if (std::optional<Scenario> changed = watch.Poll(false)) game.ApplyScenario(*changed, now);
    }
    if (game.faults().crash_after >= 0 && now >= game.faults().crash_after) Crash(game.faults(), helper);
    game.Tick(now);
    std::vector<pollfd> fds{{status.fd(), POLLIN, 0}};
    console.AddPollFds(&fds);
    if (::poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) return 1;
    if (fds[0].revents != 0) status.Handle(game);
    console.Handle(fds, &game);
    if (game.quit_requested()) break;
  }
  console.FlushAndClose();
  status.Close();
  ::kill(helper, SIGKILL);
  ::waitpid(helper, nullptr, 0);
  Say("quit");
  return 0;
}

}  // namespace
}  // namespace gamesim

int main(int argc, char** argv) { return gamesim::Run(argc, argv); }
