// One connection to the daemon: connect and log in with deadlines, send
// commands, and read notifications, replies and file frames, never waiting
// longer than the timeout and never trusting an announced length.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "protocol.h"

namespace korvctl {

// Exit statuses; docs and --help list them.
enum ExitStatus : int {
  kExitOk = 0,
  kExitFailed = 1,
  kExitUsage = 2,
  kExitConnection = 3,
  kExitTimeout = 4,
  kExitProtocol = 5,
  kExitRefused = 6,
  kExitAlready = 7,
  kExitLoginBase = 10,  // 11 to 17: login results 1 to 7
  kExitVersion = 18,
  kExitBadAnswer = 19,
};

// The failure of the last operation: an exit status and a message in words.
struct Failure {
  int status = kExitOk;
  std::string message;
};

class Link {
 public:
  Link() = default;
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  void set_timeout_ms(int ms) { timeout_ms_ = ms; }
  int timeout_ms() const { return timeout_ms_; }
  const Failure& failure() const { return failure_; }
  std::uint32_t access() const { return access_; }
  bool server_running() const { return server_running_; }
  // The socket, for a caller that waits on several links at once; and
  // whether notifications read ahead of a reply are waiting.
  int fd() const { return fd_; }
  bool has_pending() const { return !pending_.empty(); }

  bool Connect(const std::string& host, int port);
  // The login handshake; on a refusal failure() explains it.
  bool Login(const std::string& user, const std::string& password);
  bool Send(const std::string& bytes);
  // Reads one notification; `wait_ms` < 0 waits for ever (watch), else at
  // most that long.
  bool ReadNotice(Notice* notice, int wait_ms);
  // Reads a 4-byte length and that much text (the reply commands).
  bool ReadReply(std::string* text);
  // Reads one file frame into memory.
  bool ReadFrame(std::string* plain);
  void Close();

 private:
  bool Fail(int status, std::string message);
  bool ReadExact(std::size_t length, std::string* out, int wait_ms);
  bool ReadU32(std::uint32_t* value, int wait_ms);
  // Reads the leading length of a reply or frame, setting aside any
  // notifications that the daemon sent before it.
  bool ReadLength(std::uint32_t* value);
  bool ReadNoticeBody(std::uint32_t code, Notice* notice);

  int fd_ = -1;
  int timeout_ms_ = 10000;
  std::uint32_t access_ = 0;
  bool server_running_ = false;
  Failure failure_;
  std::deque<Notice> pending_;
};

}  // namespace korvctl
