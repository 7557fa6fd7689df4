// The announcement step of the supervision tick.
#include "moderation/announcements.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>

#include "core/core_state.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "moderation/moderation_state.h"
#include "remote/command_queue.h"
#include "settings/settings_table.h"

namespace {

constexpr std::size_t kLineBuffer = 1024;
constexpr std::size_t kAnnouncementMax = 63;  // '*' included

bool ReadFailed() {
  SetLastError(errno);
  LogMessage(6, "Couldn't read announcements file! %s", ErrorText(LastError()).c_str());
  return false;
}

}  // namespace

bool AnnouncementStep() {
  ModerationState& state = MutableModeration();
  ++state.announce_ticks;
  if (static_cast<std::uint64_t>(state.announce_ticks) *
          static_cast<std::uint64_t>(SettingValue(kSetMonitorTimerPeriod)) <
      static_cast<std::uint64_t>(SettingValue(kSetAutoAnnouncePeriod)))
    return true;
  std::string path = Core().settings_dir + "/announcements.con";
  CreateFileWithDirs(path, 1);
  UniqueFile file = OpenRegularStream(path);
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open announcements file! %s", ErrorText(LastError()).c_str());
    Setting(kSetAutoAnnounce).value = 0;
    LogMessage(6, "Auto-announce has been disabled.");
    return false;
  }
  std::optional<std::string> wanted;
  std::string line;
  for (std::int32_t n = 1; ReadLineBounded(file.get(), kLineBuffer, &line); ++n) {
    if (n == state.next_announcement) {
      wanted = line;
      break;
    }
  }
  if (!wanted && std::ferror(file.get())) return ReadFailed();
  if (wanted) {
    std::string text = wanted->substr(0, wanted->find_first_of("\r\n")).insert(0, 1, '*');
    QueueCommand(kCmdSayToAll, CutText(text, kAnnouncementMax).c_str(), 0, 0);
    ++state.next_announcement;
  } else {
    QueueCommand(kCmdSayToAll, kBuiltInAnnouncement, 0, 0);
    state.next_announcement = 1;
  }
  state.announce_ticks = 0;
  return true;
}
