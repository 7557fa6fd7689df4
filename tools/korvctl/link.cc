// The client's connection to the daemon, with a deadline on every wait.
#include "link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/last_error.h"
#include "wire/file_frame.h"
#include "wire/span_reader.h"

namespace korvctl {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for `events`; 1 ready, 0 timed out, -1 error. wait_ms < 0 waits
// without end.
int WaitFor(int fd, short events, int wait_ms) {
  pollfd entry{fd, events, 0};
  for (;;) {
    int ready = ::poll(&entry, 1, wait_ms);
    if (ready < 0 && errno == EINTR) return -2;
    return ready > 0 ? 1 : ready;
  }
}

std::string LoginRefusal(int result) {
  switch (result) {
    case kLoginBadUser: return "login refused: no account has this user name. " + ErrorText(30003);
    case kLoginBadPassword: return "login refused: wrong password. " + ErrorText(30004);
    case kLoginDisabled: return "login refused: the account is disabled. " + ErrorText(30005);
    case kLoginNoAccess:
      return "login refused: the account has no access rights at all (access mask 0).";
    case kLoginNoAccounts:
      return "login refused: the daemon has no usable user account, so no remote access is "
             "permitted. " + ErrorText(30006);
    case kLoginAlreadyConnected:
      return "login refused: this account is already connected and may not log in twice.";
    case kLoginServerFull:
      return "login refused: the daemon already serves its maximum of 16 clients.";
    default: return "";
  }
}

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n') c = ' ';
  return text;
}

}  // namespace

Link::~Link() { Close(); }

void Link::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Link::Fail(int status, std::string message) {
  failure_.status = status;
  failure_.message = std::move(message);
  return false;
}

bool Link::Connect(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    return Fail(kExitConnection, "cannot resolve the host " + host);
  sockaddr_in address = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
  ::freeaddrinfo(found);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  std::string where = host + ":" + std::to_string(port);
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return Fail(kExitConnection, std::string("cannot make a socket: ") + strerror(errno));
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS)
      return Fail(kExitConnection, "cannot connect to " + where + ": " + strerror(errno));
    int ready = WaitFor(fd_, POLLOUT, timeout_ms_);
    if (ready == 0) return Fail(kExitTimeout, "no answer from " + where + " within the timeout");
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (ready < 0 || error != 0)
      return Fail(kExitConnection,
                  "cannot connect to " + where + ": " + strerror(error ? error : errno));
  }
  return true;
}

bool Link::Send(const std::string& bytes) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      return Fail(kExitConnection,
                  std::string("the connection to the daemon broke: ") + strerror(errno));
    int left = MsLeft(deadline);
    if (left == 0 || WaitFor(fd_, POLLOUT, left) == 0)
      return Fail(kExitTimeout, "the daemon stopped taking data (timed out)");
  }
  return true;
}

bool Link::ReadExact(std::size_t length, std::string* out, int wait_ms) {
  out->clear();
  auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms < 0 ? 0 : wait_ms);
  char chunk[16384];
  while (out->size() < length) {
    std::size_t want = std::min(sizeof chunk, length - out->size());
    ssize_t got = ::recv(fd_, chunk, want, 0);
    if (got > 0) {
      out->append(chunk, static_cast<std::size_t>(got));
      continue;
    }
    if (got == 0) return Fail(kExitConnection, "the daemon closed the connection");
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      return Fail(kExitConnection,
                  std::string("the connection to the daemon broke: ") + strerror(errno));
    int ready = WaitFor(fd_, POLLIN, wait_ms < 0 ? -1 : MsLeft(deadline));
    if (ready == -2) return Fail(kExitOk, "interrupted");
    if (ready == 0) return Fail(kExitTimeout, "no answer from the daemon within the timeout");
  }
  return true;
}

bool Link::ReadU32(std::uint32_t* value, int wait_ms) {
  std::string bytes;
  if (!ReadExact(4, &bytes, wait_ms)) return false;
  SpanReader reader(bytes);
  return reader.GetU32(value);
}

bool Link::Login(const std::string& user, const std::string& password) {
  std::optional<std::string> user_block = LoginBlock(user);
  std::optional<std::string> password_block = LoginBlock(password);
  if (!user_block) return Fail(kExitUsage, "the user name is longer than 31 characters");
  if (!password_block) return Fail(kExitUsage, "the password is longer than 31 characters");
  if (!Send(*user_block + *password_block)) return false;
  std::string byte;
  if (!ReadExact(1, &byte, timeout_ms_)) {
    if (failure_.status == kExitConnection)
      return Fail(kExitBadAnswer, OneLine(ErrorText(30002)));
    return false;
  }
  int result = static_cast<unsigned char>(byte[0]);
  if (result > kLoginServerFull) return Fail(kExitBadAnswer, OneLine(ErrorText(30002)));
  if (result != kLoginAccepted) return Fail(kExitLoginBase + result, LoginRefusal(result));
  std::string version;
  if (!ReadU32(&access_, timeout_ms_) || !ReadExact(1, &version, timeout_ms_))
    return Fail(failure_.status == kExitTimeout ? kExitTimeout : kExitProtocol,
                OneLine(ErrorText(30007)) + " (" + failure_.message + ")");
  if (static_cast<unsigned char>(version[0]) != kProtocolVersion) {
    char text[64];
    std::snprintf(text, sizeof text, " (the daemon speaks version 0x%02X, korvctl 0x%02X)",
                  static_cast<unsigned char>(version[0]), kProtocolVersion);
    std::string own(1, static_cast<char>(kProtocolVersion));
    Send(own);  // tells the daemon why we leave
    return Fail(kExitVersion, OneLine(ErrorText(30001)) + text);
  }
  std::string running;
  if (!Send(std::string(1, static_cast<char>(kProtocolVersion))) ||
      !ReadExact(1, &running, timeout_ms_))
    return Fail(failure_.status == kExitTimeout ? kExitTimeout : kExitProtocol,
                OneLine(ErrorText(30007)) + " (" + failure_.message + ")");
  server_running_ = running[0] != 0;
  return true;
}

bool Link::ReadNoticeBody(std::uint32_t code, Notice* notice) {
  std::uint32_t length = 0;
  notice->code = code;
  if (!ReadU32(&length, timeout_ms_)) return false;
  if (length > kMaxNoticeData)
    return Fail(kExitProtocol, "the daemon announced a notification of " +
                                   std::to_string(length) + " bytes, more than korvctl accepts");
  std::string data;
  if (!ReadExact(length, &data, timeout_ms_)) return false;
  notice->has_data = length != 0;
  notice->text = data.substr(0, data.find('\0'));
  return true;
}

bool Link::ReadNotice(Notice* notice, int wait_ms) {
  if (!pending_.empty()) {
    *notice = pending_.front();
    pending_.pop_front();
    return true;
  }
  std::uint32_t code = 0;
  if (!ReadU32(&code, wait_ms)) return false;
  if (code < kNotifyBase || code > kNotifyBase + 0xFF) {
    char text[96];
    std::snprintf(text, sizeof text, "the daemon sent %08X where a notification belongs", code);
    return Fail(kExitProtocol, text);
  }
  return ReadNoticeBody(code, notice);
}

bool Link::ReadLength(std::uint32_t* value) {
  for (;;) {
    if (!ReadU32(value, timeout_ms_)) return false;
    // No reply or file korvctl accepts comes near 0xBEEF0000 bytes, so a
    // number in the notification range is a notification sent before it.
    if (*value < kNotifyBase || *value > kNotifyBase + 0xFF) return true;
    Notice notice;
    if (!ReadNoticeBody(*value, &notice)) return false;
    if (notice.code == kNotifyDisconnect)
      return Fail(kExitConnection, "the daemon disconnected this client");
    pending_.push_back(notice);
  }
}

bool Link::ReadReply(std::string* text) {
  std::uint32_t length = 0;
  if (!ReadLength(&length)) return false;
  if (length > kMaxReply)
    return Fail(kExitProtocol, "the daemon announced a reply of " + std::to_string(length) +
                                   " bytes, more than korvctl accepts");
  if (!ReadExact(length, text, timeout_ms_)) return false;
  *text = text->substr(0, text->find('\0'));
  return true;
}

bool Link::ReadFrame(std::string* plain) {
  plain->clear();
  std::uint32_t plain_length = 0;
  if (!ReadLength(&plain_length)) return false;
  if (plain_length == 0) return true;
  if (plain_length == kFrameAbort)
    return Fail(kExitFailed, "the daemon could not send the file (it aborted the transfer)");
  FrameHeader header;
  header.plain_length = plain_length;
  if (!ReadU32(&header.packed_length, timeout_ms_) || !ReadU32(&header.checksum, timeout_ms_))
    return false;
  if (!FrameLengthsFit(plain_length, header.packed_length))
    return Fail(kExitProtocol, "the daemon announced a file frame of impossible size (" +
                                   std::to_string(plain_length) + " bytes, " +
                                   std::to_string(header.packed_length) + " packed)");
  std::string packed;
  if (!ReadExact(header.packed_length, &packed, timeout_ms_)) return false;
  switch (UnpackFrameText(header, packed, plain)) {
    case FrameFault::kNone: return true;
    case FrameFault::kChecksum:
      return Fail(kExitProtocol, "the file frame's checksum does not match its data");
    case FrameFault::kData:
      return Fail(kExitProtocol, "the file frame's data does not unpack to its announced length");
  }
  return false;
}

}  // namespace korvctl
