// The one instance of the schedule's state section.
#include "schedule/schedule_state.h"

namespace {
ScheduleState g_section;
}  // namespace

const ScheduleState& Schedule() { return g_section; }
ScheduleState& MutableSchedule() { return g_section; }
