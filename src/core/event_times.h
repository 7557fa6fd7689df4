// When the events of the weekly schedule fall: the day keywords, the days
// each admits, and an event's instant on a given local day, computed with
// the time zone's own rules (daylight-saving changes included). Shared by
// the daemon's schedule and by korvctl, which shows the next firing.
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>

// Day codes of the schedule's day keywords.
inline constexpr int kDayNever = -1;     // no keyword matched: never fires
inline constexpr int kDayOnce = 0;       // "none": at the stored date and time
inline constexpr int kDayDaily = 1;      // "daily"
inline constexpr int kDaySunday = 2;     // "sun" .. "sat" are 2 .. 8
inline constexpr int kDaySaturday = 8;
inline constexpr int kDayWeekdays = 9;   // "weekdays": Monday to Friday
inline constexpr int kDayWeekends = 10;  // "weekends": Saturday and Sunday

// The code of a day text: the keyword that matches the text over the
// keyword's own length, case ignored ("Monday" is "mon"); kDayNever when
// none does.
int DayCode(std::string_view day);

// True when a repeating code fires on the weekday (0 = Sunday, as tm_wday);
// kDayOnce and kDayDaily admit every day, kDayNever none.
bool DayAdmits(int code, int weekday);

// The instant at which the local time of day of `stored` falls on the
// local date of `day` (any instant of that day). A time of day that a
// daylight-saving change skips gives the first valid minute after it; one
// that the change repeats gives its first occurrence.
std::time_t InstantOnDay(std::time_t stored, std::time_t day);

// The instant the event fires for the schedule tick of `now`: the stored
// time for kDayOnce, else its time of day on today's local date.
std::time_t EventInstant(std::uint32_t stored, int code, std::time_t now);

// The next instant at or after `now` at which the event fires; 0 when it
// never will (kDayNever, or a one-shot time already past).
std::time_t NextFiring(std::uint32_t stored, int code, std::time_t now);
