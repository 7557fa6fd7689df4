// The session table: slot 0 is the daemon itself, slots 1 to 16 hold
// logged-in clients.
#pragma once

#include <cstddef>
#include <cstdint>

// Notification codes 0xBEEF0000 + n sent to clients.
inline constexpr std::uint32_t kNotifyFailed = 0xBEEF0001;
inline constexpr std::uint32_t kNotifyDisconnect = 0xBEEF0003;

// Clears the table and makes slot 0 the daemon's own session.
void InitSessionTable();
// The slot (1 to 16) holding the socket, 0 for socket 0, -1 when none.
int FindSessionBySocket(int socket);
// Logs the disconnection and clears the slot; does not close the socket.
// False for slot numbers outside 0 to 16.
bool CloseSession(int slot);
// Sends one notification (code, length, data) to one slot. Slot 0 succeeds
// at once; slots outside 0 to 16 fail. Logs its own failure.
bool NotifyClient(std::uint32_t code, int slot, const void* data, std::size_t length);
