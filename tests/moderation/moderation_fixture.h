// Moderation set-up: a temporary settings directory, players, the queue as text rows.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "links/link_fixture.h"
#include "remote/command_queue.h"
#include "settings/settings_table.h"

namespace korvtest {

inline constexpr char kHash[] = "0123456789abcdef0123456789abcdef";

class ModerationFixture : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_.path();
    g_manager.core.debug = true;
  }
  PlayerRecord& AddPlayer(int id, const std::string& name, int score = 0, int ping = 50,
                          const std::string& keyhash = kHash) {
    PlayerRecord* row = &g_manager.links.players[0];
    while (!row->name.empty()) ++row;
    return *row = PlayerRecord{.name = name, .id = id, .team = "", .score = std::to_string(score), .kills = "",
                               .deaths = "", .ping = std::to_string(ping), .address = "10.0.0." + std::to_string(id + 1),
                               .keyhash = keyhash, .pb_guid = "guid" + std::to_string(id), .figures_known = true};
  }
  // Queued commands (emptied) as "CC[@sender][+12] text", CC the code's last byte.
  std::vector<std::string> TakeQueue() {
    std::vector<std::string> rows;
    const std::int64_t now = std::time(nullptr);
    for (QueuedCommand& slot : g_manager.remote.queue) {
      if (slot.code == 0) continue;
      const unsigned code = slot.code & 0xFF, sender = slot.sender;
      char head[32];
      if (sender != 0) std::snprintf(head, sizeof head, "%02X@%X", code, sender);
      else std::snprintf(head, sizeof head, "%02X", code);
      rows.push_back(head + std::string(slot.due - now >= 10 ? "+12 " : " ") + slot.text);
      slot = QueuedCommand{};
    }
    return rows;
  }
};

using Rows = std::vector<std::string>;

inline std::string Fields(std::vector<std::string> fields) {
  std::string text;
  for (const std::string& field : fields) text += field + '\xff';
  return text;
}

}  // namespace korvtest
