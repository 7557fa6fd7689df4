// Event instants in local time.
#include "core/event_times.h"

#include <strings.h>
#include <time.h>

#include <array>
#include <optional>

namespace {

struct DayKeyword {
  std::string_view word;
  int code;
};

constexpr std::array<DayKeyword, 11> kDayKeywords{{
    {"none", kDayOnce}, {"daily", 1}, {"sun", 2}, {"mon", 3}, {"tue", 4}, {"wed", 5},
    {"thu", 6}, {"fri", 7}, {"sat", 8}, {"weekdays", kDayWeekdays}, {"weekends", kDayWeekends},
}};

// A skipped stretch of local time is never longer than this (a zone that
// changed its date line skipped a whole day).
constexpr int kMaxSkippedMinutes = 24 * 60 + 60;

std::tm LocalTm(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

// The instant of the local date and time in `wanted` read with the given
// daylight-saving flag, when that reading names a real instant.
std::optional<std::time_t> ReadAs(const std::tm& wanted, int isdst) {
  std::tm tm = wanted;
  tm.tm_isdst = isdst;
  std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  std::tm back = LocalTm(t);
  if (back.tm_year != wanted.tm_year || back.tm_mon != wanted.tm_mon ||
      back.tm_mday != wanted.tm_mday || back.tm_hour != wanted.tm_hour ||
      back.tm_min != wanted.tm_min || back.tm_sec != wanted.tm_sec || back.tm_isdst != isdst)
    return std::nullopt;
  return t;
}

// The first instant that shows this local date and time; none when the
// zone skips it.
std::optional<std::time_t> FirstInstantOf(const std::tm& wanted) {
  std::optional<std::time_t> standard = ReadAs(wanted, 0);
  std::optional<std::time_t> summer = ReadAs(wanted, 1);
  if (standard && summer) return *standard < *summer ? *standard : *summer;
  return standard ? standard : summer;
}

}  // namespace

int DayCode(std::string_view day) {
  for (const DayKeyword& keyword : kDayKeywords) {
    if (day.size() >= keyword.word.size() &&
        ::strncasecmp(day.data(), keyword.word.data(), keyword.word.size()) == 0)
      return keyword.code;
  }
  return kDayNever;
}

bool DayAdmits(int code, int weekday) {
  if (code == kDayOnce || code == kDayDaily) return true;
  if (code >= kDaySunday && code <= kDaySaturday) return code - kDaySunday == weekday;
  if (code == kDayWeekdays) return weekday >= 1 && weekday <= 5;
  if (code == kDayWeekends) return weekday == 0 || weekday == 6;
  return false;
}

std::time_t InstantOnDay(std::time_t stored, std::time_t day) {
  std::tm of_day = LocalTm(stored);
  std::tm wanted = LocalTm(day);
  wanted.tm_hour = of_day.tm_hour;
  wanted.tm_min = of_day.tm_min;
  wanted.tm_sec = of_day.tm_sec;
  if (std::optional<std::time_t> t = FirstInstantOf(wanted)) return *t;
  // Skipped by a change to summer time: the first valid minute after it.
  wanted.tm_sec = 0;
  for (int minute = 1; minute <= kMaxSkippedMinutes; ++minute) {
    // The fields are carried over as on a clock without any change (timegm
    // normalises without the zone's rules).
    std::tm next = wanted;
    next.tm_min += minute;
    if (::timegm(&next) == static_cast<std::time_t>(-1)) break;
    if (std::optional<std::time_t> t = FirstInstantOf(next)) return *t;
  }
  std::tm fallback = wanted;
  fallback.tm_isdst = -1;
  return std::mktime(&fallback);
}

std::time_t EventInstant(std::uint32_t stored, int code, std::time_t now) {
  if (code == kDayOnce) return static_cast<std::time_t>(stored);
  return InstantOnDay(static_cast<std::time_t>(stored), now);
}

std::time_t NextFiring(std::uint32_t stored, int code, std::time_t now) {
  if (code == kDayNever) return 0;
  if (code == kDayOnce) return static_cast<std::time_t>(stored) >= now ? stored : 0;
  std::tm day = LocalTm(now);
  // Noon of each following day stays on that day whatever the clocks do.
  day.tm_hour = 12;
  day.tm_min = day.tm_sec = 0;
  for (int ahead = 0; ahead <= 8; ++ahead) {
    std::tm noon = day;
    noon.tm_mday += ahead;
    noon.tm_isdst = -1;
    std::time_t at_noon = std::mktime(&noon);
    if (!DayAdmits(code, noon.tm_wday)) continue;
    std::time_t instant = InstantOnDay(stored, at_noon);
    if (instant >= now) return instant;
  }
  return 0;
}
