// The session table (slot 0 is the daemon itself, slots 1 to 16 hold
// logged-in clients), sender ids, notifications and the login handshake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/protocol.h"

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

// Sends one notification (code, length, data) to one slot, through the
// session's output buffer. Slot 0 succeeds
// at once; slots outside 0 to 16 fail. Logs its own failure.
bool NotifyClient(std::uint32_t code, int slot, const void* data, std::size_t length);
// Notifies every session but `except` (0 excludes nobody), removing
// sessions whose socket is gone. Always true.
bool NotifyAllClients(std::uint32_t code, const void* data, std::size_t length, int except);
bool NotifyAllClientsText(std::uint32_t code, const std::string& text, int except);
