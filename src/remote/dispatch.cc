// The checks in front of the command table: the sender's session, bogus
// and refused codes, oversized texts and frames.
#include "remote/dispatch.h"

#include <ctime>

#include "core/clock.h"
#include "core/log.h"
#include "remote/connection.h"
#include "remote/remote_state.h"
#include "remote/session.h"

namespace {

void Dispatch(const CommandContext& c) {
  if (Remote().dispatcher != nullptr) Remote().dispatcher(c);
}

// Logs why a unit that is not a whole command is refused; false for all of
// them but a frame too large, which its handler still refuses itself.
bool Admissible(int slot, const CommandUnit& unit, const std::string& address) {
  switch (unit.kind) {
    case UnitKind::kIncomplete:
      return false;
    case UnitKind::kBogus:
      LogMessage(6, "Received bogus command %.8lX from client at %s!",
                 static_cast<unsigned long>(unit.code), address.c_str());
      return false;
    case UnitKind::kNoAccess:
      LogMessage(6, "SECURITY ALERT! Client at %s does not have access to command %.8lX!",
                 address.c_str(), static_cast<unsigned long>(unit.code));
      return false;
    case UnitKind::kTextTooLong:
      LogMessage(6, "Couldn't receive command from client at %s! The text of %lu bytes is too "
                 "long.", address.c_str(), static_cast<unsigned long>(unit.text_length));
      DropSession(slot);
      return false;
    case UnitKind::kFrameTooLarge:
    case UnitKind::kCommand:
      break;
  }
  return true;
}

}  // namespace

void SetCommandDispatcher(CommandHandler dispatcher) { MutableRemote().dispatcher = dispatcher; }

bool HasCommandAccess(std::uint32_t sender, std::uint32_t code) {
  return MaskAdmitsCommand(SenderAccess(sender), code);
}

bool RunClientCommand(int slot, const CommandUnit& unit) {
  // Slot 0 is the console's own: it sends no client commands.
  if (slot < 1 || slot >= kSessionSlots) return false;
  CommandContext c;
  c.code = unit.code;
  c.slot = slot;
  c.socket = Remote().sessions[slot].socket;
  c.address = Remote().sessions[slot].address;
  if (FindSessionBySocket(c.socket) != slot) {
    LogMessage(6, "SECURITY ALERT! Received client command from unknown client at %s!",
               c.address.c_str());
    return false;
  }
  if (!Admissible(slot, unit, c.address)) return false;
  c.user = SenderUserName(static_cast<std::uint32_t>(slot));
  c.access = SenderAccess(static_cast<std::uint32_t>(slot));
  if (unit.kind == UnitKind::kFrameTooLarge) {
    // The rest of such a frame cannot be skipped safely: the handler logs the
    // refusal and the session ends, so its bytes are never read as commands.
    Dispatch(c);
    MarkClosing(c.socket, false);
    return false;
  }
  c.text = unit.text;
  c.frame = unit.frame;
  CountCommandServed(unit.code);
  Dispatch(c);
  // A handler may have lost the connection and freed the slot.
  if (Remote().sessions[slot].socket == c.socket)
    MutableRemote().sessions[slot].last_command_at = ClockNow();
  return true;
}
