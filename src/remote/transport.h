// Exact-length transfers over non-blocking sockets and the compressed,
// checksummed file frame that carries whole files to and from clients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/protocol.h"


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

// Sends the file at `path` as one frame (an abort marker when it cannot be
// read). Logs "Couldn't send ..." and returns false on failure.
bool SendFile(const std::string& path, int socket);
// Receives one frame into `path`, replacing the file only when the whole
// frame arrived intact. Logs "Couldn't receive ..." and returns false on
// failure, leaving the file as it was.
bool ReceiveFile(const std::string& path, int socket);

// The byte layout of a frame for `data` (for clients and tests).
std::string EncodeFrame(const std::string& data);
