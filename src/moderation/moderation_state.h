// Fields of moderation: the high-ping counters, the banned-words list, the
// chat warning table and the announcement position.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

inline constexpr int kWatchedIds = 64;  // per-id tables cover the ids 0 to 63

// One record of the chat warning table: who spoke last under the id and
// how many banned-word lines he has sent.
struct ChatWarning {
  std::string name;  // at most 31 characters
  std::int32_t count = 0;
};

struct ModerationState {
  /* Player watch: consecutive high-ping checks per player id */
  std::array<std::uint8_t, kWatchedIds> high_ping_counts{};

  /* Banned words: every entry followed by a comma; none = nothing banned */
  std::optional<std::string> banned_words;

  /* Chat watch: offences per player id, never cleared while running */
  std::array<ChatWarning, kWatchedIds> warnings{};

  /* Announcements */
  std::uint32_t announce_ticks = 0;  // supervision ticks since the last one
  std::int32_t next_announcement = 1;  // line number, counted from 1
};

// The moderation section of the daemon's state (the one instance).
const ModerationState& Moderation();
// Written only inside src/moderation/.
ModerationState& MutableModeration();
