// Loopback ports for the process tests and the benchmarks.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <random>
#include <string>

namespace korvtest {

// A socket on 127.0.0.1:port (0: any), listening when TCP; -1 if the bind fails.
inline int BindLoopback(bool udp, int port, int* bound) {
  int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  if (!udp) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      (!udp && ::listen(fd, 4) != 0)) {
    ::close(fd);
    return -1;
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *bound = ntohs(address.sin_port);
  return fd;
}
// A TCP (or UDP with udp=true) port on 127.0.0.1 that was free a moment ago, and stays this
// process's alone: it lies below the kernel's ephemeral ports (32768 and up), which every
// outgoing connection and every bind to port 0 draws from, and a lock on
// /tmp/korvtest-ports/<port> keeps the other test processes, of any checkout, off it while this
// one lives. Above the game's fixed ports (23000 and down).
inline int FreePort(bool udp = false) {
  static std::minstd_rand random(static_cast<unsigned>(::getpid() ^ ::time(nullptr)));
  if (::mkdir("/tmp/korvtest-ports", 0777) == 0) ::chmod("/tmp/korvtest-ports", 01777);
  for (int tries = 0; tries < 2000; ++tries) {
    int port = 24000 + static_cast<int>(random() % 8000), bound = 0;
    int lock = ::open(("/tmp/korvtest-ports/" + std::to_string(port)).c_str(),
                      O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    bool locked = lock >= 0 && ::flock(lock, LOCK_EX | LOCK_NB) == 0;
    int probe = locked ? BindLoopback(udp, port, &bound) : -1;
    if (probe >= 0) {
      ::close(probe);
      return port;  // the lock is held until the process ends
    }
    if (lock >= 0) ::close(lock);
  }
  return 0;
}

}  // namespace korvtest
