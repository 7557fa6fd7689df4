// Scanning the command line: one table of options, the +server arguments
// and the @server commands.
#include "daemon/options.h"

#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/files.h"
#include "core/ids.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "daemon/manager_state.h"

extern const char kLicenseText[];

namespace {

// An unknown option is reported with at most this many characters.
constexpr std::size_t kMaxIgnoredOptionText = 255;

constexpr const char kUsage[] =
    "Usage: korvd [-path <path>] [-ip <ip>] [-port <port>] [-pid <file>] [-daemon] [-start] [-stop]\n"
    "       [-restart] [-priority <#>] [-syslog <#>] [-reuseaddr] [-exit] [-quit] [-kill] [-adminlog]\n"
    "       [-noadmin] [-nodelay] [-license] [+server args] [@server cmds]\n"
    "\n"
    "where\t-path <path>\tis the /path/to/server/directory (no trailing slash)\n"
    "     \t-ip <ip>\tsets the server and korvd TCP/IP address (cannot be 0.0.0.0)\n"
    "     \t-port <port>\tsets the TCP port address of the korvd listen server (default 14667)\n"
    "     \t-pid <file>\tcreates /path/to/pid/filename containing the korvd instance pid\n"
    "     \t-daemon\t\tdaemonizes the korvd process\n"
    "     \t-start\t\tstarts the server when korvd starts\n"
    "     \t-stop\t\tstops the server when korvd starts\n"
    "     \t-restart\trestarts the server process automatically after a crash\n"
    "     \t-priority <#>\twill renice the server to the given priority\n"
    "     \t-syslog <#>\tlogs to specified syslog local facility 0-7 instead of korvd.log\n"
    "     \t-reuseaddr\twill bind korvd listen socket when already in use (use with caution!)\n"
    "     \t-exit\t\tstops the server when korvd exits\n"
    "     \t-quit\t\tterminates korvd when the server process terminates unexpectedly\n"
    "     \t-kill\t\tterminates the instance of korvd referenced by the pid file given with -pid\n"
    "     \t-adminlog\tlogs all admin kick/ban actions to adminlog.csv\n"
    "     \t-noadmin\tsends admin messages as gray chat messages instead of yellow server messages\n"
    "     \t-nodelay\tkicks/bans players without a delay\n"
    "     \t-license\tdisplays software license agreement\n"
    "     \t[+server args]\twill be passed to the server process e.g. +game BF1942\n"
    "     \t[@server cmds]\twill be appended to serversettings.con e.g. @game.gameSpyPort 23000\n"
    "\n";

// How an option takes its value.
enum class ValueRule {
  kNone,         // a plain switch
  kPlain,        // refuses a missing value or one starting with - + @
  kMissingOnly,  // refuses only a missing value (negative numbers pass)
  kNotDot,       // as kPlain, and also refuses "."
};

struct Scan;
using OptionAction = void (*)(Scan& scan, const char* value);

struct OptionRow {
  const char* name;
  ValueRule rule;
  OptionAction action;
};

// The scan's working state: the outcome being built.
struct Scan {
  ScanOutcome outcome;
  void Exit(int status, std::string text) {
    outcome.exit_now = true;
    outcome.status = status;
    outcome.output += text;
  }
};

// The options being scanned: a copy of the core's, handed back through
// ApplyOptions after every argument, so that the log follows -debug and
// -syslog at once.
CoreOptions& Opt() {
  static CoreOptions options;
  return options;
}

// The start directory, "." when it cannot be told.
std::string StartDirectory() {
  char cwd[PATH_MAX];
  return ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
}

// Relative paths of -path, -pid and +overlayPath are taken from the start
// directory at once: the daemon changes directory when it detaches, and
// the game server is handed the overlay path from its own directory.
std::string FromStartDirectory(const char* value) {
  std::string path = value;
  if (path.empty() || path[0] != '/') path = StartDirectory() + "/" + path;
  return CutText(path, kMaxPathText);
}

void SetPath(Scan&, const char* value) {
  std::string path = FromStartDirectory(value);
  if (!path.empty() && path.back() == '/') path.pop_back();
  Opt().server_dir = path;
}

void SetPidFile(Scan&, const char* value) {
  Opt().pid_file = true;
  Opt().pid_file_path = FromStartDirectory(value);
}

void SetSyslog(Scan& scan, const char* value) {
  int number = ParseInt(CutText(value, 3));
  if (number < 0 || number > 7) {
    scan.Exit(1, ">>> Error: Syslog local facility number must be between 0 and 7.\n");
    return;
  }
  Opt().syslog_facility = LOG_LOCAL0 + 8 * number;
  openlog("korvd", LOG_PID, Opt().syslog_facility);
  Opt().syslog = true;
}

void SetOverlayPath(Scan&, const char* value) {
  std::string path = FromStartDirectory(value);
  if (path.back() != '/') path += '/';
  Opt().overlay_path = path;
  if (!Opt().check_only) ::mkdir((path + "logs").c_str(), 0755);
}

void PrintUsage(Scan& scan, const char*) {
  scan.Exit(0, std::string(kVersionBanner) + "\n\n" + kUsage);
}

void PrintLicense(Scan& scan, const char*) { scan.Exit(0, kLicenseText); }

constexpr OptionRow kOptions[] = {
    {"-?", ValueRule::kNone, PrintUsage},
    {"-path", ValueRule::kNotDot, SetPath},
    {"-ip", ValueRule::kPlain, [](Scan&, const char* v) { Opt().ip_option = ParseDottedIp(v); }},
    {"-port", ValueRule::kPlain, [](Scan&, const char* v) { Opt().listen_port = ParseInt(v); }},
    {"-pid", ValueRule::kNotDot, SetPidFile},
    {"-daemon", ValueRule::kNone, [](Scan&, const char*) { Opt().daemon = true; }},
    {"-start", ValueRule::kNone, [](Scan&, const char*) { Opt().start = true; }},
    {"-stop", ValueRule::kNone, [](Scan&, const char*) { Opt().stop = true; }},
    {"-restart", ValueRule::kNone, [](Scan&, const char*) { Opt().restart = true; }},
    {"-priority", ValueRule::kMissingOnly,
     [](Scan&, const char* v) {
       Opt().priority = true;
       Opt().priority_value = ParseInt(v);
     }},
    {"-syslog", ValueRule::kPlain, SetSyslog},
    {"-reuseaddr", ValueRule::kNone, [](Scan&, const char*) { Opt().reuse_address = true; }},
    {"-exit", ValueRule::kNone, [](Scan&, const char*) { Opt().exit_stops_server = true; }},
    {"-quit", ValueRule::kNone, [](Scan&, const char*) { Opt().quit = true; }},
    {"-kill", ValueRule::kNone, [](Scan&, const char*) { Opt().kill = true; }},
    {"-noadmin", ValueRule::kNone, [](Scan&, const char*) { Opt().admin_message_style = 0; }},
    {"-nodelay", ValueRule::kNone, [](Scan&, const char*) { Opt().kick_delay = 0; }},
    {"-license", ValueRule::kNone, PrintLicense},
    {"-debug", ValueRule::kNone, [](Scan&, const char*) { Opt().debug = true; }},
    {"-adminlog", ValueRule::kNone, [](Scan&, const char*) { Opt().admin_log = true; }},
    {"-statuslog", ValueRule::kNone, [](Scan&, const char*) { Opt().status_log = true; }},
    {"-messagelog", ValueRule::kNone, [](Scan&, const char*) { Opt().message_log = true; }},
    {"-t", ValueRule::kNone, [](Scan&, const char*) { Opt().check_only = true; }},
    {"+statusMonitor", ValueRule::kPlain,
     [](Scan&, const char* v) { Opt().status_monitor = ParseInt(v); }},
    {"+overlayPath", ValueRule::kPlain, SetOverlayPath},
    {"+game", ValueRule::kNone, [](Scan&, const char*) {}},
};

bool StartsLikeOption(const char* text) {
  return text[0] == '-' || text[0] == '+' || text[0] == '@';
}

// True when `value` is acceptable for the rule.
bool ValueAccepted(ValueRule rule, const char* value) {
  if (value == nullptr) return false;
  if (rule == ValueRule::kMissingOnly) return true;
  if (StartsLikeOption(value)) return false;
  if (rule == ValueRule::kNotDot && std::strcmp(value, ".") == 0) return false;
  return true;
}

void RefuseValue(Scan& scan, const char* name) {
  scan.Exit(1, std::string(">>> Error: ") + name + " requires an argument!\n");
}

const OptionRow* FindOption(const char* name) {
  for (const OptionRow& row : kOptions) {
    if (strcasecmp(row.name, name) == 0) return &row;
  }
  return nullptr;
}

// "+name value": appended as " name value" while the collection has room.
void ScanServerArgument(Scan& scan, int argc, char** argv, int& i) {
  const char* name = argv[i];
  std::string& args = Opt().server_args;
  if (args.size() + std::strlen(name) >= 1024) {
    LogMessage(6, "Too many server arguments were specified on the command-line, not all "
                  "arguments will be processed.");
    return;
  }
  const char* value = (i + 1 < argc) ? argv[i + 1] : nullptr;
  if (!ValueAccepted(ValueRule::kPlain, value)) return RefuseValue(scan, name);
  ++i;
  args += " ";
  args += name;
  args += " ";
  args += value;
  args = CutText(args, kMaxServerArgsText);
}

// "@key value": appended as "key value\n" while the collection has room.
void ScanServerCommand(Scan& scan, int argc, char** argv, int& i) {
  const char* name = argv[i] + 1;
  std::string& commands = Opt().server_commands;
  if (commands.size() + std::strlen(argv[i]) >= 1024) {
    LogMessage(6, "Too many custom server commands were specified on the command-line, not all "
                  "commands will be processed.");
    return;
  }
  const char* value = (i + 1 < argc) ? argv[i + 1] : nullptr;
  if (!ValueAccepted(ValueRule::kPlain, value)) return RefuseValue(scan, name);
  ++i;
  commands += name;
  commands += " ";
  commands += value;
  commands += "\n";
  commands = CutText(commands, kMaxServerArgsText);
  if (strcasecmp(name, "game.gameSpyPort") == 0 || strcasecmp(name, "game.gameSpyLANPort") == 0) {
    Opt().pending_port_commands.push_back({name, ParseLong(value)});
  }
}

void ScanOption(Scan& scan, int argc, char** argv, int& i) {
  const OptionRow* row = FindOption(argv[i]);
  if (row == nullptr) {
    // Ignored, as ever, but reported once the log is settled: a typo must
    // not turn an option off unnoticed.
    scan.outcome.ignored.push_back(CutText(argv[i], kMaxIgnoredOptionText));
    return;
  }
  const char* value = nullptr;
  if (row->rule != ValueRule::kNone) {
    value = (i + 1 < argc) ? argv[i + 1] : nullptr;
    if (!ValueAccepted(row->rule, value)) return RefuseValue(scan, row->name);
    ++i;
  }
  row->action(scan, value);
}

// The command name a process runs under ("" when it cannot be read).
std::string ProcessName(const std::string& pid) {
  std::string name;
  if (std::FILE* file = std::fopen(("/proc/" + pid + "/comm").c_str(), "r")) {
    ReadLineBounded(file, 64, &name);
    std::fclose(file);
  }
  return name;
}

// True when `pid` runs the same program as this process: the same
// executable, or the same command name (a daemon of another build).
bool IsKorvdProcess(int pid) {
  std::string id = std::to_string(pid);
  char mine[PATH_MAX];
  char theirs[PATH_MAX];
  ssize_t mine_length = ::readlink("/proc/self/exe", mine, sizeof mine);
  ssize_t theirs_length = ::readlink(("/proc/" + id + "/exe").c_str(), theirs, sizeof theirs);
  if (mine_length > 0 && mine_length == theirs_length &&
      std::memcmp(mine, theirs, static_cast<std::size_t>(mine_length)) == 0)
    return true;
  std::string name = ProcessName(id);
  return !name.empty() && name == ProcessName("self");
}

void ReadPidAndKill(Scan& scan) {
  const std::string& path = Opt().pid_file_path;
  UniqueFile file = OpenRegularStream(path);
  if (!file) return scan.Exit(1, ">>> Error: Couldn't open pid file: " + path + "!\n");
  std::string line;
  bool read = ReadLineBounded(file.get(), 1024, &line);
  file.reset();
  if (!read) return scan.Exit(1, ">>> Error: Couldn't read pid file: " + path + "!\n");
  int pid = ParseInt(line);
  char text[1200];
  // 0 or a negative number would signal process groups, 1 is init.
  if (pid <= 1) {
    std::snprintf(text, sizeof text, ">>> Error: Pid file contains an invalid pid! (%i)\n", pid);
    return scan.Exit(1, text);
  }
  if (!IsKorvdProcess(pid)) {
    std::snprintf(text, sizeof text, ">>> Error: Pid %i is not a korvd process!\n", pid);
    return scan.Exit(1, text);
  }
  if (::kill(pid, SIGTERM) != 0) {
    std::snprintf(text, sizeof text, ">>> Error: Couldn't send SIGTERM to pid %i! %s\n", pid,
                  ErrorText(errno).c_str());
    return scan.Exit(1, text);
  }
  std::snprintf(text, sizeof text, "Sent SIGTERM to pid %i.\n", pid);
  scan.Exit(0, text);
}

}  // namespace

void ReportIgnoredOptions(const std::vector<std::string>& ignored) {
  for (const std::string& option : ignored) {
    if (Core().daemon) std::printf("WARNING: Ignored unknown option %s.\n", option.c_str());
    LogMessage(6, "WARNING: Ignored unknown option %s.", option.c_str());
  }
  std::fflush(stdout);
}

const char* UsageText() { return kUsage; }
const char* LicenseText() { return kLicenseText; }

void SetCommandLineDefaults() {
  Opt() = Core();
  std::string start = StartDirectory();
  Opt().server_dir = CutText(start, kMaxPathText);
  Opt().pid_file_path = CutText(start + "/korvd.pid", kMaxPathText);
  Opt().server_args.clear();
  Opt().server_commands.clear();
  Opt().overlay_path.clear();
  ApplyOptions(Opt());
}

namespace {

ScanOutcome ScanArguments(int argc, char** argv) {
  Scan scan;
  for (int i = 1; i < argc && !scan.outcome.exit_now; ++i) {
    const char* arg = argv[i];
    if (!StartsLikeOption(arg)) {
      ++i;  // a stray word swallows the argument after it
    } else if (arg[0] == '+' && FindOption(arg) == nullptr) {
      ScanServerArgument(scan, argc, argv, i);
    } else if (arg[0] == '@') {
      ScanServerCommand(scan, argc, argv, i);
    } else {
      ScanOption(scan, argc, argv, i);
    }
    ApplyOptions(Opt());
  }
  if (scan.outcome.exit_now) return scan.outcome;

  if (Opt().status_monitor != 0 && Opt().daemon) Opt().status_monitor = 0;
  // The configuration check stops nothing: -kill is left to a real run.
  if (Opt().check_only) Opt().kill = false;
  if (Opt().kill && !Opt().pid_file) {
    scan.Exit(1, ">>> Error: -kill requires -pid!\n");
    return scan.outcome;
  }
  if (Opt().kill) {
    ReadPidAndKill(scan);
    return scan.outcome;
  }
  Opt().settings_dir = Opt().overlay_path.empty()
                            ? Opt().server_dir + "/mods/bf1942" + "/settings"
                            : Opt().overlay_path + "settings";
  return scan.outcome;
}

}  // namespace

ScanOutcome ScanCommandLine(int argc, char** argv) {
  Opt() = Core();
  ScanOutcome outcome = ScanArguments(argc, argv);
  ApplyOptions(Opt());
  return outcome;
}
