// Queries are answered in the order they arrive; each answer carries a new
// query number so that a client can tell replies apart.
#include "status_responder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace gamesim {

std::vector<std::string> BuildSegments(const StatusPairs& pairs, int query_number,
                                       std::size_t segment_size, const Faults& faults) {
  std::vector<std::string> bodies(1);
  for (const auto& [key, value] : pairs) {
    std::string piece = "\\" + key + "\\" + value;
    if (!bodies.back().empty() && bodies.back().size() + piece.size() > segment_size) bodies.emplace_back();
    bodies.back() += piece;
  }
  std::vector<std::string> segments;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    std::size_t number = i + 1;
    if (faults.status_out_of_order && bodies.size() == 1) number = 2;
    std::string segment = bodies[i] + "\\queryid\\" + std::to_string(query_number) + "." +
                          std::to_string(number);
    if (i + 1 == bodies.size() && !faults.status_no_final) segment += "\\final\\";
    segments.push_back(segment);
  }
  if (faults.status_out_of_order) std::reverse(segments.begin(), segments.end());
  return segments;
}

bool PairsForQuery(std::string_view query, const Game& game, StatusPairs* pairs) {
  while (!query.empty() && query.back() == '\0') query.remove_suffix(1);
  if (query == "\\status\\" || query == "\\players\\") {
    *pairs = game.Status(true);
  } else if (query == "\\info\\" || query == "\\basic\\" || query == "\\rules\\") {
    *pairs = game.Status(false);
  } else {
    return false;
  }
  return true;
}

StatusResponder::~StatusResponder() { Close(); }

bool StatusResponder::Open(std::uint32_t address, int port) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd_ < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(address);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int saved = errno;
    Close();
    errno = saved;
    return false;
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  return true;
}

void StatusResponder::Handle(const Game& game) {
  for (int budget = 0; budget < 64; ++budget) {
    char buffer[2048];
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                           &from_length);
    if (n < 0) return;
    StatusPairs pairs;
    if (game.faults().silent_status || !PairsForQuery(std::string_view(buffer, n), game, &pairs)) continue;
    if (++query_number_ > 999999) query_number_ = 1;
    std::size_t size = static_cast<std::size_t>(std::max(64, game.segment_size()));
    for (const std::string& segment : BuildSegments(pairs, query_number_, size, game.faults())) {
      ::sendto(fd_, segment.data(), segment.size(), 0, reinterpret_cast<sockaddr*>(&from), from_length);
    }
  }
}

void StatusResponder::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace gamesim
