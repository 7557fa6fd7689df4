// The player-history commands, answered at once: a query and a note.
#include "commands/handlers.h"

#include <string>

#include "commands/command_support.h"
#include "core/clock.h"
#include "core/log.h"
#include "history/history.h"
#include "wire/history_text.h"

namespace handlers {

// The text is a name (or part of one), a key hash or an address.
void PlayerHistoryReply(const CommandContext& c) {
  SendReply(c, WriteHistoryReport(QueryHistory(CommandText(c), ClockNow())));
}

// "keyhash note": the answer is an empty report, or the error.
void HistoryNoteReply(const CommandContext& c) {
  HistoryReport answer;
  std::string keyhash, note;
  if (!ReadNoteText(CommandText(c), &keyhash, &note)) {
    answer.error = "a key hash and a note are needed";
  } else if (AddHistoryNote(keyhash, c.user, note, ClockNow(), &answer.error)) {
    LogMessage(6, "User %s at %s added a note on player %s.", c.user.c_str(), c.address.c_str(),
               keyhash.c_str());
  }
  SendReply(c, WriteHistoryReport(answer));
}

}  // namespace handlers
