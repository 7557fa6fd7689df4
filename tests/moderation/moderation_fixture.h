// Shared set-up of the moderation tests: a fresh state whose settings
// directory is a temporary one, players put straight into the table, and
// the queue read back as (code, text, sender, delay) rows.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "core/helpers.h"
#include "links/link_fixture.h"
#include "remote/command_queue.h"
#include "settings/settings_table.h"

namespace korvtest {

struct Queued {
  std::uint32_t code;
  std::string text;
  std::uint32_t sender;
  bool delayed;  // due about 12 seconds after queueing
};

class ModerationFixture : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_.path();
    g_manager.core.debug = true;
  }
  // Adds a player with known figures to the end of the table.
  PlayerRecord& AddPlayer(int id, const std::string& name, int score = 0, int ping = 50,
                          const std::string& keyhash = "0123456789abcdef0123456789abcdef") {
    for (PlayerRecord& row : g_manager.links.players) {
      if (!row.name.empty()) continue;
      row = PlayerRecord{};
      row.id = id;
      row.name = name;
      row.score = std::to_string(score);
      row.ping = std::to_string(ping);
      row.address = "10.0.0." + std::to_string(id + 1);
      row.keyhash = keyhash;
      row.pb_guid = "guid" + std::to_string(id);
      row.figures_known = true;
      return row;
    }
    return g_manager.links.players[0];
  }
  std::vector<Queued> TakeQueue() {
    std::vector<Queued> out;
    std::int64_t now = std::time(nullptr);
    for (QueuedCommand& slot : g_manager.remote.queue) {
      if (slot.code == 0) continue;
      out.push_back({slot.code, slot.text, slot.sender, slot.due - now >= 10});
      slot = QueuedCommand{};
    }
    return out;
  }
  void WriteSettingsFile(const std::string& name, const std::string& text) {
    WriteFile(dir_ / name, text);
  }
};

inline std::string Fields(std::vector<std::string> fields) {
  std::string text;
  for (const std::string& field : fields) text += field + '\xff';
  return text;
}

}  // namespace korvtest
