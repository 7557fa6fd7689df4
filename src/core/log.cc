// korvd.log with size rotation, syslog mode, and adminlog.csv.
#include "core/clock.h"
#include "core/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <utility>
#include <vector>

#include "core/core_state.h"
#include "core/server_state.h"
#include "core/text.h"

namespace {

constexpr long kRotateSize = 512000;
constexpr std::size_t kLineMax = 1023;
constexpr int kMaxRotationSuffix = 10000;
constexpr std::size_t kStampLength = 16;  // "YYYY-MM-DD-HH-MM"

const char* OrUnknown(const char* text) {
  return (text == nullptr || text[0] == '\0') ? "[unknown]" : text;
}

// The message as it may reach a file or a terminal, at most kLineMax
// characters.
std::string CleanText(const char* message) { return EscapeControlText(message, kLineMax); }

// A rotated log's name: the stamp, an optional ".N" and ".log". Returns
// the suffix number (0 without one), or -1 when the name is no rotated log.
long RotatedSuffix(const char* name) {
  std::size_t length = std::strlen(name);
  if (length < kStampLength + 4 || std::strcmp(name + length - 4, ".log") != 0) return -1;
  for (std::size_t i = 0; i < kStampLength; ++i) {
    bool dash = i == 4 || i == 7 || i == 10 || i == 13;
    if (dash ? name[i] != '-' : (name[i] < '0' || name[i] > '9')) return -1;
  }
  if (length == kStampLength + 4) return 0;
  if (name[kStampLength] != '.' || length > kStampLength + 10) return -1;
  long suffix = 0;
  for (std::size_t i = kStampLength + 1; i < length - 4; ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    suffix = suffix * 10 + (name[i] - '0');
  }
  return length == kStampLength + 5 ? -1 : suffix;
}

struct RotatedLog {
  std::string name;
  long suffix;
  std::int64_t size;
};

// Rotated logs by age: the minute in the name, then the suffix.
bool Older(const RotatedLog& a, const RotatedLog& b) {
  int order = a.name.compare(0, kStampLength, b.name, 0, kStampLength);
  return order != 0 ? order < 0 : a.suffix < b.suffix;
}

// Removes rotated logs beyond the caps of korvd.conf, oldest first, so that
// a flood of lines cannot take what matters with it: the logs of earlier
// runs go first, for either cap; this run's logs go only for the byte cap
// (or, without one, the count cap), and never the first, which holds this
// run's start-up lines.
void PruneRotatedLogs(const std::string& directory) {
  const KorvdConf& conf = Core().conf;
  if (conf.log_keep_rotated == 0 && conf.log_keep_rotated_bytes == 0) return;
  std::vector<RotatedLog> logs;
  std::int64_t total = 0;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      long suffix = RotatedSuffix(entry->d_name);
      struct stat info;
      std::string path = directory + "/" + entry->d_name;
      if (suffix < 0 || ::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      logs.push_back({entry->d_name, suffix, info.st_size});
      total += info.st_size;
    }
    ::closedir(dir);
  }
  std::sort(logs.begin(), logs.end(), Older);
  const std::string& first_name = Core().log_first_rotated;
  RotatedLog first{first_name, RotatedSuffix(first_name.c_str()), 0};
  std::size_t count = logs.size();
  for (bool this_run : {false, true}) {
    for (const RotatedLog& oldest : logs) {
      bool earlier = first_name.empty() || Older(oldest, first);
      if (earlier == this_run || oldest.name == first_name) continue;
      bool too_many =
          conf.log_keep_rotated > 0 && count > static_cast<std::size_t>(conf.log_keep_rotated);
      bool too_big = conf.log_keep_rotated_bytes > 0 && total > conf.log_keep_rotated_bytes;
      if (this_run && conf.log_keep_rotated_bytes > 0) too_many = false;
      if (!too_many && !too_big) break;
      if (::unlink((directory + "/" + oldest.name).c_str()) != 0) continue;
      --count;
      total -= oldest.size;
    }
  }
}

// Notes this run's first rotated log, then prunes.
void Rotated(const std::string& directory, const std::string& target) {
  std::string& first = MutableCore().log_first_rotated;
  if (first.empty()) first = target.substr(target.rfind('/') + 1);
  PruneRotatedLogs(directory);
}

// Moves the full log aside under its minute's name, or that name with
// ".N" before ".log" when the name is taken: an earlier rotated log is
// never replaced. A failed move is retried after the next line.
void RotateLog(const std::string& path, const struct tm& local) {
  std::string directory = LogDirectory();
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H-%M", &local);
  for (int n = 0; n < kMaxRotationSuffix; ++n) {
    std::string target = directory + "/" + stamp;
    if (n != 0) target.append(".").append(std::to_string(n));
    target += ".log";
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      Rotated(directory, target);
      return;
    }
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return;
    // A file system without the no-replace rename: a link cannot replace
    // either.
    if (::link(path.c_str(), target.c_str()) == 0) {
      ::unlink(path.c_str());
      Rotated(directory, target);
      return;
    }
    if (errno != EEXIST) return;
  }
}

// True when standard output is the journal's stream: systemd names its
// device and inode in JOURNAL_STREAM.
bool StdoutIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0;
  unsigned long long inode = 0;
  struct stat info;
  return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
         ::fstat(STDOUT_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

// The journal's priority of a line, from how it begins: failures, crashes,
// hangs and restart loops are errors, warnings and security alerts
// warnings, debug lines debug, the rest information.
int JournalPriority(const std::string& text) {
  static constexpr std::pair<std::string_view, int> kPrefixes[] = {
      {"Couldn't ", LOG_ERR},
      {"Could't ", LOG_ERR},
      {"Select() returned an error!", LOG_ERR},
      {"Server has crashed", LOG_ERR},
      {"Server is hung", LOG_ERR},
      {"Server is in a restart loop", LOG_ERR},
      {"WARNING: ", LOG_WARNING},
      {"SECURITY ALERT! ", LOG_WARNING},
      // A value out of its range; a required text that korvane.con leaves
      // empty ("Invalid value detected ...") takes its default at every
      // start and is information.
      {"Invalid value of ", LOG_WARNING},
      {"Server terminated ", LOG_WARNING},
      {"Terminating server with extreme prejudice!", LOG_WARNING},
      {"DEBUG: ", LOG_DEBUG},
  };
  for (const auto& [prefix, priority] : kPrefixes)
    if (text.starts_with(prefix)) return priority;
  return LOG_INFO;
}

// Writes one cleaned message to the log file or syslog and echoes it. Under
// systemd the echo goes to the journal with a "<N>" priority and without
// the timestamp the journal adds itself, also while a server runs.
void WriteLine(int level, const struct tm& local, const std::string& text) {
  const CoreState& core = Core();
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%F %H:%M:%S", &local);
  std::string line = core.syslog ? text : std::string(stamp) + " : " + text;
  if (line.size() > kLineMax) line.resize(kLineMax);
  if (!core.syslog) line += "\r\n";

  bool journal = !core.daemon && StdoutIsJournal();
  if (core.check_only) {
    // The check prints the bare text and counts what is wrong.
    int priority = JournalPriority(text);
    if (journal) std::printf("<%d>", priority);
    std::printf("%s\n", text.substr(0, kLineMax).c_str());
    std::fflush(stdout);
    if (priority <= LOG_WARNING) ++MutableCore().check_problems;
    return;
  }
  bool echo = !core.daemon && (!Server().server_running || core.status_monitor == 0);
  if (journal) {
    std::printf("<%d>%s\n", JournalPriority(text), text.substr(0, kLineMax).c_str());
    std::fflush(stdout);
  } else if (echo) {
    if (core.syslog) std::printf("%s : ", stamp);
    std::printf("%s", line.c_str());
    std::fflush(stdout);
  }

  if (core.syslog) {
    syslog(level | core.syslog_facility, "%s", line.c_str());
    return;
  }
  std::string path = LogFilePath();
  // Non-blocking: a FIFO in the log's place (a logger reading it, or none)
  // takes what fits and never holds the daemon; only a file is rotated.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                  0666);
  if (fd < 0) return;
  if (::write(fd, line.data(), line.size()) < 0) {
    // Nowhere to report it: the line is lost.
  }
  struct stat info;
  bool full = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= kRotateSize;
  ::close(fd);
  if (full) RotateLog(path, local);
}

}  // namespace

std::string LogDirectory() {
  const CoreState& core = Core();
  if (!core.overlay_path.empty()) return core.overlay_path + "logs";
  return core.server_dir;
}

std::string LogFilePath() { return LogDirectory() + "/korvd.log"; }
std::string AdminLogPath() { return LogDirectory() + "/adminlog.csv"; }

void LogMessage(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogMessageV(level, format, args);
  va_end(args);
}

void LogMessageV(int level, const char* format, va_list args) {
  if (format == nullptr || format[0] == '\0') return;
  std::time_t now = ClockNow();
  struct tm local;
  localtime_r(&now, &local);

  char message[kLineMax + 1];
  std::vsnprintf(message, sizeof message, format, args);
  std::string text = CleanText(message);

  // A flood of one message (a client sending junk, a failing peer) is
  // written line for line up to the threshold within a minute, then only
  // counted; the count is written when another message comes or the
  // minute is over.
  LogRepeat& repeat = MutableCore().log_repeat;
  std::int64_t threshold = Core().conf.log_repeat_threshold;
  std::int64_t minute = static_cast<std::int64_t>(now) / 60;
  if (threshold > 0 && minute == repeat.minute && text == repeat.last) {
    if (++repeat.run > threshold) {
      ++repeat.suppressed;
      return;
    }
  } else {
    if (repeat.suppressed > 0) {
      WriteLine(level, local, "last message repeated " + std::to_string(repeat.suppressed) +
                                  " times");
    }
    repeat = LogRepeat{text, minute, 1, 0};
  }
  WriteLine(level, local, text);
}

void AppendAdminLog(const char* player, const char* address, const char* keyhash,
                    const char* guid, const char* admin, std::uint32_t bantime,
                    const char* map, const char* action, std::uint32_t expires,
                    const char* reason) {
  if (!Core().admin_log) return;
  char row[4096];
  std::snprintf(row, sizeof row, "\"%s\",%s,%s,%s,\"%s\",%lu,%s,%s,%lu,%s", OrUnknown(player),
                OrUnknown(address), OrUnknown(keyhash), OrUnknown(guid), OrUnknown(admin),
                static_cast<unsigned long>(bantime), OrUnknown(map), OrUnknown(action),
                static_cast<unsigned long>(expires), OrUnknown(reason));
  std::string text = std::string(row) + "\n";
  // Non-blocking, as the log: a FIFO in its place never holds the daemon.
  int fd = ::open(AdminLogPath().c_str(),
                  O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) return;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0)
    text = "player, address, keyhash, guid, admin, bantime, map, action, expires, reason\n" + text;
  if (::write(fd, text.data(), text.size()) < 0) {
    // Lost, as a log line that cannot be written is.
  }
  ::close(fd);
}
