// Carries out one queued command. Each code the daemon knows has one row in
// the table in execute.cc; a code without a row does nothing.
#pragma once

#include <cstdint>

#include "remote/remote_state.h"

void ExecuteCommand(const QueuedCommand& command);

// True when the code has a row in the execution table.
bool IsExecutableCode(std::uint32_t code);
