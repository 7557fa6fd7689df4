// FindServerProcess over procps's process table.
#include "server/process_finder.h"

#include <libproc2/pids.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>

#include "core/last_error.h"
#include "core/text.h"
#include "core/log.h"
#include "core/core_state.h"

namespace {

constexpr const char kBinaryName[] = "bf1942_lnxded";
constexpr std::size_t kBinaryPrefix = 13;

// The target of /proc/<pid>/<link>; empty with errno set when the link
// cannot be read.
std::string ReadProcLink(pid_t pid, const char* link) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%i/%s", static_cast<int>(pid), link);
  char target[4096];
  ssize_t length = ::readlink(path, target, sizeof target - 1);
  if (length < 0) return {};
  return std::string(target, static_cast<std::size_t>(length));
}

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::vector<ProcessEntry> ReadProcessTable() {
  std::vector<ProcessEntry> table;
  enum pids_item items[] = {PIDS_CMD, PIDS_ID_PID, PIDS_ID_PPID, PIDS_ID_SESSION,
                            PIDS_CMDLINE_V};
  struct pids_info* info = nullptr;
  if (procps_pids_new(&info, items, 5) < 0) return table;
  while (struct pids_stack* stack = procps_pids_get(info, PIDS_FETCH_TASKS_ONLY)) {
    ProcessEntry entry;
    const char* command = PIDS_VAL(0, str, stack, info);
    entry.command = command != nullptr ? CutText(command, 15) : "";
    entry.pid = PIDS_VAL(1, s_int, stack, info);
    entry.parent = PIDS_VAL(2, s_int, stack, info);
    entry.session = PIDS_VAL(3, s_int, stack, info);
    if (std::strncmp(entry.command.c_str(), kBinaryName, kBinaryPrefix) == 0) {
      char** argv = PIDS_VAL(4, strv, stack, info);
      for (int i = 0; argv != nullptr && argv[i] != nullptr; ++i) entry.argv.emplace_back(argv[i]);
    }
    table.push_back(std::move(entry));
  }
  procps_pids_unref(&info);
  return table;
}

std::string OverlayOf(const std::vector<std::string>& argv) {
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (argv[i] == "+overlayPath") return i + 1 < argv.size() ? CutText(argv[i + 1], 1023) : "";
  }
  return {};
}

void Debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Debug(const char* format, ...) {
  if (!Core().debug) return;
  va_list args;
  va_start(args, format);
  LogMessageV(6, format, args);
  va_end(args);
}

// The path with every symbolic link resolved, or as given when it cannot
// be resolved.
std::string Resolved(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

// True when the process was started from the server directory: its
// executable lies there, or it is the program the directory's
// bf1942_lnxded links to and the process works in the directory. Both
// sides are resolved, since /proc shows the resolved paths.
bool StartedFromServerDir(const ProcessEntry& process, const std::string& exe,
                          const std::string& dir, const std::string& binary,
                          std::string (*read_link)(pid_t pid, const char* link)) {
  if (DirectoryOf(exe) == dir) return true;
  return exe == binary && read_link(process.pid, "cwd") == dir;
}

}  // namespace

bool MatchServerProcess(const std::vector<ProcessEntry>& table, pid_t* pid,
                        std::string (*read_link)(pid_t pid, const char* link)) {
  if (pid == nullptr) return false;
  const CoreState& core = Core();
  const char* link = core.system_description.find("FreeBSD") != std::string::npos ? "file" : "exe";
  const std::string dir = Resolved(core.server_dir);
  const std::string binary = Resolved(core.server_dir + "/" + kBinaryName);
  for (const ProcessEntry& process : table) {
    if (std::strncmp(process.command.c_str(), kBinaryName, kBinaryPrefix) != 0) continue;
    if (process.pid != process.session) {
      Debug("DEBUG: Ignoring slave server process pid %i", process.pid);
      continue;
    }
    errno = 0;
    std::string exe = read_link(process.pid, link);
    if (exe.empty()) {
      SetLastError(errno);
      // Other users' processes are not readable, and a process may end
      // while the table is read.
      if (errno != EACCES && errno != ENOENT && errno != ESRCH) {
        LogMessage(6, "Couldn't detect server startup path /proc/%i/%s! %s",
                   static_cast<int>(process.pid), link, ErrorText(LastError()).c_str());
      }
      Debug("DEBUG: Ignoring server pid %i (due to error)", process.pid);
      continue;
    }
    if (!StartedFromServerDir(process, exe, dir, binary, read_link)) {
      Debug("DEBUG: Ignoring server pid %i (different startup path)", process.pid);
      continue;
    }
    if (process.argv.empty()) {
      LogMessage(6, "Couldn't determine server command line!");
      Debug("DEBUG: Ignoring server pid %i (due to error)", process.pid);
      continue;
    }
    std::string overlay = OverlayOf(process.argv);
    if (!core.overlay_path.empty() && overlay != "---" && overlay != core.overlay_path) {
      Debug("DEBUG: Ignoring server pid %i (different overlay path)", process.pid);
      continue;
    }
    if (*pid == -1 || process.pid == *pid || process.parent == *pid) {
      *pid = process.pid;
      return true;
    }
  }
  return false;
}

bool FindServerProcess(pid_t* pid) {
  if (pid == nullptr) return false;
  return MatchServerProcess(ReadProcessTable(), pid, ReadProcLink);
}
