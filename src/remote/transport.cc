// SendAll/ReceiveAll and the LZO file frame.
#include "remote/transport.h"

#include <arpa/inet.h>
#include <lzo/lzo1x.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/helpers.h"
#include "core/log.h"

namespace {

constexpr int kWaitSeconds = 2;
constexpr int kMaxIdleWaits = 3;
constexpr std::size_t kWorkMemory = 65536;

// Waits for the socket to be ready; 1 ready, 0 timed out, -1 error.
int WaitReady(int socket, bool for_write) {
  if (socket < 0 || socket >= FD_SETSIZE) {
    errno = EBADF;
    return -1;
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  timeval timeout{kWaitSeconds, 0};
  int ready = for_write ? ::select(socket + 1, nullptr, &set, nullptr, &timeout)
                        : ::select(socket + 1, &set, nullptr, nullptr, &timeout);
  if (ready < 0 && errno == EINTR) return 1;  // try the transfer again
  return ready;
}

// The loop shared by both directions.
template <typename Transfer>
bool TransferAll(int socket, std::size_t length, bool for_write, Transfer transfer) {
  std::size_t done = 0;
  int waits = 0;
  while (done < length) {
    ssize_t got = transfer(done);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
      waits = 0;
      continue;
    }
    if (got == 0) {
      SetLastError(ECONNRESET);
      return false;
    }
    SetLastError(errno);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    int ready = WaitReady(socket, for_write);
    if (ready == 0) {
      SetLastError(ETIMEDOUT);
      return false;
    }
    if (ready != 1) {
      SetLastError(errno);
      return false;
    }
    if (++waits > kMaxIdleWaits) {
      SetLastError(EAGAIN);
      return false;
    }
  }
  return true;
}

std::string PeerAddress(int socket, bool* ok) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  *ok = ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
  if (!*ok) return "0.0.0.0";
  return FormatDottedIp(ntohl(peer.sin_addr.s_addr));
}

std::uint32_t Adler(const unsigned char* data, std::size_t length) {
  lzo_uint32_t sum = lzo_adler32(0, nullptr, 0);
  return lzo_adler32(sum, data, static_cast<lzo_uint>(length));
}

void PutU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Compresses `plain` with LZO1X-1; false on a compression error.
bool Compress(const std::string& plain, std::vector<unsigned char>* out) {
  out->assign(plain.size() + plain.size() / 64 + 19, 0);
  std::vector<unsigned char> work(kWorkMemory);
  lzo_uint out_length = out->size();
  int result = lzo1x_1_compress(reinterpret_cast<const unsigned char*>(plain.data()),
                                plain.size(), out->data(), &out_length, work.data());
  if (result != LZO_E_OK) return false;
  out->resize(out_length);
  return true;
}

bool FailSend(const std::string& path, const std::string& peer) {
  LogMessage(6, "Couldn't send %s to peer at %s! %s", path.c_str(), peer.c_str(),
             ErrorText(LastError()).c_str());
  return false;
}

bool FailReceive(const std::string& path, const std::string& peer) {
  LogMessage(6, "Couldn't receive %s from peer at %s! %s", path.c_str(), peer.c_str(),
             ErrorText(LastError()).c_str());
  return false;
}

void SendAbort(int socket) {
  int saved = LastError();
  SendU32(socket, kFrameAbort);
  SetLastError(saved);
}

}  // namespace

bool SendAll(int socket, const void* buffer, std::size_t length) {
  if (length == 0) return true;
  if (buffer == nullptr) {
    SetLastError(EINVAL);
    return false;
  }
  const char* bytes = static_cast<const char*>(buffer);
  return TransferAll(socket, length, true, [&](std::size_t done) {
    return ::send(socket, bytes + done, length - done, MSG_NOSIGNAL);
  });
}

bool ReceiveAll(int socket, void* buffer, std::size_t length) {
  if (buffer == nullptr) {
    SetLastError(EINVAL);
    return false;
  }
  if (length == 0) return true;
  char* bytes = static_cast<char*>(buffer);
  return TransferAll(socket, length, false, [&](std::size_t done) {
    return ::recv(socket, bytes + done, length - done, 0);
  });
}

bool SendU32(int socket, std::uint32_t value) {
  unsigned char bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  return SendAll(socket, bytes, 4);
}

bool ReceiveU32(int socket, std::uint32_t* value) {
  unsigned char bytes[4];
  if (!ReceiveAll(socket, bytes, 4)) return false;
  *value = static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
  return true;
}

std::string EncodeFrame(const std::string& data) {
  std::string out;
  if (data.empty()) {
    PutU32(out, 0);
    return out;
  }
  std::vector<unsigned char> packed;
  if (!Compress(data, &packed)) {
    PutU32(out, kFrameAbort);
    return out;
  }
  PutU32(out, static_cast<std::uint32_t>(data.size()));
  PutU32(out, static_cast<std::uint32_t>(packed.size()));
  PutU32(out, Adler(packed.data(), packed.size()));
  out.append(reinterpret_cast<const char*>(packed.data()), packed.size());
  return out;
}

bool SendFile(const std::string& path, int socket) {
  bool have_peer = false;
  std::string peer = PeerAddress(socket, &have_peer);
  if (!have_peer) {
    SetLastError(errno);
    SendAbort(socket);
    return FailSend(path, peer);
  }
  std::optional<std::string> plain = ReadWholeFile(path, kFrameMaxPlain);
  if (!plain) {
    SendAbort(socket);
    return FailSend(path, peer);
  }
  if (plain->empty()) {
    SetLastError(0);
    return SendU32(socket, 0) || FailSend(path, peer);
  }
  std::string frame = EncodeFrame(*plain);
  if (frame.size() == 4) {
    SetLastError(kErrFrame12);
    SendAbort(socket);
    return FailSend(path, peer);
  }
  if (!SendAll(socket, frame.data(), frame.size())) return FailSend(path, peer);
  return true;
}

bool ReceiveFile(const std::string& path, int socket) {
  bool have_peer = false;
  std::string peer = PeerAddress(socket, &have_peer);
  if (!have_peer) {
    SetLastError(errno);
    SendAbort(socket);
    return FailReceive(path, peer);
  }
  std::uint32_t plain_length = 0;
  if (!ReceiveU32(socket, &plain_length)) return FailReceive(path, peer);
  if (plain_length == kFrameAbort) {
    SetLastError(kErrFrame14);
    return FailReceive(path, peer);
  }
  if (plain_length == 0) {
    CreateFileWithDirs(path, 0);
    return ReplaceFileContents(path, "");
  }
  std::uint32_t packed_length = 0;
  std::uint32_t checksum = 0;
  if (!ReceiveU32(socket, &packed_length) || !ReceiveU32(socket, &checksum))
    return FailReceive(path, peer);
  // Absurd lengths are refused before any allocation: nothing this daemon
  // exchanges comes near them, and LZO never expands data beyond its bound.
  std::uint64_t worst = static_cast<std::uint64_t>(plain_length) + plain_length / 16 + 64 + 3;
  if (plain_length > kFrameMaxPlain || packed_length > worst) {
    SetLastError(ENOMEM);
    return FailReceive(path, peer);
  }
  std::vector<unsigned char> packed(packed_length);
  if (!ReceiveAll(socket, packed.data(), packed.size())) return FailReceive(path, peer);
  if (Adler(packed.data(), packed.size()) != checksum) {
    SetLastError(kErrFrame13);
    return FailReceive(path, peer);
  }
  std::string plain(plain_length, '\0');
  lzo_uint out_length = plain_length;
  int result = lzo1x_decompress_safe(packed.data(), packed.size(),
                                     reinterpret_cast<unsigned char*>(plain.data()), &out_length,
                                     nullptr);
  if (result != LZO_E_OK || out_length != plain_length) {
    SetLastError(kErrFrame12);
    return FailReceive(path, peer);
  }
  CreateFileWithDirs(path, 0);
  if (!ReplaceFileContents(path, plain)) return FailReceive(path, peer);
  return true;
}
