// The ban command's text (wire/ban_text.h), which the daemon queues in a
// command slot: the text's bound is the slot's.
#pragma once

#include "remote/remote_state.h"
#include "wire/ban_text.h"

static_assert(kQueuedTextSize == kCommandTextSize);
