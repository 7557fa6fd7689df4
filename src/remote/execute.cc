// The table of queued command codes and their handlers.
#include "remote/execute.h"

#include <span>

#include "links/console.h"
#include "remote/command_queue.h"

namespace {

using Handler = void (*)(const QueuedCommand&);

struct ExecRow {
  std::uint32_t code;
  Handler handler;
};

// One row per queued code the daemon carries out; rows are added as the
// subsystems that act on them exist.
constexpr ExecRow kExecRows[] = {
    {0, nullptr},  // placeholder: code 0 never runs (a free slot)
    {kCmdConsoleReconnect, [](const QueuedCommand&) { ReconnectConsole(); }},
};

const ExecRow* FindRow(std::uint32_t code) {
  if (code == 0) return nullptr;
  for (const ExecRow& row : std::span(kExecRows)) {
    if (row.code == code && row.handler != nullptr) return &row;
  }
  return nullptr;
}

}  // namespace

bool IsExecutableCode(std::uint32_t code) { return FindRow(code) != nullptr; }

void ExecuteCommand(const QueuedCommand& command) {
  if (const ExecRow* row = FindRow(command.code)) row->handler(command);
}
