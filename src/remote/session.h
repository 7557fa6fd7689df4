// The session table (slot 0 is the daemon itself, slots 1 to 16 hold
// logged-in clients), sender ids, notifications and the login handshake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Notification codes 0xBEEF0000 + n sent to clients.
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
inline constexpr std::uint32_t kNotifyConsoleLine = 0xBEEF0026;
inline constexpr std::uint32_t kNotifyAutoBanWords = 0xBEEF0027;
inline constexpr std::uint32_t kNotifyAutoKickWord = 0xBEEF0028;
inline constexpr std::uint32_t kNotifyAutoBanScore = 0xBEEF0029;
inline constexpr std::uint32_t kNotifyAutoKickScore = 0xBEEF002A;
inline constexpr std::uint32_t kNotifyAutoKickPing = 0xBEEF002B;
inline constexpr std::uint32_t kNotifyNameBanned = 0xBEEF002C;
inline constexpr std::uint32_t kNotifyScreenshotSent = 0xBEEF002D;
inline constexpr std::uint32_t kNotifyKeepAlive = 0xBEEF002E;

// Handshake constants.
inline constexpr unsigned char kProtocolVersion = 0x20;
inline constexpr std::size_t kLoginBlockSize = 32;
// The whole handshake, and reading one command, must finish within this.
inline constexpr int kPeerDeadlineSeconds = 5;
// Sender ids of in-game administrators: 0xFF00 + account index.
inline constexpr std::uint32_t kGameSenderBase = 0xFF00;

// Clears the table and makes slot 0 the daemon's own session.
void InitSessionTable();
// The slot (1 to 16) holding the socket, 0 for socket 0, -1 when none.
int FindSessionBySocket(int socket);
// Logs the disconnection and clears the slot; does not close the socket.
// False for slot numbers outside 0 to 16.
bool CloseSession(int slot);
// Closes the slot's socket, takes it out of the master set and clears the
// slot with CloseSession. Slots outside 1 to 16 or free are left alone.
void DropSession(int slot);

// Who issued a command: 0 the daemon, 1 to 16 a session, 0xFF00 + n the
// in-game holder of account n; anything else is nobody.
std::string SenderUserName(std::uint32_t sender);
std::string SenderAddress(std::uint32_t sender);
std::uint32_t SenderAccess(std::uint32_t sender);

// Sends one notification (code, length, data) to one slot. Slot 0 succeeds
// at once; slots outside 0 to 16 fail. Logs its own failure.
bool NotifyClient(std::uint32_t code, int slot, const void* data, std::size_t length);
// As NotifyClient with a zero-terminated text (its zero counted).
bool NotifyClientText(std::uint32_t code, int slot, const std::string& text);
// Notifies every session but `except` (0 excludes nobody), removing
// sessions whose socket is gone. Always true.
bool NotifyAllClients(std::uint32_t code, const void* data, std::size_t length, int except);
bool NotifyAllClientsText(std::uint32_t code, const std::string& text, int except);

// Runs the login handshake on a freshly accepted socket; true when a
// session was opened. On false the caller closes the socket; the last error
// is 0 for a refused login, else the transport failure.
bool AuthenticateClient(int socket);
