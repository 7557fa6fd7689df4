// Per-address penalties for failed logins and their summary lines.
#include "remote/login_penalty.h"

#include <algorithm>

#include "core/ids.h"
#include "core/log.h"
#include "remote/remote_state.h"

namespace {

PenaltyClock::duration PenaltyAfter(int failures) {
  int doublings = std::min(failures - kFreeLoginFailures - 1, 16);
  return std::min<PenaltyClock::duration>(kFirstLoginPenalty * (1 << doublings), kMaxLoginPenalty);
}

void LogSummary(std::uint32_t address, LoginSource& source, PenaltyClock::time_point now) {
  if (source.unlogged_failures > 0 || source.dropped > 0) {
    auto seconds = std::chrono::ceil<std::chrono::seconds>(now - source.counted_since).count();
    LogMessage(6, "SECURITY ALERT! %i more failed login(s) from clients at %s in %li second(s) "
               "(%i connection(s) dropped)! Their logins are slowed down.",
               source.unlogged_failures, FormatDottedIp(address).c_str(),
               static_cast<long>(std::max<decltype(seconds)>(seconds, 1)), source.dropped);
  }
  source.unlogged_failures = 0;
  source.dropped = 0;
  source.next_summary = now + kPenaltySummaryPeriod;
}

bool Forgotten(const LoginSource& source, PenaltyClock::time_point now) {
  return now >= source.last_failure + kForgetLoginFailures && now >= source.allowed_at;
}

// The address's record; a full table first loses the longest quiet one.
LoginSource& SourceFor(std::uint32_t address, PenaltyClock::time_point now) {
  auto& sources = MutableRemote().login_sources;
  auto found = sources.find(address);
  if (found != sources.end()) return found->second;
  if (sources.size() >= kMaxPenaltySources) {
    auto quietest = std::min_element(sources.begin(), sources.end(), [](auto& a, auto& b) {
      return a.second.last_failure < b.second.last_failure;
    });
    LogSummary(quietest->first, quietest->second, now);
    sources.erase(quietest);
  }
  return sources[address];
}

// Counts a failure or a dropped connection for the summary, logged at once
// when no line about the address was logged lately.
void CountForSummary(std::uint32_t address, LoginSource& source, int LoginSource::*counter,
                     PenaltyClock::time_point now) {
  if (source.unlogged_failures == 0 && source.dropped == 0) source.counted_since = now;
  ++(source.*counter);
  if (now >= source.next_summary) LogSummary(address, source, now);
}

}  // namespace

bool NoteFailedLogin(std::uint32_t address, PenaltyClock::time_point now) {
  LoginSource& source = SourceFor(address, now);
  if (source.failures > 0 && Forgotten(source, now)) {
    LogSummary(address, source, now);
    source = LoginSource{};
  }
  ++source.failures;
  source.last_failure = now;
  if (source.failures <= kFreeLoginFailures) return true;
  source.allowed_at = now + PenaltyAfter(source.failures);
  CountForSummary(address, source, &LoginSource::unlogged_failures, now);
  return false;
}

void NoteDroppedLogin(std::uint32_t address, PenaltyClock::time_point now) {
  LoginSource& source = SourceFor(address, now);
  source.last_failure = std::max(source.last_failure, now);
  CountForSummary(address, source, &LoginSource::dropped, now);
}

PenaltyClock::time_point LoginAllowedAt(std::uint32_t address, PenaltyClock::time_point now) {
  auto found = Remote().login_sources.find(address);
  if (found == Remote().login_sources.end()) return now;
  return std::min(found->second.allowed_at, now + kMaxLoginPenalty);
}

void CheckLoginPenalties(PenaltyClock::time_point now) {
  if (now < Remote().next_penalty_sweep) return;
  MutableRemote().next_penalty_sweep = now + std::chrono::seconds(1);
  auto& sources = MutableRemote().login_sources;
  for (auto it = sources.begin(); it != sources.end();) {
    LoginSource& source = it->second;
    bool counted = source.unlogged_failures > 0 || source.dropped > 0;
    if (counted && now >= source.next_summary) {
      LogSummary(it->first, source, now);
      counted = false;
    }
    it = Forgotten(source, now) && !counted ? sources.erase(it) : std::next(it);
  }
}
