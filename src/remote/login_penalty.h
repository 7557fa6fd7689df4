// Failed logins by client address: after the first few, every further
// login from the address waits a growing time before it is checked, and
// the failures are logged in summary rather than one line each.
#pragma once

#include <chrono>
#include <cstdint>

using PenaltyClock = std::chrono::steady_clock;

// Failures from one address that cost nothing and are logged one by one.
inline constexpr int kFreeLoginFailures = 3;
// The wait after the first further failure; it doubles with each one.
inline constexpr std::chrono::seconds kFirstLoginPenalty{1};
inline constexpr std::chrono::seconds kMaxLoginPenalty{60};
// Counted failures of an address are logged at most once in this time.
inline constexpr std::chrono::seconds kPenaltySummaryPeriod{60};
// An address without failures for this long starts afresh.
inline constexpr std::chrono::seconds kForgetLoginFailures{600};
// Addresses remembered at once; beyond it the longest quiet one goes.
inline constexpr std::size_t kMaxPenaltySources = 4096;

// Counts a failed login from `address` (IPv4, host order). True when its
// own line is to be logged, false when it is counted for the summary.
bool NoteFailedLogin(std::uint32_t address, PenaltyClock::time_point now);
// Counts a connection from `address` dropped because the address had too
// many unfinished logins.
void NoteDroppedLogin(std::uint32_t address, PenaltyClock::time_point now);
// The moment the next login from `address` may be checked; a moment not
// after `now` when it need not wait.
PenaltyClock::time_point LoginAllowedAt(std::uint32_t address, PenaltyClock::time_point now);
// Logs the summaries that are due and forgets addresses quiet for long.
void CheckLoginPenalties(PenaltyClock::time_point now);
