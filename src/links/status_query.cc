// UDP status queries in the query style of the game server: segments carry
// "queryid" as "query.segment" and the last one holds the key "final".
#include "links/status_query.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/clock.h"
#include "core/last_error.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "wire/status_report.h"
#include "core/wake.h"
#include "core/log.h"
#include "core/core_state.h"
#include "links/links_state.h"
#include "settings/settings_table.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr Clock::duration kReplyBudget = std::chrono::seconds(2);  // a query's, and a pass's
constexpr std::uint32_t kProbeRanges[][2] = {{23000, 23009}, {22000, 22010}};

// Waits end to the millisecond: what a timed-out wait leaves over is no
// time to ask the server anything.
constexpr Clock::duration kLeastWait = std::chrono::milliseconds(10);

bool PassHasWaitLeft() { return Links().status_wait_left >= kLeastWait; }

// Takes what a query waited off what its pass has left.
void SpendPassWait(Clock::duration waited) {
  Clock::duration& left = MutableLinks().status_wait_left;
  if (left != Clock::duration::max()) left -= waited;
}

// Opens the socket, ties it to the server's address and port (so that only
// the server's datagrams are read, and a closed port shows as refused at
// once), and sends the query with its terminating NUL.
bool SendQuery(UniqueFd& udp, std::uint32_t port, const char* query) {
  udp.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (udp.get() < 0) return FailWithErrno();
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (::bind(udp.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    return FailWithErrno();
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(port));
  server.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(SettingValue(kSetServerIp)));
  if (::connect(udp.get(), reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
    return FailWithErrno();
  std::size_t length = std::strlen(query) + 1;
  if (::send(udp.get(), query, length, 0) != static_cast<ssize_t>(length)) return FailWithErrno();
  return true;
}

// Waits for the next datagram within what is left of the budget.
bool WaitForDatagram(int fd, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR || EndRequested()) return false;
  }
}

// What the server says about a segment at its end: every segment closes
// with "\queryid\Q.N" and the last one with "\final\" behind it.
struct SegmentTrailer {
  long number = -1;  // N of the queryid; -1 when the key or its '.' is missing
  bool final = false;
};

// The "final" pair is read from the segment's end; the queryid is the
// segment's last one that stands as a key. So a name holding backslashes,
// or called "queryid" or "final", shifts nothing and passes for nothing.
SegmentTrailer ReadTrailer(std::string_view segment) {
  SegmentTrailer trailer;
  std::size_t cut = segment.rfind('\\');
  if (cut != std::string_view::npos) {
    std::size_t key = cut == 0 ? std::string_view::npos : segment.rfind('\\', cut - 1);
    std::size_t start = key == std::string_view::npos ? 0 : key + 1;
    if (segment.substr(start, cut - start) == "final") {
      trailer.final = true;
      segment = segment.substr(0, key == std::string_view::npos ? 0 : key);
    }
  }
  std::optional<std::string_view> id = StatusReportIndex(segment).Get("queryid");
  std::size_t dot = id ? id->find('.') : std::string_view::npos;
  if (dot != std::string_view::npos) trailer.number = ParseLong(id->substr(dot + 1));
  return trailer;
}

void AppendStatusLog(const std::string& report) {
  std::FILE* file = std::fopen("status.log", "ab");
  if (file == nullptr) return;
  std::time_t now = ClockNow();
  struct tm local;
  localtime_r(&now, &local);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%F %H:%M:%S", &local);
  std::fprintf(file, "%s : [%s]\n", stamp, report.c_str());
  std::fclose(file);
}

// Outcome of collecting the segments of one reply.
enum class Collect { kDone, kTimedOut, kFailed };

Collect CollectSegments(int fd, std::string& report, bool* final, Clock::duration budget) {
  auto deadline = Clock::now() + budget;
  long segments = 0;
  char buffer[kStatusReportMax + 1];
  for (;;) {
    if (!WaitForDatagram(fd, deadline)) return segments == 0 ? Collect::kTimedOut : Collect::kDone;
    if (report.size() >= kStatusReportMax) {
      LogMessage(6, "DEBUG: Status report exceeds maximum allowed size!");
      return Collect::kDone;
    }
    ssize_t got = ::recv(fd, buffer, kStatusReportMax - report.size(), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (got <= 0) {
      SetLastError(got == 0 ? ETIMEDOUT : errno);
      return Collect::kFailed;
    }
    // A segment is text: anything behind a NUL is not part of it.
    std::string_view segment(buffer, static_cast<std::size_t>(got));
    segment = segment.substr(0, segment.find('\0'));
    SegmentTrailer trailer = ReadTrailer(segment);
    long number = trailer.number;
    if (number < 0) {
      LogMessage(6, "Couldn't get server status! Segment did not contain a queryid.");
      SetLastError(0);
      return Collect::kFailed;
    }
    if (number != ++segments) {
      LogMessage(6, "Couldn't get server status! Segment missing or out of order.");
      SetLastError(0);
      return Collect::kFailed;
    }
    report.append(segment);
    if (trailer.final) {
      *final = true;
      return Collect::kDone;
    }
  }
}

// True when the port answers "\info\" with the game port as "hostport";
// `answered` tells whether a report came back at all.
bool PortServesGame(std::uint32_t port, const std::string& expected, bool* answered) {
  std::optional<std::string> report = StatusQuery(port, "\\info\\");
  *answered = report.has_value();
  if (!report) return false;
  std::optional<std::string> host = StatusValue(*report, "hostport");
  return host && ::strcasecmp(host->c_str(), expected.c_str()) == 0;
}

}  // namespace

std::optional<std::string> StatusQuery(std::uint32_t port, const char* query) {
  std::string& report = MutableLinks().status_report;
  if (port == 0 || port > 65535 || query == nullptr) {
    SetLastError(EINVAL);
    return std::nullopt;
  }
  if (!PassHasWaitLeft()) {
    SetLastError(ETIMEDOUT);
    return std::nullopt;
  }
  UniqueFd udp;
  if (!SendQuery(udp, port, query)) return std::nullopt;
  report.clear();
  bool final = false;
  const Clock::time_point started = Clock::now();
  Collect collected = CollectSegments(udp.get(), report, &final,
                                      std::min(kReplyBudget, Links().status_wait_left));
  SpendPassWait(Clock::now() - started);
  switch (collected) {
    case Collect::kFailed:
      return std::nullopt;
    case Collect::kTimedOut:
      SetLastError(ETIMEDOUT);
      return std::nullopt;
    case Collect::kDone:
      break;
  }
  if (Core().status_log) AppendStatusLog(report);
  SetLastError(0);
  if (!final) {
    LogMessage(6, "Couldn't get server status! Response did not contain a final segment.");
    return std::nullopt;
  }
  return report;
}

void StartStatusPass() { MutableLinks().status_wait_left = kReplyBudget; }

bool IdentifyStatusPort() {
  const bool debug = Core().debug;
  std::string expected = std::to_string(static_cast<std::uint32_t>(SettingValue(kSetServerPort)));
  std::vector<std::uint32_t> ports = {static_cast<std::uint32_t>(
      SettingValue(SettingValue(kSetServerInternet) == 1 ? kSetGameSpyPort : kSetGameSpyLanPort))};
  for (const auto& range : kProbeRanges) {
    for (std::uint32_t port = range[0]; port <= range[1]; ++port) ports.push_back(port);
  }
  LinksState& links = MutableLinks();
  std::uint32_t found = 0;
  std::size_t i = links.probe_resume < ports.size() ? links.probe_resume : 0;
  for (; i < ports.size() && found == 0; ++i) {
    if (!PassHasWaitLeft()) {
      links.probe_resume = i;  // the next connect goes on from here
      return false;
    }
    const int port = static_cast<int>(ports[i]);
    if (debug && i == 0) LogMessage(6, "DEBUG: Testing configured port (%i)...", port);
    if (debug && i > 0) LogMessage(6, "DEBUG: Testing status port %i ...", port);
    bool answered = false;
    if (PortServesGame(ports[i], expected, &answered)) {
      found = ports[i];
    } else if (i == 0 && answered && debug) {
      LogMessage(6, "DEBUG: Server is not using the configured status port! (%i).", port);
    }
  }
  links.probe_resume = 0;
  if (found == 0) return false;
  links.status_port = found;
  if (debug) LogMessage(6, "DEBUG: Identified server status port (%i).", static_cast<int>(found));
  return true;
}
