// Exact-length transfers over non-blocking sockets, shared by the console
// link and the remote clients.
#pragma once

#include <cstddef>
#include <cstdint>

// Sends exactly `length` bytes, waiting up to 2 seconds at a time for the
// socket; gives up on an error, a timed-out wait (ETIMEDOUT) or the fourth
// wait in a row without progress (EAGAIN). False with the last error set.
bool SendAll(int socket, const void* buffer, std::size_t length);
// Receives exactly `length` bytes the same way; a closed peer fails
// (ECONNRESET).
bool ReceiveAll(int socket, void* buffer, std::size_t length);

// Little-endian 32-bit helpers over SendAll/ReceiveAll.
bool SendU32(int socket, std::uint32_t value);
bool ReceiveU32(int socket, std::uint32_t* value);
