// The UDP status port: answers "\status\" and "\info\" queries with
// backslash-separated keys and values in one or more datagrams.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "game.h"

namespace gamesim {

// Splits the pairs into datagrams of at most `segment_size` payload bytes
// (a pair never straddles two), each ending with "\queryid\Q.N", the last
// also with "\final\". The faults can reorder them or leave out "final".
std::vector<std::string> BuildSegments(const StatusPairs& pairs, int query_number,
                                       std::size_t segment_size, const Faults& faults);

// The pairs a query asks for, or false for a query the port ignores.
bool PairsForQuery(std::string_view query, const Game& game, StatusPairs* pairs);

class StatusResponder {
 public:
  StatusResponder() = default;
  ~StatusResponder();
  StatusResponder(const StatusResponder&) = delete;
  StatusResponder& operator=(const StatusResponder&) = delete;

  // Binds address:port (host order, 0 = any); false with errno set.
  bool Open(std::uint32_t address, int port);
  int fd() const { return fd_; }
  // Answers every query waiting on the socket.
  void Handle(const Game& game);
  void Close();

 private:
  int fd_ = -1;
  int query_number_ = 0;
};

}  // namespace gamesim
