// The deferred command queue: packed slots, run when due.
#include "remote/command_queue.h"

#include <chrono>
#include <cstring>
#include <exception>

#include "core/clock.h"
#include "core/log.h"
#include "core/wake.h"
#include "remote/remote_state.h"

namespace {

bool QueueIsFull() { return Remote().queue[kQueueSlots - 1].code != 0; }

void PutInFreeSlot(std::uint32_t code, const char* text, std::uint32_t sender, int delay,
                   const std::optional<CommandTarget>& target) {
  for (QueuedCommand& slot : MutableRemote().queue) {
    if (slot.code != 0) continue;
    slot.code = code;
    std::memset(slot.text, 0, sizeof slot.text);
    if (text != nullptr) std::strncpy(slot.text, text, sizeof slot.text - 1);
    slot.sender = sender;
    slot.due = delay == 0 ? 0 : static_cast<std::int64_t>(ClockNow()) + delay;
    slot.target = target;
    return;
  }
}

}  // namespace

bool QueueCommand(std::uint32_t code, const char* text, std::uint32_t sender, int delay) {
  return QueueCommandFor(code, text, sender, delay, std::nullopt);
}

bool QueueCommandFor(std::uint32_t code, const char* text, std::uint32_t sender, int delay,
                     const std::optional<CommandTarget>& target) {
  if (QueueIsFull()) {
    LogMessage(6, "DEBUG: Couldn't queue command %.8lX, the queue is full!",
               static_cast<unsigned long>(code));
    return true;
  }
  PutInFreeSlot(code, text, sender, delay, target);
  return true;
}

bool QueueCommandOnce(std::uint32_t code, const char* text, std::uint32_t sender, int delay) {
  if (QueueIsFull()) {
    LogMessage(6, "Couldn't queue command %.8lX! The queue is full.",
               static_cast<unsigned long>(code));
    return true;
  }
  for (const QueuedCommand& slot : Remote().queue) {
    if (slot.code == code) return true;
  }
  PutInFreeSlot(code, text, sender, delay, std::nullopt);
  return true;
}

namespace {


// How long one run of the queue may go on starting commands; a command
// already started runs to its end.
constexpr std::chrono::milliseconds kPassBudget{100};

bool AnyDue(std::time_t now) {
  for (const QueuedCommand& slot : Remote().queue)
    if (slot.code != 0 && slot.due <= static_cast<std::int64_t>(now)) return true;
  return false;
}

// A command that fails in an unforeseen way must not end the daemon: it is
// logged and dropped. Its sender is not disconnected, because by now its
// slot may belong to another client.
void RunContained(const QueuedCommand& command) {
  // A copy of the reason: the exception is gone once its handler ends.
  std::string why = "unknown failure";
  try {
    if (Remote().command_runner != nullptr) Remote().command_runner(command);
    return;
  } catch (const std::exception& failure) {
    why = failure.what();
  } catch (...) {
  }
  LogMessage(6, "Couldn't run command %.8lX! %.200s.", static_cast<unsigned long>(command.code),
             why.c_str());
}

}  // namespace

void SetCommandRunner(CommandRunner runner) { MutableRemote().command_runner = runner; }

void RunQueuedCommands(std::time_t now) {
  auto& queue = MutableRemote().queue;
  // Every command queued before this pass that is due runs now, in queue
  // order: the one that moves up into a freed slot is examined in its turn,
  // so a burst of messages keeps its order. Commands queued while these run
  // land behind them and wait for the next pass, so none can keep a pass
  // going by queueing itself again. Once the pass has run commands for
  // kPassBudget the rest wait too, in order, and the loop's next wait is
  // cut short so that they follow at once.
  const auto start = SteadyNow();
  bool ran = false;
  int left = QueuedCommandCount();
  for (int i = 0; i < kQueueSlots && left > 0; --left) {
    if (queue[i].code == 0 || queue[i].due > static_cast<std::int64_t>(now)) {
      ++i;
      continue;
    }
    if (ran && SteadyNow() - start >= kPassBudget) break;
    ran = true;
    // Run a copy: the command may queue further commands while it runs.
    QueuedCommand command = queue[i];
    for (int k = i; k < kQueueSlots - 1; ++k) queue[k] = queue[k + 1];
    queue[kQueueSlots - 1] = QueuedCommand{};
    RunContained(command);
  }
  if (AnyDue(now)) WakeMainLoop();
}

int QueuedCommandCount() {
  int count = 0;
  for (const QueuedCommand& slot : Remote().queue) count += slot.code != 0;
  return count;
}
