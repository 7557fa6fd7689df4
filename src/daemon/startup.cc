// The daemon's start-up steps, from the compression library to the
// listening socket.
#include "daemon/startup.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <lzo/lzoconf.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "daemon/manager_state.h"
#include "core/clock.h"
#include "core/files.h"
#include "core/ids.h"
#include "core/last_error.h"
#include "core/text.h"
#include "core/korvd_conf.h"
#include "core/log.h"
#include "daemon/main_loop.h"
#include "daemon/options.h"
#include "history/history.h"
#include "links/console.h"
#include "remote/accounts.h"
#include "remote/session.h"
#include "schedule/schedule.h"
#include "server/launch.h"
#include "server/process_finder.h"
#include "daemon/settings_startup.h"
#include "fleet/fleet.h"
#include "settings/settings_table.h"
#include "moderation/banned_words.h"

namespace {


// The address the listening socket binds to (0 = every interface).
std::uint32_t ListenAddress() {
  return static_cast<std::uint32_t>(SettingValue(kSetServerIp));
}

[[noreturn]] void EndStart(const std::string& message) {
  LogMessage(6, "%s", message.c_str());
  std::exit(1);
}

std::string Errno() { return ErrorText(errno); }

void RecordSignal(int signal) {
  RecordCaughtSignal(signal);
  WakeMainLoop();
}

void ReapChild(int) {
  int saved = errno;
  ReapServerChildren();
  WakeMainLoop();
  errno = saved;
}

void InstallHandler(int signal, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
}

void InitCompressionAndSystem() {
  if (lzo_init() != LZO_E_OK) EndStart("Couldn't initialise the compression library!");
  struct utsname names;
  if (::uname(&names) != 0) EndStart("Couldn't determine system version! " + Errno());
  char text[1400];
  std::snprintf(text, sizeof text, "%s %s %s %s %s", names.sysname, names.nodename,
                names.release, names.version, names.machine);
  SetSystemDescription(CutText(text, kMaxSystemText));
  LogMessage(6, "%s", kVersionBanner);
  LogMessage(6, "Started under %s", Core().system_description.c_str());
}

void LogDebugSettings() {
  if (Core().debug) {
    LogMessage(6, "DEBUG: Server      = %s\n", Core().server_dir.c_str());
    LogMessage(6, "DEBUG: Overlay     = %s\n", Core().overlay_path.c_str());
    LogMessage(6, "DEBUG: Settings    = %s\n", Core().settings_dir.c_str());
    LogMessage(6, "DEBUG: ServerArgs  = %s\n", Core().server_args.c_str());
    LogMessage(6, "DEBUG: ServerCmds  = %s\n", Core().server_commands.c_str());
  }
  tzset();
  if (Core().debug) {
    LogMessage(6, "DEBUG: Timezone    = %s %li (DST = %i)", tzname[0], -timezone / 3600,
               daylight);
  }
}

// The overlay's folders come first: its logs folder, made when the option
// was read, needs an overlay that exists, and the first lines of a new
// overlay's log must not be lost.
void CreateOverlay() {
  if (Core().overlay_path.empty()) return;
  if (::mkdir(Core().overlay_path.c_str(), 0755) != 0 && errno != EEXIST)
    EndStart("Couldn't create overlayPath directory! " + Errno());
  if (::mkdir((Core().overlay_path + "settings").c_str(), 0755) != 0 && errno != EEXIST)
    EndStart("Couldn't create overlayPath Settings directory! " + Errno());
  ::mkdir((Core().overlay_path + "logs").c_str(), 0755);
}

void CheckInstallation() {
  const std::string& dir = Core().server_dir;
  if (std::optional<std::string> fault = MissingServerBinary()) EndStart(*fault);
  SetPunkBusterInstalled(FileExists(dir + "/pb/pbsv.so"));
  if (!Core().punkbuster_installed) {
    LogMessage(6, "WARNING: PunkBuster is not installed on this server. All PunkBuster commands "
                  "in Korvane will have no effect until PunkBuster is installed.");
  }
}

// Every file the daemon relies on exists after this, empty when new.
void CreateDaemonFiles() {
  const std::string& settings = Core().settings_dir;
  // Settings and accounts hold passwords: only the owner reads them.
  constexpr FileAccess kSecret = FileAccess::kOwnerOnly;
  constexpr FileAccess kOpen = FileAccess::kKeep;
  static constexpr std::pair<const char*, FileAccess> kFiles[] = {
      {"/korvane.con", kSecret},      {"/servermaplist.con", kOpen},
      {"/serversettings.con", kSecret}, {"/serverautoexec.con", kSecret},
      {"/banlist.con", kOpen},        {"/serverbanlist.con", kOpen},
      {"/useraccess.con", kSecret},   {"/serverschedule.con", kOpen},
      {"/announcements.con", kOpen},  {"/bannedwords.con", kOpen},
      {"/maps.con", kOpen},           {"/mods.con", kOpen}};
  for (const auto& [name, access] : kFiles) CreateFileWithDirs(settings + name, 1, access);
  CreateFileWithDirs(Core().server_dir + "/pb/pbbans.dat", 1);

  std::string menu = settings + "/playermenu.con";
  if (!FileExists(menu)) {
    CreateFileWithDirs(menu, 2);
    ReplaceFileContents(menu, "Kick|kick\nBan|ban\n");
  }
}

// serversettings.con and serverautoexec.con start empty at every start.
void EmptyServerFiles() {
  const std::string& settings = Core().settings_dir;
  if (!ReplaceFileContents(settings + "/serversettings.con", "", FileAccess::kOwnerOnly)) {
    EndStart("Couldn't open ServerSettings.con file for writing!\n" + ErrorText(LastError()) +
             "\nKorvane must have write access to this file, check file permissions and "
             "attributes.");
  }
  if (!ReplaceFileContents(settings + "/serverautoexec.con", "", FileAccess::kOwnerOnly)) {
    EndStart("Couldn't open ServerAutoexec.con file for writing!\n" + ErrorText(LastError()) +
             "\n\nKorvane must have write access to this file, check file permissions and "
             "attributes.");
  }
}

void CheckModFolder() {
  if (std::optional<std::string> fault = MissingModFolder()) EndStart(*fault);
  if (FileExists("/tmp/Battlefield 1942/mods/bf1942/settings/maplist.con"))
    LogMessage(6, "WARNING: \"Battlefield 1942\" folder exists in /tmp directory!");
  std::remove((Core().settings_dir + "/kicklist.con").c_str());
}

void WritePidFile() {
  if (!Core().pid_file) return;
  char text[32];
  std::snprintf(text, sizeof text, "%i", static_cast<int>(::getpid()));
  if (!ReplaceFileContents(Core().pid_file_path, text)) {
    LogMessage(6, "Couldn't write PID file to %s! %s", Core().pid_file_path.c_str(),
               ErrorText(LastError()).c_str());
  }
}

void LoadAccountsOrEnd() {
  if (!LoadUserAccounts(UserAccessPath()))
    EndStart("Couldn't load user file! " + ErrorText(LastError()));
}

void LoadScheduleOrEnd() {
  if (!LoadSchedule(Core().settings_dir + "/serverschedule.con"))
    EndStart("Couldn't load schedule file! " + ErrorText(LastError()));
}

// -stop: the server is asked to quit over its console first when the
// console settings allow it, as a running daemon does; StopServer forces
// it only when it is still there after the wait. The process then ends.
[[noreturn]] void StopServerAndEnd() {
  AdoptRunningServer();
  if (SettingValue(kSetEnableRemoteConsole) != 0 && !Server().console_user.empty())
    ReconnectConsole();
  if (StopServer(false)) {
    LogMessage(6, "Server stopped via command-line option.");
  } else {
    LogMessage(6, "Couldn't stop server via command-line option!");
  }
  std::exit(0);
}

// Adopts a server of this directory that already runs, or stops it with
// -stop (the process then ends). True when -start must launch a server
// (after detaching, so that the server is the running daemon's child).
bool FindServerOrStop() {
  if (LookForRunningServer()) {
    if (Core().stop) StopServerAndEnd();
    AdoptRunningServer();
    LogMessage(6, "Server is already running, monitoring enabled.");
    return false;
  }
  return Core().start;
}

void StartServerFromCommandLine() {
  if (StartServer()) {
    LogMessage(6, "Server started via command-line option.");
  } else {
    LogMessage(6, "Couldn't start server via command-line option!");
  }
}

}  // namespace

std::optional<std::string> MissingServerBinary() {
  const std::string& dir = Core().server_dir;
  if (FileExists(dir + "/bf1942_lnxded")) return std::nullopt;
  return "Couldn't find server binary in " + dir +
         "! Use -path to specify server directory and/or verify bf1942_lnxded link exists.";
}

std::optional<std::string> MissingModFolder() {
  if (FileExists(Core().server_dir + "/mods/bf1942/init.con")) return std::nullopt;
  return "Couldn't detect a valid BF1942 mod folder!";
}

void LoadOwnSettings() {
  KorvdConf conf = Core().conf;
  bool conf_loaded = LoadKorvdConf(KorvdConfPath(), &conf);
  SetKorvdConf(conf);
  if (!conf_loaded) {
    LogMessage(6, "WARNING: Couldn't read %s! %s", KorvdConfPath().c_str(),
               ErrorText(LastError()).c_str());
  }
}

void InstallSignalHandlers() {
  sigset_t pipe_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  ::sigprocmask(SIG_BLOCK, &pipe_set, nullptr);
  InstallHandler(SIGCHLD, ReapChild, SA_RESTART);
  InstallHandler(SIGTERM, RecordSignal, 0);
  InstallHandler(SIGINT, RecordSignal, 0);
  InstallHandler(SIGHUP, RecordSignal, 0);
}

void Daemonize() {
  if (::fork() != 0) std::_Exit(0);
  ::setsid();
  ::signal(SIGHUP, SIG_IGN);
  if (::fork() != 0) std::_Exit(0);
  if (::chdir(Core().server_dir.c_str()) != 0) {
    // The directory was checked at start-up; staying where we are is harmless.
  }
  // Nothing the daemon or its server creates is writable by others.
  mode_t mask = ::umask(0);
  ::umask(mask | S_IWGRP | S_IWOTH);
  for (int fd = 0; fd < 1024; ++fd) ::close(fd);
  // Descriptors 0 to 2 stay taken, so that no socket becomes the standard
  // input or error of the daemon or of a server it launches.
  for (int fd = 0; fd < 3; ++fd) {
    if (::open("/dev/null", O_RDWR) != fd) break;
  }
}

bool OpenListenSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) EndStart("Couldn't create a server socket! " + Errno());
  int on = 1;
  if (::ioctl(fd, FIONBIO, &on) != 0)
    EndStart("Couldn't change server socket mode to non-blocking! " + Errno());
  // Always: a quick restart binds the port that the last run's connections
  // still hold (TIME-WAIT). A port that another socket listens on is
  // refused all the same, with -reuseaddr or without.
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    EndStart("Couldn't set socket reuse-address option! " + Errno());
  struct linger linger {};
  if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &linger, sizeof linger) != 0) {
    LogMessage(6, "Couldn't set socket linger option! %s", Errno().c_str());
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(ListenAddress());
  address.sin_port = htons(static_cast<std::uint16_t>(Core().listen_port));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    EndStart("Couldn't bind server socket! " + Errno());
  if (::listen(fd, 5) != 0) EndStart("Couldn't create a connection queue! " + Errno());
  if (fd >= FD_SETSIZE) EndStart("Couldn't create a server socket! descriptor out of range");
  LogMessage(6, "Listening on %s:%i.", FormatDottedIp(ListenAddress()).c_str(),
             Core().listen_port);
  SetListenSocket(fd);
  UnwatchAllSockets();
  WatchSocket(fd);
  return true;
}

bool RunStartupSequence(const std::vector<std::string>& ignored_options) {
  CreateOverlay();
  InitCompressionAndSystem();
  ReportIgnoredOptions(ignored_options);
  LoadOwnSettings();
  LogDebugSettings();
  CheckInstallation();
  CreateDaemonFiles();
  EmptyServerFiles();
  CheckModFolder();
  if (std::optional<std::string> fatal = PrepareSettings()) EndStart(*fatal);
  LoadAccountsOrEnd();
  LoadScheduleOrEnd();
  TakeSettingsSnapshot();
  LoadBannedWords();
  InitSessionTable();
  StartFleet();
  bool start = FindServerOrStop();
  if (Core().daemon) Daemonize();
  WritePidFile();
  // After detaching: the database's descriptors must not be closed under it.
  OpenHistory(ClockNow());
  // The socket comes before the launch: a start that cannot listen ends
  // without leaving a server behind.
  if (!OpenListenSocket()) return false;
  if (start) StartServerFromCommandLine();
  return true;
}
