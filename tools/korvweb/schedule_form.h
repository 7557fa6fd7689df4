// The event schedule as the page edits it: the daemon's lines read by the
// daemon's own reader, and lines built from the fields an administrator
// picks. A text the daemon would read otherwise than it is written (a
// "restart" action is a stop to the daemon) is refused before upload.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace korvweb {

// {"zone":..., "events":[{"time", "action", "day", "settings", "maplist",
// "enabled", "at" (HH:MM local), "date", "does", "next" in words, "next_at"
// (seconds since the epoch, 0 for never)}]} for the lines of
// serverschedule.con the daemon loads, in file order.
nlohmann::json ScheduleJson(std::string_view text, std::time_t now);

// Empty when the daemon loads every line of `text` as it is written and
// fires it as its words say; else the first fault, in words.
std::string ScheduleTextProblem(std::string_view text);

// The file's text for the events the page sends: [{"action", "day", "at"
// ("HH:MM" in the local zone), "date" ("YYYY-MM-DD", for a one-shot
// event), "settings", "maplist", "enabled"}]. False with the reason.
bool ScheduleTextFromEvents(const nlohmann::json& events, std::time_t now, std::string* text,
                            std::string* error);

}  // namespace korvweb
