// korvctl schedule: the daemon's event schedule as a table, with the next
// time each event fires in the local time of the machine korvctl runs on.
#pragma once

#include <ctime>
#include <string_view>
#include <vector>

#include "context.h"
#include "texts.h"

namespace korvctl {

int RunSchedule(Context& context, const Subcommand& row);

// One row per event line of serverschedule.con, in file order; lines the
// daemon would skip are left out. `now` decides the next firing.
std::vector<Fields> ScheduleRows(std::string_view file, std::time_t now);

}  // namespace korvctl
