// The game server's UDP status port: one query and its reassembled reply,
// finding the port the server answers on, and looking keys up in a reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Sends `query` ("\status\" or "\info\") to the server's address at `port`
// and collects the reply segments for at most 2 seconds in all. The report
// (also kept in Links().status_report) or none with the last error
// set: 22 bad arguments, errno for socket failures, 110 for a timeout or an
// empty datagram, 0 for the protocol faults logged here.
std::optional<std::string> StatusQuery(std::uint32_t port, const char* query);

// Finds the port whose "hostport" is the configured game port: the
// configured status port first, then 23000-23009 and 22000-22010. True
// when Links().status_port is set afterwards.
bool IdentifyStatusPort();
// Reports are read with StatusValue and TakeStatusField (core/helpers.h).
