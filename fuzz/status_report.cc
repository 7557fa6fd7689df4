// Status datagrams as the status query collects them (segments with their
// query ids, "final" on the last), then the report's lookups: its values,
// the settings it carries and the current map's text.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "content/map_text.h"
#include "wire/status_report.h"
#include "links/settings_sync.h"
#include "links/status_query.h"

namespace {

int g_responder = -1;
std::uint32_t g_port = 0;

void OpenResponder() {
  g_responder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(g_responder, reinterpret_cast<sockaddr*>(&address), length) != 0) std::abort();
  ::getsockname(g_responder, reinterpret_cast<sockaddr*>(&address), &length);
  g_port = ntohs(address.sin_port);
}

// Waits for the query, answers with the datagrams and an empty datagram
// that ends the collection at once when no final segment came.
void Answer(const std::vector<std::string>& datagrams) {
  char query[256];
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (::recvfrom(g_responder, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&peer),
                 &length) < 0)
    return;
  for (const std::string& datagram : datagrams)
    ::sendto(g_responder, datagram.data(), datagram.size(), 0,
             reinterpret_cast<sockaddr*>(&peer), length);
  ::sendto(g_responder, "", 0, 0, reinterpret_cast<sockaddr*>(&peer), length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (g_responder < 0) OpenResponder();
  korvfuzz::ResetState();
  Setting(kSetServerIp).value = static_cast<std::int32_t>(INADDR_LOOPBACK);
  FuzzedDataProvider input(data, size);
  bool running = input.ConsumeBool();
  std::vector<std::string> datagrams;
  while (input.remaining_bytes() > 0 && datagrams.size() < 16)
    datagrams.push_back(input.ConsumeRandomLengthString(4096));
  std::thread responder(Answer, datagrams);
  std::optional<std::string> report = StatusQuery(g_port, "\\status\\");
  responder.join();
  if (!report) return 0;
  for (const char* key : {"hostport", "mapname", "gametype", "numplayers", "player_0"})
    StatusValue(*report, key);
  StatusReportIndex index(*report);
  for (const char* key : {"hostname", "playername_0", "ping_1", "queryid", "final"}) {
    std::optional<std::string_view> value = index.Get(key);
    // A value is text of the report itself, never longer than the cap.
    if (value && !value->empty() &&
        (value->size() > 1023 || value->data() < report->data() ||
         value->data() + value->size() > report->data() + report->size()))
      std::abort();
  }
  g_manager.server.server_running = running;
  SyncSettingsFromServer(*report);
  CurrentMapText(true, *report);
  CurrentMapText(false, *report);
  return 0;
}
