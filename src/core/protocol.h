// The remote-administration protocol as the daemon and its clients share
// it: the handshake constants, the access bits, the login results, the
// notification codes, the queued command codes and the table of client
// commands with their access rules. Header only, so a client program links
// nothing of the daemon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>

/* Handshake and frames */

inline constexpr unsigned char kProtocolVersion = 0x20;
// A user name or password block: the text, its zero, zero padding, RC4.
inline constexpr std::size_t kLoginBlockSize = 32;
// Frame markers: a plain length of 0 is an empty file, 0xBEEFBABE an abort.
inline constexpr std::uint32_t kFrameAbort = 0xBEEFBABE;
// Announced frame lengths above this are refused before any allocation.
inline constexpr std::uint32_t kFrameMaxPlain = 64u << 20;
// A command text travels in a buffer of 256 bytes with its zero.
inline constexpr std::size_t kCommandTextSize = 256;
// Announced texts above this close the connection; shorter excess is
// read and dropped.
inline constexpr std::uint32_t kMaxAnnouncedText = 65536;

/* Access bits of an account mask */

// Bits 0 to 11 are the letters SGFIATMPBUHC: settings groups 0 to 4 (the
// A letter also admits announcements and banned words), status, maps,
// players, bans, users, schedule, clients.
inline constexpr char kAccessLetters[] = "SGFIATMPBUHC";
inline constexpr std::uint32_t kAccessA = 0x10, kAccessT = 0x20, kAccessM = 0x40,
                               kAccessP = 0x80, kAccessB = 0x100, kAccessU = 0x200,
                               kAccessH = 0x400, kAccessC = 0x800;
inline constexpr std::uint32_t kAccessPower = 0x1000;          // start, stop, pause
inline constexpr std::uint32_t kAccessLog = 0x2000;            // log download
inline constexpr std::uint32_t kAccessMultiLogin = 0x4000;     // several sessions
inline constexpr std::uint32_t kAccessStartSettings = 0x8000;  // settings read at start
inline constexpr std::uint32_t kAccessConsole = 0x10000;       // raw console commands
inline constexpr std::uint32_t kAccessPunkBuster = 0x20000;
inline constexpr std::uint32_t kAdminMask = 0xFFFFFFFF;

/* Login results, sent to the client as one byte */

enum LoginResult : int {
  kLoginAccepted = 0,
  kLoginBadUser = 1,
  kLoginBadPassword = 2,
  kLoginDisabled = 3,
  kLoginNoAccess = 4,
  kLoginNoAccounts = 5,
  kLoginAlreadyConnected = 6,
  kLoginServerFull = 7,
};

/* Notification codes 0xBEEF0000 + n sent to clients */

inline constexpr std::uint32_t kNotifyBase = 0xBEEF0000;
inline constexpr std::uint32_t kNotifyFailed = 0xBEEF0001;
inline constexpr std::uint32_t kNotifyConsoleSent = 0xBEEF0002;
inline constexpr std::uint32_t kNotifyDisconnect = 0xBEEF0003;
inline constexpr std::uint32_t kNotifyServerStarted = 0xBEEF0004;
inline constexpr std::uint32_t kNotifyServerStopped = 0xBEEF0005;
inline constexpr std::uint32_t kNotifyServerCrashed = 0xBEEF0006;
inline constexpr std::uint32_t kNotifyAlreadyRunning = 0xBEEF0009;
inline constexpr std::uint32_t kNotifyAlreadyStopped = 0xBEEF000A;
inline constexpr std::uint32_t kNotifySettingsChanged = 0xBEEF000B;
inline constexpr std::uint32_t kNotifyRotationChanged = 0xBEEF000C;
inline constexpr std::uint32_t kNotifyBanListChanged = 0xBEEF000D;
inline constexpr std::uint32_t kNotifyUsersChanged = 0xBEEF000E;
inline constexpr std::uint32_t kNotifyScheduleChanged = 0xBEEF000F;
inline constexpr std::uint32_t kNotifyAnnouncementsChanged = 0xBEEF0010;
inline constexpr std::uint32_t kNotifyBannedWordsChanged = 0xBEEF0011;
inline constexpr std::uint32_t kNotifyPasswordChanged = 0xBEEF0014;
inline constexpr std::uint32_t kNotifyBansInSync = 0xBEEF0015;
inline constexpr std::uint32_t kNotifyBansNotInSync = 0xBEEF0016;
inline constexpr std::uint32_t kNotifyPbSaved = 0xBEEF0017;
inline constexpr std::uint32_t kNotifyPbLoaded = 0xBEEF0018;
inline constexpr std::uint32_t kNotifyPaused = 0xBEEF0019;
inline constexpr std::uint32_t kNotifyUnpaused = 0xBEEF001A;
inline constexpr std::uint32_t kNotifyMapChanged = 0xBEEF001B;
inline constexpr std::uint32_t kNotifyNextMapRun = 0xBEEF001C;
inline constexpr std::uint32_t kNotifyNextMapSet = 0xBEEF001D;
inline constexpr std::uint32_t kNotifyIdleMapSet = 0xBEEF001E;
inline constexpr std::uint32_t kNotifyMapRestarted = 0xBEEF001F;
inline constexpr std::uint32_t kNotifyPlayerKicked = 0xBEEF0020;
inline constexpr std::uint32_t kNotifyPlayerBanned = 0xBEEF0021;
inline constexpr std::uint32_t kNotifyBanRemoved = 0xBEEF0022;
inline constexpr std::uint32_t kNotifyBansCleared = 0xBEEF0023;
inline constexpr std::uint32_t kNotifyChatSent = 0xBEEF0024;
inline constexpr std::uint32_t kNotifyMessageSent = 0xBEEF0025;
// One chat or event line from the game server's console.
inline constexpr std::uint32_t kNotifyConsoleLine = 0xBEEF0026;
inline constexpr std::uint32_t kNotifyAutoBanWords = 0xBEEF0027;
inline constexpr std::uint32_t kNotifyAutoKickWord = 0xBEEF0028;
inline constexpr std::uint32_t kNotifyAutoBanScore = 0xBEEF0029;
inline constexpr std::uint32_t kNotifyAutoKickScore = 0xBEEF002A;
inline constexpr std::uint32_t kNotifyAutoKickPing = 0xBEEF002B;
inline constexpr std::uint32_t kNotifyNameBanned = 0xBEEF002C;
inline constexpr std::uint32_t kNotifyScreenshotSent = 0xBEEF002D;
inline constexpr std::uint32_t kNotifyKeepAlive = 0xBEEF002E;

/* Queued command codes 0xB00B0000 + n */

inline constexpr std::uint32_t kQueuedBase = 0xB00B0000;
inline constexpr std::uint32_t kCmdConsoleReconnect = 0xB00B0000;
inline constexpr std::uint32_t kCmdNotifyAll = 0xB00B0002;  // text: the code in decimal
inline constexpr std::uint32_t kCmdDisconnectClient = 0xB00B0003;
inline constexpr std::uint32_t kCmdTogglePause = 0xB00B0009;
inline constexpr std::uint32_t kCmdChangeMap = 0xB00B000A;
inline constexpr std::uint32_t kCmdNextMap = 0xB00B000B;
inline constexpr std::uint32_t kCmdSetNextMap = 0xB00B000C;
inline constexpr std::uint32_t kCmdSetIdleMap = 0xB00B000D;
inline constexpr std::uint32_t kCmdRestartMap = 0xB00B000E;
inline constexpr std::uint32_t kCmdKickPlayer = 0xB00B000F;
inline constexpr std::uint32_t kCmdBanPlayer = 0xB00B0010;
inline constexpr std::uint32_t kCmdRemoveBan = 0xB00B0011;
inline constexpr std::uint32_t kCmdClearBans = 0xB00B0012;
inline constexpr std::uint32_t kCmdBanPlayerName = 0xB00B0013;
inline constexpr std::uint32_t kCmdVerifyBans = 0xB00B0014;
inline constexpr std::uint32_t kCmdSyncToServerBans = 0xB00B0015;
inline constexpr std::uint32_t kCmdSyncFromServerBans = 0xB00B0016;
inline constexpr std::uint32_t kCmdSayToAll = 0xB00B0017;
inline constexpr std::uint32_t kCmdServerMessage = 0xB00B0018;
inline constexpr std::uint32_t kCmdRawConsole = 0xB00B0019;
inline constexpr std::uint32_t kCmdChangePassword = 0xB00B001A;
inline constexpr std::uint32_t kCmdScreenshot = 0xB00B001B;
inline constexpr std::uint32_t kCmdSavePunkBuster = 0xB00B001E;
inline constexpr std::uint32_t kCmdLoadPunkBuster = 0xB00B001F;
inline constexpr std::uint32_t kCmdReloadAccounts = 0xB00B0020;
// The daemon's own: the next slice of timed-ban expiry, queued when more
// bans are due than one pass lifts. No client command maps to it.
inline constexpr std::uint32_t kCmdExpireBans = 0xB00B0021;
// Every queued code above: each has exactly one handler in the daemon's
// command table, which checks this list when it is compiled.
inline constexpr std::uint32_t kQueuedCodes[] = {
    kCmdConsoleReconnect, kCmdNotifyAll,        kCmdDisconnectClient,   kCmdTogglePause,
    kCmdChangeMap,        kCmdNextMap,          kCmdSetNextMap,         kCmdSetIdleMap,
    kCmdRestartMap,       kCmdKickPlayer,       kCmdBanPlayer,          kCmdRemoveBan,
    kCmdClearBans,        kCmdBanPlayerName,    kCmdVerifyBans,         kCmdSyncToServerBans,
    kCmdSyncFromServerBans, kCmdSayToAll,       kCmdServerMessage,      kCmdRawConsole,
    kCmdChangePassword,   kCmdScreenshot,       kCmdSavePunkBuster,     kCmdLoadPunkBuster,
    kCmdReloadAccounts,   kCmdExpireBans,
};

/* Client command codes 0xBABE0000 + n */

inline constexpr std::uint32_t kClientBase = 0xBABE0000;
inline constexpr std::uint32_t kClientSettingsDownload = 0xBABE0000;
inline constexpr std::uint32_t kClientSettingsUpload = 0xBABE0001;
inline constexpr std::uint32_t kClientPbCfgDownload = 0xBABE0002;
inline constexpr std::uint32_t kClientPbCfgUpload = 0xBABE0003;
inline constexpr std::uint32_t kClientSavePunkBuster = 0xBABE0004;
inline constexpr std::uint32_t kClientLoadPunkBuster = 0xBABE0005;
inline constexpr std::uint32_t kClientReserved6 = 0xBABE0006;
inline constexpr std::uint32_t kClientReserved7 = 0xBABE0007;
inline constexpr std::uint32_t kClientModsDownload = 0xBABE0008;
inline constexpr std::uint32_t kClientMapsDownload = 0xBABE0009;
inline constexpr std::uint32_t kClientRotationDownload = 0xBABE000A;
inline constexpr std::uint32_t kClientRotationUpload = 0xBABE000B;
inline constexpr std::uint32_t kClientPlayerListDownload = 0xBABE000C;
inline constexpr std::uint32_t kClientClientListDownload = 0xBABE000D;
inline constexpr std::uint32_t kClientPlayerMenuDownload = 0xBABE000E;
inline constexpr std::uint32_t kClientBanListDownload = 0xBABE000F;
inline constexpr std::uint32_t kClientBanListUpload = 0xBABE0010;
inline constexpr std::uint32_t kClientAccountsDownload = 0xBABE0011;
inline constexpr std::uint32_t kClientAccountsUpload = 0xBABE0012;
inline constexpr std::uint32_t kClientScheduleDownload = 0xBABE0013;
inline constexpr std::uint32_t kClientScheduleUpload = 0xBABE0014;
inline constexpr std::uint32_t kClientStatusLine = 0xBABE0015;
inline constexpr std::uint32_t kClientAnnouncementsDownload = 0xBABE0016;
inline constexpr std::uint32_t kClientAnnouncementsUpload = 0xBABE0017;
inline constexpr std::uint32_t kClientBannedWordsDownload = 0xBABE0018;
inline constexpr std::uint32_t kClientBannedWordsUpload = 0xBABE0019;
inline constexpr std::uint32_t kClientStartServer = 0xBABE001A;
inline constexpr std::uint32_t kClientStopServer = 0xBABE001B;
inline constexpr std::uint32_t kClientTogglePause = 0xBABE001C;
inline constexpr std::uint32_t kClientGameAddress = 0xBABE001D;
inline constexpr std::uint32_t kClientChangeMap = 0xBABE001E;
inline constexpr std::uint32_t kClientNextMap = 0xBABE001F;
inline constexpr std::uint32_t kClientSetNextMap = 0xBABE0020;
inline constexpr std::uint32_t kClientSetIdleMap = 0xBABE0021;
inline constexpr std::uint32_t kClientRestartMap = 0xBABE0022;
inline constexpr std::uint32_t kClientKickPlayer = 0xBABE0023;
inline constexpr std::uint32_t kClientDisconnectClient = 0xBABE0024;
inline constexpr std::uint32_t kClientBanPlayer = 0xBABE0025;
inline constexpr std::uint32_t kClientRemoveBan = 0xBABE0026;
inline constexpr std::uint32_t kClientClearBanLists = 0xBABE0027;
inline constexpr std::uint32_t kClientBanPlayerName = 0xBABE0028;
inline constexpr std::uint32_t kClientVerifyBanLists = 0xBABE0029;
inline constexpr std::uint32_t kClientSyncToServerBanList = 0xBABE002A;
inline constexpr std::uint32_t kClientSyncFromServerBanList = 0xBABE002B;
inline constexpr std::uint32_t kClientSayToAll = 0xBABE002C;
inline constexpr std::uint32_t kClientServerMessage = 0xBABE002D;
inline constexpr std::uint32_t kClientRawConsoleCommand = 0xBABE002E;
inline constexpr std::uint32_t kClientChangeOwnPassword = 0xBABE002F;
inline constexpr std::uint32_t kClientLogDownload = 0xBABE0030;
inline constexpr std::uint32_t kClientScreenshot = 0xBABE0031;
inline constexpr std::uint32_t kClientKeepAlive = 0xBABE0032;
// The player history: a query by name, key hash or address, answered with
// its report (wire/history_text.h); and a note on a key hash.
inline constexpr std::uint32_t kClientPlayerHistory = 0xBABE0033;
inline constexpr std::uint32_t kClientHistoryNote = 0xBABE0034;
inline constexpr std::uint32_t kClientLast = kClientHistoryNote;

enum class CommandKind : std::uint8_t {
  kImmediate,  // served at once by the daemon
  kQueued,     // handed to the command queue with its queued code
  kIgnored,    // accepted and ignored
};

// One client command. `need` holds the access bits of which any one admits
// the command; 0 admits every account unless `admin_only` is set.
struct CommandRow {
  std::uint32_t code;
  const char* name;
  std::uint32_t need;
  bool admin_only;
  CommandKind kind;
  std::uint32_t queued;  // the queued code of a kQueued command
  bool text;             // a length and a text follow the code
  bool upload;           // a file frame follows the code
};

namespace protocol_rows {
constexpr CommandKind kNow = CommandKind::kImmediate;
constexpr CommandKind kQueue = CommandKind::kQueued;
constexpr CommandKind kIgnore = CommandKind::kIgnored;
constexpr std::uint32_t kA = kAccessA, kT = kAccessT, kM = kAccessM, kP = kAccessP,
                        kB = kAccessB, kU = kAccessU, kH = kAccessH, kC = kAccessC;

inline constexpr CommandRow kCommandRows[] = {
    {kClientSettingsDownload, "settings download", 0, false, kNow, 0, false, false},
    {kClientSettingsUpload, "settings upload", 0, false, kNow, 0, false, true},
    {kClientPbCfgDownload, "pbsv.cfg download", kAccessPunkBuster, false, kNow, 0, false, false},
    {kClientPbCfgUpload, "pbsv.cfg upload", kAccessPunkBuster, false, kNow, 0, false, true},
    {kClientSavePunkBuster, "save PunkBuster settings", kAccessPunkBuster, false, kQueue,
     kCmdSavePunkBuster, false, false},
    {kClientLoadPunkBuster, "load PunkBuster settings", kAccessPunkBuster, false, kQueue,
     kCmdLoadPunkBuster, false, false},
    {kClientReserved6, "reserved 6", 0, true, kIgnore, 0, false, false},
    {kClientReserved7, "reserved 7", 0, true, kIgnore, 0, false, false},
    {kClientModsDownload, "mods download", kM, false, kNow, 0, false, false},
    {kClientMapsDownload, "maps download", kM, false, kNow, 0, false, false},
    {kClientRotationDownload, "rotation download", kM, false, kNow, 0, false, false},
    {kClientRotationUpload, "rotation upload", kM, false, kNow, 0, false, true},
    {kClientPlayerListDownload, "player list download", kP, false, kNow, 0, false, false},
    {kClientClientListDownload, "client list download", kC, false, kNow, 0, false, false},
    {kClientPlayerMenuDownload, "player menu download", kP, false, kNow, 0, false, false},
    {kClientBanListDownload, "ban list download", kB, false, kNow, 0, false, false},
    {kClientBanListUpload, "ban list upload", kB, false, kNow, 0, false, true},
    {kClientAccountsDownload, "accounts download", kU, false, kNow, 0, false, false},
    {kClientAccountsUpload, "accounts upload", kU, false, kNow, 0, false, true},
    {kClientScheduleDownload, "schedule download", kH, false, kNow, 0, false, false},
    {kClientScheduleUpload, "schedule upload", kH, false, kNow, 0, false, true},
    {kClientStatusLine, "status line", kT, false, kNow, 0, false, false},
    {kClientAnnouncementsDownload, "announcements download", kA, false, kNow, 0, false, false},
    {kClientAnnouncementsUpload, "announcements upload", kA, false, kNow, 0, false, true},
    {kClientBannedWordsDownload, "banned words download", kP | kA, false, kNow, 0, false, false},
    {kClientBannedWordsUpload, "banned words upload", kP | kA, false, kNow, 0, false, true},
    {kClientStartServer, "start server", kAccessPower, false, kNow, 0, false, false},
    {kClientStopServer, "stop server", kAccessPower, false, kNow, 0, false, false},
    {kClientTogglePause, "toggle pause", kAccessPower, false, kQueue, kCmdTogglePause, false, false},
    {kClientGameAddress, "game address", kP, false, kNow, 0, false, false},
    {kClientChangeMap, "change map", kM, false, kQueue, kCmdChangeMap, true, false},
    {kClientNextMap, "next map", kM, false, kQueue, kCmdNextMap, false, false},
    {kClientSetNextMap, "set next map", kM, false, kQueue, kCmdSetNextMap, true, false},
    {kClientSetIdleMap, "set idle map", kM, false, kQueue, kCmdSetIdleMap, true, false},
    {kClientRestartMap, "restart map", kM, false, kQueue, kCmdRestartMap, false, false},
    {kClientKickPlayer, "kick player", kP, false, kQueue, kCmdKickPlayer, true, false},
    {kClientDisconnectClient, "disconnect client", kC, false, kQueue, kCmdDisconnectClient, true, false},
    {kClientBanPlayer, "ban player", kP | kB, false, kQueue, kCmdBanPlayer, true, false},
    {kClientRemoveBan, "remove ban", kB, false, kQueue, kCmdRemoveBan, true, false},
    {kClientClearBanLists, "clear ban lists", kB, false, kQueue, kCmdClearBans, false, false},
    {kClientBanPlayerName, "ban player name", kP, false, kQueue, kCmdBanPlayerName, true, false},
    {kClientVerifyBanLists, "verify ban lists", 0, true, kQueue, kCmdVerifyBans, false, false},
    {kClientSyncToServerBanList, "sync to server ban list", 0, true, kQueue, kCmdSyncToServerBans, false, false},
    {kClientSyncFromServerBanList, "sync from server ban list", 0, true, kQueue, kCmdSyncFromServerBans, false, false},
    {kClientSayToAll, "say to all", 0, false, kQueue, kCmdSayToAll, true, false},
    {kClientServerMessage, "server message", 0, false, kQueue, kCmdServerMessage, true, false},
    {kClientRawConsoleCommand, "raw console command", kAccessConsole, false, kQueue, kCmdRawConsole, true, false},
    {kClientChangeOwnPassword, "change own password", 0, false, kQueue, kCmdChangePassword, true, false},
    {kClientLogDownload, "log download", kAccessLog, false, kNow, 0, false, false},
    {kClientScreenshot, "screenshot", kP, false, kQueue, kCmdScreenshot, true, false},
    {kClientKeepAlive, "keep-alive", 0, false, kNow, 0, false, false},
    {kClientPlayerHistory, "player history", kP, false, kNow, 0, true, false},
    {kClientHistoryNote, "history note", kP, false, kNow, 0, true, false},
};
static_assert(std::size(kCommandRows) == kClientLast - kClientBase + 1);

constexpr bool RowsAreInCodeOrder() {
  for (std::size_t i = 0; i < std::size(kCommandRows); ++i) {
    if (kCommandRows[i].code != kClientBase + i) return false;
  }
  return true;
}
static_assert(RowsAreInCodeOrder(), "one row per code, in code order");

// The names label the metrics' series, one series per command.
constexpr bool NamesAreUnique() {
  for (std::size_t i = 0; i < std::size(kCommandRows); ++i)
    for (std::size_t j = i + 1; j < std::size(kCommandRows); ++j)
      if (std::string_view(kCommandRows[i].name) == kCommandRows[j].name) return false;
  return true;
}
static_assert(NamesAreUnique(), "every command has a name of its own");
}  // namespace protocol_rows

// The whole table, one row per code from 0xBABE0000 to kClientLast.
constexpr std::span<const CommandRow> CommandTable() { return protocol_rows::kCommandRows; }

// The row of a client command code; nullptr outside the table.
constexpr const CommandRow* FindCommandRow(std::uint32_t code) {
  if (code < kClientBase || code > kClientLast) return nullptr;
  return &protocol_rows::kCommandRows[code - kClientBase];
}

inline constexpr std::uint32_t kAccessComparedBits = 0x3FFFF;  // bits 0 to 17

// True when every bit 0 to 17 of `want` is also set in `have`: what an
// account may grant to another.
constexpr bool AccessIsSubset(std::uint32_t have, std::uint32_t want) {
  return (want & kAccessComparedBits & ~have) == 0;
}

// True when an account with `mask` may send `code`: never with mask 0 or
// an unknown code, always with the administrator mask, else by the row.
constexpr bool MaskAdmitsCommand(std::uint32_t mask, std::uint32_t code) {
  const CommandRow* row = FindCommandRow(code);
  if (row == nullptr || mask == 0) return false;
  if (mask == kAdminMask) return true;
  if (row->admin_only) return false;
  return row->need == 0 || (mask & row->need) != 0;
}
