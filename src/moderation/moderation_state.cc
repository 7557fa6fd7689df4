// The one instance of the moderation state section.
#include "moderation/moderation_state.h"

namespace {
ModerationState g_section;
}  // namespace

const ModerationState& Moderation() { return g_section; }
ModerationState& MutableModeration() { return g_section; }
