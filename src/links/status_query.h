// The game server's UDP status port: one query and its reassembled reply,
// finding the port the server answers on, and looking keys up in a reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Sends `query` ("\status\" or "\info\") to the server's address at `port`
// and collects the reply segments for at most 2 seconds in all, and no
// longer than the pass has left (a query asked for when the pass has
// nothing left is not sent). The report (also kept in
// Links().status_report) or none with the last error set: 22 bad
// arguments, errno for socket failures, 110 for a timeout, an empty
// datagram or a spent pass, 0 for the protocol faults logged here.
std::optional<std::string> StatusQuery(std::uint32_t port, const char* query);

// Starts a pass of the main loop: the status queries of one pass wait 2
// seconds in all, so a server that answers slowly or without its final
// segment cannot hold the loop for several waits; what is left over waits
// for the next pass.
void StartStatusPass();

// Finds the port whose "hostport" is the configured game port: the
// configured status port first, then 23000-23009 and 22000-22010. True
// when Links().status_port is set afterwards. When the pass has no waiting
// left, the search stops and the next call goes on from that port.
bool IdentifyStatusPort();
// Reports are read with StatusValue and StatusReportIndex (wire/status_report.h).
