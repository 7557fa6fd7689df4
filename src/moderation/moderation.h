// What the console link hands moderation: each chat line goes to the chat
// watch (while banned words are watched) and to the in-game commands; and
// who said a chat line, for both.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "links/links_state.h"

void ModerateChatLine(const std::string& line);

// The speaker of a chat line ("<word> <name>: <message>") and what he said.
struct ChatSpeaker {
  PlayerRecord player;  // a copy: the row may leave the table
  std::string message;  // the text after his name and ": "
};
// The listed player whose whole name, followed by ": ", comes right after
// the line's first blank; when several do, the one with the longest name.
// Names are compared exactly: a name may itself hold ": ", and a player
// named "X: !cmd" must not speak for X. None when no listed player does,
// or when two listed players bear the speaker's name (neither is acted for).
std::optional<ChatSpeaker> FindChatSpeaker(std::string_view line);
// The name a line claims for its speaker, for log lines only: after the
// first blank up to the first ": ", cut at 32 characters. None when the
// line has no blank or no ": ".
std::optional<std::string> ClaimedSpeaker(std::string_view line);
