// korvd.log with size rotation, syslog mode, and adminlog.csv.
#include "core/log.h"

#include <sys/stat.h>
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/manager_state.h"

namespace {

constexpr long kRotateSize = 512000;
constexpr std::size_t kLineMax = 1023;

const char* OrUnknown(const char* text) {
  return (text == nullptr || text[0] == '\0') ? "[unknown]" : text;
}

}  // namespace

std::string LogDirectory() {
  const CoreState& core = g_manager.core;
  if (!core.overlay_path.empty()) return core.overlay_path + "logs";
  return core.server_dir;
}

std::string LogFilePath() { return LogDirectory() + "/korvd.log"; }
std::string AdminLogPath() { return LogDirectory() + "/adminlog.csv"; }

void LogMessage(int level, const char* format, ...) {
  if (format == nullptr || format[0] == '\0') return;
  const CoreState& core = g_manager.core;
  std::time_t now = std::time(nullptr);
  struct tm local;
  localtime_r(&now, &local);

  char message[kLineMax + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);

  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%F %H:%M:%S", &local);

  char line[kLineMax + 3];
  if (core.syslog) {
    std::snprintf(line, kLineMax + 1, "%s", message);
  } else {
    std::snprintf(line, kLineMax + 1, "%s : %s", stamp, message);
  }
  for (char* p = line; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n') *p = ' ';
    if (static_cast<unsigned char>(*p) == 0x80) *p = ' ';
  }
  if (!core.syslog) std::strcat(line, "\r\n");

  bool echo = !core.daemon && (!g_manager.server.server_running || core.status_monitor == 0);
  if (echo) {
    if (core.syslog) std::printf("%s : ", stamp);
    std::printf("%s", line);
    std::fflush(stdout);
  }

  if (core.syslog) {
    syslog(level | core.syslog_facility, "%s", line);
    return;
  }
  std::string path = LogFilePath();
  if (std::FILE* file = std::fopen(path.c_str(), "a+b")) {
    std::fseek(file, 0, SEEK_END);
    std::setvbuf(file, nullptr, _IONBF, 0);
    std::fprintf(file, "%s", line);
    std::fclose(file);
  }
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && info.st_size >= kRotateSize) {
    char name[64];
    std::strftime(name, sizeof name, "/%Y-%m-%d-%H-%M.log", &local);
    std::rename(path.c_str(), (LogDirectory() + name).c_str());
  }
}

void AppendAdminLog(const char* player, const char* address, const char* keyhash,
                    const char* guid, const char* admin, std::uint32_t bantime,
                    const char* map, const char* action, std::uint32_t expires,
                    const char* reason) {
  if (!g_manager.core.admin_log) return;
  char row[4096];
  std::snprintf(row, sizeof row, "\"%s\",%s,%s,%s,\"%s\",%lu,%s,%s,%lu,%s", OrUnknown(player),
                OrUnknown(address), OrUnknown(keyhash), OrUnknown(guid), OrUnknown(admin),
                static_cast<unsigned long>(bantime), OrUnknown(map), OrUnknown(action),
                static_cast<unsigned long>(expires), OrUnknown(reason));
  std::string path = AdminLogPath();
  std::FILE* file = std::fopen(path.c_str(), "at");
  if (file == nullptr) return;
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && info.st_size == 0) {
    std::fputs("player, address, keyhash, guid, admin, bantime, map, action, expires, reason\n",
               file);
  } else {
    std::fseek(file, 0, SEEK_END);
  }
  std::setvbuf(file, nullptr, _IONBF, 0);
  std::fprintf(file, "%s\n", row);
  std::fclose(file);
}
