// The tests' own wire kit, written from the protocol alone so no codec fault hides; header-only.
#pragma once

#include <arpa/inet.h>
#include <lzo/lzo1x.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol.h"

namespace korvclient {

inline std::string& Key() {
  static std::string key;
  return key;
}

inline bool LoadKey(const std::string& path) {
  lzo_init();
  std::ifstream in(path, std::ios::binary);
  Key().assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return Key().size() == 1024;
}

// Textbook RC4 (key schedule over the key repeated, then the generator).
inline std::string Rc4(std::string data, const std::string& key) {
  unsigned char s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<unsigned char>(i);
  for (int i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + static_cast<unsigned char>(key[i % key.size()])) & 0xFF;
    std::swap(s[i], s[j]);
  }
  for (std::size_t n = 0, i = 0, j = 0; n < data.size(); ++n) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    data[n] = static_cast<char>(data[n] ^ s[(s[i] + s[j]) & 0xFF]);
  }
  return data;
}

inline std::string U32(std::uint32_t v) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

inline std::uint32_t GetU32(const std::string& bytes, std::size_t at = 0) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

// A user name or password block: the text zero-padded to 32 bytes, RC4.
inline std::string Block(const std::string& text, const std::string& key = Key()) {
  std::string block(32, '\0');
  std::memcpy(block.data(), text.data(), std::min<std::size_t>(text.size(), 32));
  return Rc4(block, key);
}

inline std::uint32_t Adler32(const std::string& data) {
  return lzo_adler32(lzo_adler32(0, nullptr, 0),
                     reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

// Plain length, packed length, Adler-32 of the packed bytes, LZO1X-1 data; empty: bare 0.
inline std::string Frame(const std::string& plain) {
  if (plain.empty()) return U32(0);
  std::vector<unsigned char> packed(plain.size() + plain.size() / 16 + 64 + 3);
  std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
  lzo_uint length = packed.size();
  lzo1x_1_compress(reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                   packed.data(), &length, work.data());
  std::string data(reinterpret_cast<const char*>(packed.data()), length);
  return U32(static_cast<std::uint32_t>(plain.size())) +
         U32(static_cast<std::uint32_t>(data.size())) + U32(Adler32(data)) + data;
}

inline std::optional<std::string> Unpack(const std::string& packed, std::size_t plain_length) {
  std::string plain(plain_length, '\0');
  lzo_uint out = plain_length;
  if (lzo1x_decompress_safe(reinterpret_cast<const unsigned char*>(packed.data()), packed.size(),
                            reinterpret_cast<unsigned char*>(plain.data()), &out,
                            nullptr) != LZO_E_OK || out != plain_length)
    return std::nullopt;
  return plain;
}

// The console's packet: the count, then per string its length with the zero, bytes, zero.
inline std::string ConsolePacket(const std::vector<std::string>& strings) {
  std::string out = U32(static_cast<std::uint32_t>(strings.size()));
  for (const std::string& s : strings)
    out += U32(static_cast<std::uint32_t>(s.size() + 1)) + s + '\0';
  return out;
}

// Notification 0xBEEF0000 + n, with a zero-terminated text when given.
inline std::string Notice(std::uint32_t n, const std::optional<std::string>& text = std::nullopt) {
  if (!text) return U32(0xBEEF0000 + n) + U32(0);
  return U32(0xBEEF0000 + n) + U32(static_cast<std::uint32_t>(text->size() + 1)) + *text +
         std::string(1, '\0');
}

struct LoginReply {
  int result = -1;            // -1 when the connection failed first
  std::uint32_t access = 0;
  int version = -1;
  int running = -1;
  bool closed_after = false;  // the daemon hung up at the end
};

struct Notification {
  std::uint32_t code = 0;
  std::string data;  // including the terminating zero when there is a text
};

class Client {
 public:
  Client() = default;
  ~Client() { Close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // From `source` (another loopback address such as 127.0.0.2) when given.
  bool Connect(int port, int timeout_seconds = 10, const char* source = nullptr) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{timeout_seconds, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (source != nullptr && (::inet_pton(AF_INET, source, &address.sin_addr) != 1 ||
                              ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0))
      return false;
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }

  // Takes over an accepted connection (the scripted daemon's side).
  void Adopt(int fd, int timeout_seconds = 10) {
    fd_ = fd;
    timeval tv{timeout_seconds, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd() const { return fd_; }
  const std::string& received() const { return received_; }

  bool Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Exactly n bytes, or none on a close or timeout.
  std::optional<std::string> Receive(std::size_t n) {
    std::string out(n, '\0');
    std::size_t done = 0;
    while (done < n) {
      ssize_t got = ::recv(fd_, out.data() + done, n - done, 0);
      if (got <= 0) return std::nullopt;
      done += static_cast<std::size_t>(got);
    }
    received_ += out;
    return out;
  }

  std::optional<std::uint32_t> ReceiveU32() {
    auto bytes = Receive(4);
    if (!bytes) return std::nullopt;
    return GetU32(*bytes);
  }

  // True when the peer closed: at once, or with `drain` after what it still sends.
  bool WaitClosed(bool drain = false) {
    char byte;
    ssize_t got;
    while ((got = ::recv(fd_, &byte, 1, 0)) > 0 && drain) received_ += byte;
    return got == 0;
  }

  LoginReply Login(const std::string& user, const std::string& password,
                   unsigned char version = 0x20) {
    LoginReply reply;
    if (!Send(Block(user) + Block(password))) return reply;
    auto result = Receive(1);
    if (!result) return reply;
    reply.result = static_cast<unsigned char>((*result)[0]);
    if (reply.result != 0) {
      reply.closed_after = WaitClosed();
      return reply;
    }
    auto rest = Receive(5);
    if (!rest) return reply;
    reply.access = GetU32(*rest);
    reply.version = static_cast<unsigned char>((*rest)[4]);
    Send(std::string(1, static_cast<char>(version)));
    if (version != 0x20) {
      reply.closed_after = WaitClosed();
      return reply;
    }
    auto running = Receive(1);
    if (running) reply.running = static_cast<unsigned char>((*running)[0]);
    return reply;
  }

  bool Command(std::uint32_t code) { return Send(U32(code)); }

  bool CommandText(std::uint32_t code, const std::string& text, bool with_zero = true) {
    std::string body = text;
    if (with_zero) body.push_back('\0');
    return Send(U32(code) + U32(static_cast<std::uint32_t>(body.size())) + body);
  }

  std::optional<Notification> ReadNotification() {
    auto code = ReceiveU32();
    if (!code) return std::nullopt;
    auto length = ReceiveU32();
    if (!length || *length > (1u << 20)) return std::nullopt;
    auto data = Receive(*length);
    if (!data) return std::nullopt;
    return Notification{*code, *data};
  }

  // Notifications until one with `code` arrives; none on a timeout.
  std::optional<Notification> WaitNotification(std::uint32_t code) {
    for (;;) {
      auto n = ReadNotification();
      if (!n || n->code == code) return n;
    }
  }

  std::optional<std::string> ReadReply() {
    auto length = ReceiveU32();
    if (!length || *length > (1u << 20)) return std::nullopt;
    return Receive(*length);
  }

  // A file frame; none for an abort marker or a broken frame.
  std::optional<std::string> ReadFrame() {
    auto plain = ReceiveU32();
    if (!plain || *plain == 0xBEEFBABE) return std::nullopt;
    if (*plain == 0) return std::string();
    auto packed_length = ReceiveU32();
    auto checksum = ReceiveU32();
    if (!packed_length || !checksum) return std::nullopt;
    auto packed = Receive(*packed_length);
    if (!packed || Adler32(*packed) != *checksum) return std::nullopt;
    return Unpack(*packed, *plain);
  }

  bool SendFrame(const std::string& data) { return Send(Frame(data)); }

  // The "a.b.c.d:port" text the daemon gives this client.
  std::string Address() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    char ip[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &local.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(local.sin_port));
  }

  // A keep-alive answered next (exact) or after other notices (!exact).
  bool KeepAlive(bool exact = true) {
    Command(kClientKeepAlive);
    if (exact) return Receive(8) == U32(0xBEEF002E) + U32(0);
    auto n = WaitNotification(0xBEEF002E);
    return n && n->data.empty();
  }

 private:
  int fd_ = -1;
  std::string received_;
};

}  // namespace korvclient
