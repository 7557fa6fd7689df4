// The status report's keys are found by name and by the report's structure
// (a value lies between two keys), in a few linear passes over its fields.
#include "wire/status_report.h"

#include <algorithm>
#include <vector>

namespace {

constexpr std::size_t kMaxValue = 1023;
// Each pass settles the fields next to the keys found in the last one; a
// report that is still unsettled after these is left so (its keys ambiguous).
constexpr int kMaxPasses = 4;
constexpr std::size_t kMaxIndexDigits = 3;

constexpr std::string_view kServerKeys[] = {
    "queryid",      "final",          "hostport",         "hostname",         "gamename",
    "numplayers",   "maxplayers",     "mapname",          "gameId",           "gametype",
    "gamemode",     "gamever",        "version",          "password",         "tk_mode",
    "content_check", "sv_punkbuster", "number_of_rounds", "roundTime",        "roundTimeRemain",
    "teamname_0",   "teamname_1",     "tickets1",         "tickets2",         "Number Of Rounds",
    "Ticket Ratio"};
constexpr std::string_view kPlayerKeys[] = {"playername_", "team_", "score_",
                                            "kills_",      "deaths_", "ping_"};

enum class Kind { kPlain, kServer, kPlayer };
enum class Role { kOpen, kKey, kValue };

struct Field {
  std::string_view text;
  Kind kind = Kind::kPlain;
  Role role = Role::kOpen;
};

// What is known of one key name while the fields are settled.
struct Tally {
  int open = 0;
  bool found = false;
};

bool IsPlayerKey(std::string_view field) {
  for (std::string_view prefix : kPlayerKeys) {
    if (field.substr(0, prefix.size()) != prefix) continue;
    std::string_view index = field.substr(prefix.size());
    if (index.empty() || index.size() > kMaxIndexDigits || (index.size() > 1 && index[0] == '0'))
      return false;
    for (char c : index) {
      if (c < '0' || c > '9') return false;
    }
    return true;
  }
  return false;
}

Kind KindOf(std::string_view field, std::string_view extra_key) {
  if (IsPlayerKey(field)) return Kind::kPlayer;
  if (!extra_key.empty() && field == extra_key) return Kind::kServer;
  for (std::string_view key : kServerKeys) {
    if (field == key) return Kind::kServer;
  }
  return Kind::kPlain;
}

// Names are free text: their values run to the next key.
bool IsNameKey(std::string_view key) {
  return key == "hostname" || key.substr(0, 11) == "playername_";
}

std::vector<Field> SplitFields(std::string_view report, std::string_view extra_key) {
  std::vector<Field> fields;
  if (report.empty()) return fields;
  if (report[0] == '\\') report.remove_prefix(1);
  for (;;) {
    std::size_t end = report.find('\\');
    std::string_view text = report.substr(0, end);
    fields.push_back({text, KindOf(text, extra_key), Role::kOpen});
    if (end == std::string_view::npos) break;
    report.remove_prefix(end + 1);
  }
  return fields;
}

bool IsKeyAt(const std::vector<Field>& fields, std::size_t i) {
  return i < fields.size() && fields[i].role == Role::kKey;
}

void Settle(Field& field, Role role, Tally& tally) {
  field.role = role;
  --tally.open;
  if (role == Role::kKey) tally.found = true;
}

// One pass: fields next to a key are values; a name left with one
// candidate (or found already) is settled. True when anything changed.
bool SettlePass(std::vector<Field>& fields, std::unordered_map<std::string_view, Tally>& tallies) {
  bool changed = false;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    Field& field = fields[i];
    if (field.kind == Kind::kPlain || field.role != Role::kOpen) continue;
    Tally& tally = tallies[field.text];
    bool repeats = field.text == "queryid";
    if ((i > 0 && IsKeyAt(fields, i - 1)) || IsKeyAt(fields, i + 1) ||
        (tally.found && !repeats)) {
      Settle(field, Role::kValue, tally);
    } else if (repeats || tally.open == 1) {
      Settle(field, Role::kKey, tally);
    } else {
      continue;
    }
    changed = true;
  }
  return changed;
}

// A server key still met more than once is the first candidate among the
// server's own keys (before any player's key) that is not inside the
// server's name. Then what remains of a key found is a value.
void SettleServerKeys(std::vector<Field>& fields,
                      std::unordered_map<std::string_view, Tally>& tallies) {
  std::size_t first_player = fields.size();
  for (std::size_t i = 0; i < fields.size() && first_player == fields.size(); ++i) {
    if (fields[i].kind == Kind::kPlayer && fields[i].role == Role::kKey) first_player = i;
  }
  std::string_view last_key;
  for (std::size_t i = 0; i < first_player; ++i) {
    Field& field = fields[i];
    if (field.kind == Kind::kServer && field.role == Role::kOpen && last_key != "hostname" &&
        !tallies[field.text].found)
      Settle(field, Role::kKey, tallies[field.text]);
    if (field.role == Role::kKey) last_key = field.text;
  }
  for (Field& field : fields) {
    if (field.kind != Kind::kPlain && field.role == Role::kOpen && tallies[field.text].found)
      Settle(field, Role::kValue, tallies[field.text]);
  }
}

}  // namespace

StatusReportIndex::StatusReportIndex(std::string_view report, std::string_view extra_key) {
  std::vector<Field> fields = SplitFields(report, extra_key);
  std::unordered_map<std::string_view, Tally> tallies;
  for (const Field& field : fields) {
    if (field.kind != Kind::kPlain) ++tallies[field.text].open;
  }
  for (int pass = 0; pass < kMaxPasses && SettlePass(fields, tallies); ++pass) {
  }
  SettleServerKeys(fields, tallies);
  // What is still open is ambiguous; a name that holds it is too.
  std::size_t i = fields.size();
  std::size_t next_key = fields.size();
  bool open_within = false;
  while (i-- > 0) {
    const Field& field = fields[i];
    if (field.role == Role::kOpen && field.kind != Kind::kPlain) {
      entries_[field.text].ambiguous = true;
      first_ambiguous_ = field.text;
      open_within = true;
    }
    if (field.role != Role::kKey) continue;
    Entry& entry = entries_[field.text];
    std::string_view value;
    if (i + 1 < fields.size()) {
      // A name runs over all fields up to the next key, at least one.
      std::size_t last = IsNameKey(field.text) ? std::max(next_key, i + 2) - 1 : i + 1;
      const char* start = fields[i + 1].text.data();
      const char* end = fields[last].text.data() + fields[last].text.size();
      value = std::string_view(start, static_cast<std::size_t>(end - start));
    }
    if (IsNameKey(field.text) && open_within) {
      entry.ambiguous = true;
      entry.value.reset();
    } else if (!entry.ambiguous && !(entry.value && field.text == "queryid")) {
      // From the end: the first key wins, but of the queryids (one per
      // segment) the last.
      entry.value = value.substr(0, kMaxValue);
    }
    next_key = i;
    open_within = false;
  }
}

std::optional<std::string_view> StatusReportIndex::Get(std::string_view key) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  return it->second.value;
}

bool StatusReportIndex::Ambiguous(std::string_view key) const {
  auto it = entries_.find(key);
  return it != entries_.end() && it->second.ambiguous;
}

std::optional<std::string> StatusValue(std::string_view report, std::string_view key) {
  StatusReportIndex index(report, key);
  std::optional<std::string_view> value = index.Get(key);
  if (!value) return std::nullopt;
  return std::string(*value);
}
