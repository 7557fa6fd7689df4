// What the console link hands moderation: each chat line goes to the chat
// watch (while banned words are watched) and to the in-game commands.
#pragma once

#include <string>

void ModerateChatLine(const std::string& line);
