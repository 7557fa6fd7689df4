// The banned-words list, the name check and the chat watch.
#include "moderation/banned_words.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core/clock.h"
#include "core/core_state.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "history/history.h"
#include "links/player_table.h"
#include "moderation/game_messages.h"
#include "moderation/moderation.h"
#include "moderation/moderation_state.h"
#include "moderation/player_watch.h"
#include "remote/command_queue.h"
#include "remote/session.h"
#include "settings/settings_table.h"

namespace {

constexpr std::size_t kLineBuffer = 1024;
constexpr std::size_t kEntryMax = 1024;
constexpr std::size_t kChatMax = 1023;
constexpr std::size_t kWarningNameMax = 31;
constexpr int kWarningsBeforeKick = 2;

std::string BannedWordsPath() { return Core().settings_dir + "/bannedwords.con"; }

std::string Lower(std::string_view text) {
  std::string lower(text);
  LowerCase(lower);
  return lower;
}

// Calls `visit` with each non-empty entry of the list (cut at 1024
// characters) until it returns true; an entry without a comma behind it
// ends the walk, as the list always ends with one.
template <typename Visit>
bool WalkEntries(const std::string& list, Visit visit) {
  std::size_t at = 0;
  for (;;) {
    std::size_t comma = list.find(',', at);
    if (comma == std::string::npos) return false;
    std::string_view entry(list.data() + at, std::min(comma - at, kEntryMax));
    at = comma + 1;
    if (!entry.empty() && visit(entry)) return true;
  }
}

}  // namespace

bool LoadBannedWords() {
  UniqueFile file = OpenRegularStream(BannedWordsPath());
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open banned words file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  ModerationState& state = MutableModeration();
  state.banned_words = std::string();
  std::string line;
  while (ReadLineBounded(file.get(), kLineBuffer, &line)) {
    line = line.substr(0, line.find_first_of("\r\n"));
    if (!line.empty()) *state.banned_words += line + ",";
  }
  if (std::ferror(file.get())) {
    SetLastError(errno);
    LogMessage(6, "Couldn't read banned words file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  if (Core().debug) LogMessage(6, "DEBUG: Loaded banned words (%s)", state.banned_words->c_str());
  return true;
}

bool NameHasBannedWord(std::string_view name) {
  const std::optional<std::string>& list = Moderation().banned_words;
  if (!list) return false;
  std::string lower_name = Lower(name);
  return WalkEntries(*list, [&](std::string_view entry) {
    if (entry[0] == '$') return EqualNoCase(entry.substr(1), name);
    return lower_name.find(Lower(entry)) != std::string::npos;
  });
}

std::optional<std::string> FindBannedWord(std::string_view line) {
  const std::optional<std::string>& list = Moderation().banned_words;
  if (!list) return std::nullopt;
  std::string lower_line = Lower(line.substr(0, std::min(line.size(), kChatMax)));
  std::optional<std::string> found;
  WalkEntries(*list, [&](std::string_view entry) {
    std::string word = Lower(entry);
    if (lower_line.find(word) == std::string::npos) return false;
    found = word;
    return true;
  });
  return found;
}

namespace {

// Counts one more offence of the player; ids outside the table have no
// record and count as a first offence every time.
// The name is compared exactly (as the speaker was found), and as the
// record holds it: a name longer than the record would never count twice.
int CountOffence(const PlayerRecord& player) {
  if (!IsTableablePlayerId(player.id)) return 1;
  ChatWarning& record = MutableModeration().warnings[static_cast<std::size_t>(player.id)];
  std::string name = CutText(player.name, kWarningNameMax);
  if (record.name != name) {
    record.name = name;
    record.count = 1;
  } else {
    ++record.count;
  }
  return record.count;
}

void BanForWords(const PlayerRecord& player, const std::string& name, const std::string& word) {
  std::optional<std::string> text = BanCommandText(player, 0, "too many kicks for banned words");
  if (!text) return;
  QueueCommand(kCmdBanPlayer, text->c_str(), 0, KickDelay());
  QueueGameMessage(std::string(kTag) + " Banned " + name + " for using banned words", 0);
  NotifyAllClientsText(kNotifyAutoBanWords, name, 0);
  LogMessage(6, "Auto-banned %s (%s) at %s for using banned words in chat messages (%s).",
             name.c_str(), player.keyhash.c_str(), player.address.c_str(), word.c_str());
}

void KickForWords(const PlayerRecord& player, const std::string& name, const std::string& word) {
  QueueKick(player);
  QueueGameMessage(std::string(kTag) + " Kicking " + name + " for using banned words", 0);
  NotifyAllClientsText(kNotifyAutoKickWord, name, 0);
  LogMessage(6, "Auto-kicked %s (%s) at %s for using banned words in chat messages (%s).",
             name.c_str(), player.keyhash.c_str(), player.address.c_str(), word.c_str());
  AppendAdminLog(name.c_str(), player.address.c_str(), player.keyhash.c_str(),
                 player.pb_guid.c_str(), "auto", static_cast<std::uint32_t>(ClockNow()),
                 CurrentMapName().c_str(), "kick", 0, "banned words in chat messages");
  RecordAction(HistoryKind::kKick, player, "auto: banned words", "said " + word, ClockNow());
  RemovePlayerById(player.id);
}

}  // namespace

bool WatchChatLine(const std::string& line) {
  std::optional<std::string> word = FindBannedWord(line);
  if (!Moderation().banned_words) return false;
  if (!word) return true;
  std::optional<std::string> claimed = ClaimedSpeaker(line);
  if (!claimed) return false;
  std::optional<ChatSpeaker> speaker = FindChatSpeaker(line);
  if (!speaker) {
    if (Core().debug)
      LogMessage(6, "DEBUG: Couldn't kick player for banned word! Could not determine player %s id.",
                 claimed->c_str());
    return false;
  }
  const PlayerRecord& player = speaker->player;  // a copy: the row may go below
  const std::string& name = player.name;
  if (CountOffence(player) <= kWarningsBeforeKick) {
    QueueGameMessage(std::string(kTag) + " " + name + " do not use the word " + *word + " in chat",
                     0);
    RecordAction(HistoryKind::kWarning, player, "auto: banned words", "said " + *word,
                 ClockNow());
    return true;
  }
  if (SettingValue(kSetAutoBan) != 0 && AutoBan(player.address.c_str(), player.keyhash.c_str())) {
    BanForWords(player, name, *word);
  } else {
    KickForWords(player, name, *word);
  }
  return true;
}
