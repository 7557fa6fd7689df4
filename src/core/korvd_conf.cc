// Reading korvd.conf with a small INI parser, through one table of keys.
#include "core/korvd_conf.h"

#include <ini.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/files.h"
#include "core/last_error.h"
#include "core/unique_fd.h"
#include "core/log.h"
#include "core/core_state.h"

namespace {

struct ConfRow {
  const char* section;
  const char* key;
  std::int64_t minimum;
  std::int64_t maximum;
  std::int64_t KorvdConf::*field;
};

constexpr ConfRow kRows[] = {
    {"log", "keep_rotated", 0, 1000000, &KorvdConf::log_keep_rotated},
    {"log", "keep_rotated_bytes", 0, INT64_MAX, &KorvdConf::log_keep_rotated_bytes},
    {"log", "repeat_threshold", 0, 1000000, &KorvdConf::log_repeat_threshold},
    {"console", "chat_poll_ms", 0, 60000, &KorvdConf::chat_poll_ms},
    {"fleet", "queue_limit", 1, 1000000, &KorvdConf::fleet_queue_limit},
    {"fleet", "retry_max_seconds", 1, 3600, &KorvdConf::fleet_retry_max_seconds},
    {"history", "enabled", 0, 1, &KorvdConf::history_enabled},
    {"history", "retention_days", 0, 36500, &KorvdConf::history_retention_days},
    {"remote", "send_bytes_per_second", 0, INT64_MAX / 2,
     &KorvdConf::remote_send_bytes_per_second},
    {"remote", "stall_seconds", 1, 3600, &KorvdConf::remote_stall_seconds},
    {"supervision", "hang_seconds", 0, 86400, &KorvdConf::hang_seconds},
    {"supervision", "loop_cooldown_seconds", 0, 604800, &KorvdConf::loop_cooldown_seconds},
    {"supervision", "loop_cooldown_max_seconds", 1, 604800,
     &KorvdConf::loop_cooldown_max_seconds},
    {"supervision", "restart_when_empty_seconds", 0, 86400,
     &KorvdConf::restart_when_empty_seconds},
    {"supervision", "status_tick_seconds", 1, 3, &KorvdConf::status_tick_seconds},
};

// Keys whose value is a text (a path, a name), taken as it stands.
struct TextRow {
  const char* section;
  const char* key;
  std::string KorvdConf::*field;
  bool secret = false;  // may hold a password: a change is logged without the value
};

constexpr TextRow kTextRows[] = {
    {"metrics", "textfile", &KorvdConf::metrics_textfile, false},
    {"metrics", "server", &KorvdConf::metrics_server, false},
    {"fleet", "database", &KorvdConf::fleet_database, true},
    {"fleet", "server", &KorvdConf::fleet_server, false},
};

// A whole decimal number, nothing before or after it.
bool ParseWholeNumber(const char* text, std::int64_t* value) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  long long number = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') return false;
  *value = number;
  return true;
}

int OnEntry(void* user, const char* section, const char* key, const char* value) {
  auto* conf = static_cast<KorvdConf*>(user);
  for (const TextRow& row : kTextRows) {
    if (strcasecmp(row.section, section) != 0 || strcasecmp(row.key, key) != 0) continue;
    conf->*row.field = value == nullptr ? "" : value;
    return 1;
  }
  for (const ConfRow& row : kRows) {
    if (strcasecmp(row.section, section) != 0 || strcasecmp(row.key, key) != 0) continue;
    std::int64_t number = 0;
    if (!ParseWholeNumber(value, &number) || number < row.minimum || number > row.maximum) {
      LogMessage(6, "WARNING: korvd.conf: [%.64s] %.64s = \"%.64s\" is not a number from %lli "
                    "to %lli; the default stays.",
                 section, key, value, static_cast<long long>(row.minimum),
                 static_cast<long long>(row.maximum));
    } else {
      conf->*row.field = number;
    }
    return 1;
  }
  LogMessage(6, "WARNING: korvd.conf: unknown setting [%.64s] %.64s ignored.", section, key);
  return 1;
}

void LogChange(const char* section, const char* key, const std::string& now,
               const std::string& was) {
  LogMessage(6, "korvd.conf: [%s] %s = %.512s (was %.512s), in effect now.", section, key,
             now.c_str(), was.c_str());
}

// Logs every setting that differs between the two; returns how many.
int LogChanges(const KorvdConf& before, const KorvdConf& after) {
  int changed = 0;
  for (const ConfRow& row : kRows) {
    if (before.*row.field == after.*row.field) continue;
    LogChange(row.section, row.key, std::to_string(after.*row.field),
              std::to_string(before.*row.field));
    ++changed;
  }
  for (const TextRow& row : kTextRows) {
    if (before.*row.field == after.*row.field) continue;
    if (row.secret) {
      LogChange(row.section, row.key, "(not shown)", "(not shown)");
    } else {
      LogChange(row.section, row.key, "\"" + after.*row.field + "\"",
                "\"" + before.*row.field + "\"");
    }
    ++changed;
  }
  return changed;
}

}  // namespace

std::string KorvdConfPath() { return Core().settings_dir + "/korvd.conf"; }

bool LoadKorvdConf(const std::string& path, KorvdConf* conf) {
  UniqueFile file = OpenRegularStream(path);
  if (!file) {
    if (errno == ENOENT) return true;
    return FailWithErrno();
  }
  int result = ini_parse_file(file.get(), OnEntry, conf);
  file.reset();
  if (result > 0)
    LogMessage(6, "WARNING: korvd.conf: line %i cannot be read; it was skipped.", result);
  return true;
}

bool ReloadKorvdConf() {
  KorvdConf conf;
  if (!LoadKorvdConf(KorvdConfPath(), &conf)) {
    LogMessage(6, "Couldn't reload korvd.conf, the settings in force stay! %s",
               ErrorText(LastError()).c_str());
    return false;
  }
  int changed = LogChanges(Core().conf, conf);
  SetKorvdConf(conf);
  LogMessage(6, "Reloaded korvd.conf: %i setting(s) changed.", changed);
  return true;
}
