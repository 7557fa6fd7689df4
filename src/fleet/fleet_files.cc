// Reading and writing the fleet's queue and its last applied event id.
#include "fleet/fleet_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/core_state.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/log.h"

namespace {

constexpr std::size_t kLineLimit = 4096;
constexpr int kFields = 12;

void AddField(std::string& line, std::string_view text) {
  if (!line.empty()) line += '\t';
  for (char c : text) line += (c == '\t' || c == '\r' || c == '\n') ? ' ' : c;
}

bool ParseNumber(const std::string& text, std::int64_t* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long number = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || number < 0) return false;
  *value = number;
  return true;
}

}  // namespace

std::string FormatFleetLine(const FleetEvent& e) {
  std::string line;
  const BanEvent& b = e.ban;
  for (std::string_view text : {std::string_view(b.unban ? "unban" : "ban"),
                                std::string_view(e.key)}) AddField(line, text);
  AddField(line, std::to_string(e.at));
  for (const std::string* text : {&b.origin, &b.name, &b.address, &b.keyhash, &b.guid, &b.admin})
    AddField(line, *text);
  AddField(line, std::to_string(b.ban_time));
  AddField(line, std::to_string(b.expiry));
  AddField(line, b.reason);
  return line + '\n';
}

std::optional<FleetEvent> ParseFleetLine(std::string_view line) {
  if (line.size() >= kLineLimit) return std::nullopt;
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  std::vector<std::string> f;
  for (;;) {
    std::size_t tab = line.find('\t');
    f.emplace_back(line.substr(0, tab));
    if (tab == std::string_view::npos) break;
    line.remove_prefix(tab + 1);
  }
  if (f.size() != kFields || (f[0] != "ban" && f[0] != "unban")) return std::nullopt;
  FleetEvent e;
  BanEvent& b = e.ban;
  b.unban = f[0] == "unban";
  e.key = f[1];
  if (!ParseNumber(f[2], &e.at) || !ParseNumber(f[9], &b.ban_time) ||
      !ParseNumber(f[10], &b.expiry) || e.key.empty()) {
    return std::nullopt;
  }
  b.origin = f[3];
  b.name = f[4];
  b.address = f[5];
  b.keyhash = f[6];
  b.guid = f[7];
  b.admin = f[8];
  b.reason = f[11];
  return e;
}

std::string FleetQueuePath() { return Core().settings_dir + "/fleetqueue.con"; }
std::string FleetAppliedPath() { return Core().settings_dir + "/fleetapplied.con"; }

bool LoadFleetQueue(std::deque<FleetEvent>* events) {
  events->clear();
  if (!FileExists(FleetQueuePath())) return true;
  std::optional<std::string> text = ReadWholeFile(FleetQueuePath());
  if (!text) return false;
  std::string_view rest = *text;
  for (int number = 1; !rest.empty(); ++number) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end == std::string_view::npos ? rest.size() : end + 1);
    rest.remove_prefix(line.size());
    if (std::optional<FleetEvent> event = ParseFleetLine(line)) {
      events->push_back(std::move(*event));
    } else {
      LogMessage(6, "WARNING: fleetqueue.con: line %i cannot be read; that event is not sent.",
                 number);
    }
  }
  return true;
}

bool SaveFleetQueue(const std::deque<FleetEvent>& events) {
  std::string text;
  for (const FleetEvent& event : events) text += FormatFleetLine(event);
  if (ReplaceFileContentsQuietly(FleetQueuePath(), text)) return true;
  LogMessage(6, "Couldn't write %s! %s", FleetQueuePath().c_str(), ErrorText(LastError()).c_str());
  return false;
}

std::int64_t LoadLastApplied() {
  if (!FileExists(FleetAppliedPath())) return 0;
  std::optional<std::string> text = ReadWholeFile(FleetAppliedPath(), 64);
  std::int64_t id = 0;
  if (text && !text->empty() && text->back() == '\n') text->pop_back();
  if (text && ParseNumber(*text, &id)) return id;
  LogMessage(6, "WARNING: %s holds no event id; every ban event of the fleet is applied again.",
             FleetAppliedPath().c_str());
  return 0;
}

bool SaveLastApplied(std::int64_t id) {
  if (ReplaceFileContentsQuietly(FleetAppliedPath(), std::to_string(id) + "\n")) return true;
  LogMessage(6, "Couldn't write %s! %s", FleetAppliedPath().c_str(),
             ErrorText(LastError()).c_str());
  return false;
}

std::string NewFleetKey() {
  std::random_device random;
  char key[17];
  std::snprintf(key, sizeof key, "%08x%08x", random(), random());
  return key;
}
