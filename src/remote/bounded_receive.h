// Receiving from a client with one deadline for a whole exchange, so that a
// peer trickling bytes cannot hold the single-threaded daemon.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

using Deadline = std::chrono::steady_clock::time_point;

// The deadline `seconds` from now.
Deadline DeadlineIn(int seconds);

// Receives exactly `length` bytes before the deadline. False with the last
// error set: ETIMEDOUT when the deadline passed, ECONNRESET when the peer
// closed, else errno.
bool ReceiveBefore(int socket, void* buffer, std::size_t length, Deadline deadline);
bool ReceiveU32Before(int socket, std::uint32_t* value, Deadline deadline);
