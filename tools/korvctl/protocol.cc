// Client side of the remote-administration protocol: encodings, the access
// rule in words and the notification names.
#include "protocol.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "core/byte_order.h"
#include "core/client_key.h"
#include "core/rc4.h"
#include "wire/account_line.h"

namespace korvctl {
namespace {

struct NoticeRow {
  std::uint32_t code;
  std::string_view name;
  std::string_view key;
};

constexpr std::array kNoticeRows{
    NoticeRow{kNotifyFailed, "command failed", "command_failed"},
    NoticeRow{kNotifyConsoleSent, "console command sent", "console_command_sent"},
    NoticeRow{kNotifyDisconnect, "disconnected by the daemon", "disconnected"},
    NoticeRow{kNotifyServerStarted, "server started", "server_started"},
    NoticeRow{kNotifyServerStopped, "server stopped", "server_stopped"},
    NoticeRow{kNotifyServerCrashed, "server crashed", "server_crashed"},
    NoticeRow{kNotifyAlreadyRunning, "start refused: the server is already running", "already_running"},
    NoticeRow{kNotifyAlreadyStopped, "stop refused: the server is already stopped", "already_stopped"},
    NoticeRow{kNotifySettingsChanged, "settings changed", "settings_changed"},
    NoticeRow{kNotifyRotationChanged, "map rotation changed", "rotation_changed"},
    NoticeRow{kNotifyBanListChanged, "ban list changed", "bans_changed"},
    NoticeRow{kNotifyUsersChanged, "user list changed", "users_changed"},
    NoticeRow{kNotifyScheduleChanged, "event schedule changed", "schedule_changed"},
    NoticeRow{kNotifyAnnouncementsChanged, "announcements changed", "announcements_changed"},
    NoticeRow{kNotifyBannedWordsChanged, "banned words changed", "banned_words_changed"},
    NoticeRow{kNotifyPasswordChanged, "password changed", "password_changed"},
    NoticeRow{kNotifyBansInSync, "ban lists in sync", "bans_in_sync"},
    NoticeRow{kNotifyBansNotInSync, "ban lists NOT in sync", "bans_not_in_sync"},
    NoticeRow{kNotifyPbSaved, "PunkBuster settings saved to pbsv.cfg", "pb_saved"},
    NoticeRow{kNotifyPbLoaded, "PunkBuster settings loaded from pbsv.cfg", "pb_loaded"},
    NoticeRow{kNotifyPaused, "game paused", "paused"},
    NoticeRow{kNotifyUnpaused, "game unpaused", "unpaused"},
    NoticeRow{kNotifyMapChanged, "map changed", "map_changed"},
    NoticeRow{kNotifyNextMapRun, "next map of the rotation started", "next_map_started"},
    NoticeRow{kNotifyNextMapSet, "next map set", "next_map_set"},
    NoticeRow{kNotifyIdleMapSet, "idle map set", "idle_map_set"},
    NoticeRow{kNotifyMapRestarted, "map restarted", "map_restarted"},
    NoticeRow{kNotifyPlayerKicked, "player kicked", "player_kicked"},
    NoticeRow{kNotifyPlayerBanned, "player banned", "player_banned"},
    NoticeRow{kNotifyBanRemoved, "ban removed", "ban_removed"},
    NoticeRow{kNotifyBansCleared, "ban list cleared", "bans_cleared"},
    NoticeRow{kNotifyChatSent, "chat message sent", "chat_sent"},
    NoticeRow{kNotifyMessageSent, "server message sent", "message_sent"},
    NoticeRow{kNotifyConsoleLine, "console", "console"},
    NoticeRow{kNotifyAutoBanWords, "player banned for banned words in chat", "auto_ban_chat"},
    NoticeRow{kNotifyAutoKickWord, "player kicked for a banned word", "auto_kick_word"},
    NoticeRow{kNotifyAutoBanScore, "player banned for repeated minus-score kicks", "auto_ban_score"},
    NoticeRow{kNotifyAutoKickScore, "player kicked for a minus score", "auto_kick_score"},
    NoticeRow{kNotifyAutoKickPing, "player kicked for high ping", "auto_kick_ping"},
    NoticeRow{kNotifyNameBanned, "player name banned", "name_banned"},
    NoticeRow{kNotifyScreenshotSent, "screenshot requested", "screenshot_requested"},
    NoticeRow{kNotifyKeepAlive, "keep-alive answered", "keep_alive"},
};

const NoticeRow* FindNotice(std::uint32_t code) {
  for (const NoticeRow& row : kNoticeRows)
    if (row.code == code) return &row;
  return nullptr;
}

constexpr std::string_view kLetters = kAccessLetters;
constexpr std::array<std::string_view, 12> kLetterWords{
    "settings group 0", "settings group 1", "settings group 2", "settings group 3",
    "settings group 4, announcements, banned words", "status", "maps", "players", "bans",
    "users", "schedule", "clients"};

std::string Enciphered(std::string block) {
  Rc4Crypt(reinterpret_cast<unsigned char*>(block.data()), block.size(), kClientKey,
           kClientKeySize);
  return block;
}

}  // namespace

std::optional<std::string> LoginBlock(std::string_view text) {
  if (text.size() >= kLoginBlockSize) return std::nullopt;
  std::string block(kLoginBlockSize, '\0');
  block.replace(0, text.size(), text);
  return Enciphered(block);
}

std::string PaddingText(std::size_t size) {
  std::random_device seed;
  std::mt19937 random(seed() ^ static_cast<unsigned>(
                                   std::chrono::steady_clock::now().time_since_epoch().count()));
  std::string padding(size, '0');
  for (char& c : padding) c = static_cast<char>('0' + random() % 74);
  return padding;
}

std::optional<std::string> PasswordField(std::string_view password) {
  if (password.size() >= kLoginBlockSize) return std::nullopt;
  return EncipherAccountField(password, kAccountPasswordSize, PaddingText(kAccountPasswordSize));
}

std::string EncodeCommand(std::uint32_t code) {
  std::string out;
  AppendU32(out, code);
  return out;
}

std::string EncodeTextCommand(std::uint32_t code, std::string_view text) {
  std::string out;
  AppendU32(out, code);
  AppendCountedText(out, text);
  return out;
}

std::string AccessNeeded(std::uint32_t code) {
  const CommandRow* row = FindCommandRow(code);
  if (row == nullptr) return "a command the daemon does not know";
  if (row->admin_only) return "the administrator account";
  std::uint32_t need = row->need;
  if (need == 0) return "nothing";
  std::string words;
  for (std::size_t bit = 0; bit < 32; ++bit) {
    if ((need & (1u << bit)) == 0) continue;
    if (!words.empty()) words += " or ";
    if (bit < kLetters.size())
      words += std::string("the ") + kLetters[bit] + " (" + std::string(kLetterWords[bit]) +
               ") letter";
    else if (need == kAccessPower)
      words += "the right to start, stop and pause the server";
    else if (need == kAccessLog)
      words += "the right to download the log";
    else if (need == kAccessConsole)
      words += "the right to issue raw console commands";
    else
      words += "the PunkBuster right";
  }
  return words;
}

std::string AccessLetters(std::uint32_t mask) {
  if (mask == kAdminMask) return "-- admin --";
  std::string letters;
  for (std::size_t bit = 0; bit < kLetters.size(); ++bit)
    letters += (mask & (1u << bit)) ? kLetters[bit] : static_cast<char>(kLetters[bit] + 32);
  constexpr std::array<std::pair<std::uint32_t, std::string_view>, 6> kExtras{{
      {kAccessPower, "power"}, {kAccessLog, "log"}, {kAccessMultiLogin, "multi-login"},
      {kAccessStartSettings, "start-settings"}, {kAccessConsole, "console"},
      {kAccessPunkBuster, "punkbuster"}}};
  for (const auto& [bit, word] : kExtras)
    if (mask & bit) letters += std::string(" +") + std::string(word);
  return letters;
}

std::string_view NoticeName(std::uint32_t code) {
  const NoticeRow* row = FindNotice(code);
  return row ? row->name : std::string_view();
}

std::string NoticeKey(std::uint32_t code) {
  const NoticeRow* row = FindNotice(code);
  if (row) return std::string(row->key);
  char text[32];
  std::snprintf(text, sizeof text, "unknown_%08X", code);
  return text;
}

std::optional<ModerationFacts> ModerationOf(std::uint32_t code) {
  struct Row {
    std::uint32_t code;
    ModerationFacts facts;
  };
  static constexpr Row kRows[] = {
      {kNotifyPlayerKicked, {"kick", ""}},
      {kNotifyPlayerBanned, {"ban", ""}},
      {kNotifyAutoBanWords, {"ban", "banned words in chat"}},
      {kNotifyAutoKickWord, {"kick", "banned word"}},
      {kNotifyAutoBanScore, {"ban", "too many minus-score kicks"}},
      {kNotifyAutoKickScore, {"kick", "minus score"}},
      {kNotifyAutoKickPing, {"kick", "high ping"}},
  };
  for (const Row& row : kRows)
    if (row.code == code) return row.facts;
  return std::nullopt;
}

std::string DescribeNotice(const Notice& notice) {
  const NoticeRow* row = FindNotice(notice.code);
  if (row == nullptr) {
    char text[96];
    std::snprintf(text, sizeof text, "unknown notification %08X", notice.code);
    return text;
  }
  std::string words(row->name);
  if (notice.code == kNotifyIdleMapSet && notice.text.empty()) return "idle map cleared";
  std::optional<ModerationFacts> facts = ModerationOf(notice.code);
  if (facts && !facts->cause.empty()) {
    // "auto-kicked Bob for high ping"
    std::string who = notice.has_data && !notice.text.empty() ? notice.text : "a player";
    return std::string(facts->action == "kick" ? "auto-kicked " : "auto-banned ") + who +
           " for " + std::string(facts->cause);
  }
  if (notice.has_data && !notice.text.empty()) words += ": " + notice.text;
  return words;
}

}  // namespace korvctl
