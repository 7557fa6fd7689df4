// Process-test helpers: temporary directories, loopback ports, programs run by pid.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "free_port.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace korvtest {

std::string BuildPath(const std::string& program);
std::string SourcePath(const std::string& relative);

// A fresh directory under /tmp, removed with everything in it on scope exit.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The stand-in server notes its pid in standin.pids, which TempDir's clean-up ends.
inline constexpr char kStandInPids[] = "standin.pids";
inline constexpr char kStandInServer[] = "#!/bin/sh\necho $$ >> standin.pids\nexec sleep 1000000\n";

// The minimal server installation the daemon's start-up checks need.
void MakeServerDir(const std::string& dir);

// A child process with its output in a file; the destructor SIGKILLs and reaps it.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts argv in `work_dir` with stdout and stderr to `output_file`; false if fork failed.
  bool Start(const std::vector<std::string>& argv, const std::string& work_dir,
             const std::string& output_file);
  pid_t pid() const { return pid_; }
  bool running();
  void Signal(int signal);
  // The exit status, 128 + signal when killed, or -1 on timeout (still running).
  int Wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Runs a program to the end with its stdout in *output; returns its exit status.
int RunToEnd(const std::vector<std::string>& argv, const std::string& work_dir,
             std::string* output, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// korvctl logged in to 127.0.0.1:port as admin, then `words`.
inline std::vector<std::string> KorvctlArgv(int port, const std::vector<std::string>& words,
                                            const std::string& timeout = "10") {
  std::vector<std::string> argv{BuildPath("korvctl"), "-p", std::to_string(port), "-u", "admin",
                                "--password", "secret", "-t", timeout};
  argv.insert(argv.end(), words.begin(), words.end());
  return argv;
}
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10),
               std::chrono::milliseconds poll = std::chrono::milliseconds(25));
// Fails with the file's text, so that a daemon that never logged `needle` shows its log.
::testing::AssertionResult WaitForText(const std::string& path, const std::string& needle,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(10));
inline ::testing::AssertionResult Has(const std::string& text, const std::string& piece) {
  if (text.find(piece) != std::string::npos)
    return ::testing::AssertionSuccess() << "found " << piece;
  return ::testing::AssertionFailure() << "no \"" << piece << "\" in:\n" << text;
}
inline int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}
bool WaitForPort(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Until the listener has accepted every connection made to it.
bool WaitForAccepts(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A mount namespace for this process and its later children; false where not allowed.
bool PrivateMounts();
// A private network namespace with loopback up (the game's fixed ports); false where refused.
bool PrivateNetwork();
// A 64 KiB tmpfs over `dir` (private namespace) holding `files`, the rest filled.
bool MountFullDisk(const std::string& dir,
                   const std::vector<std::pair<std::string, std::string>>& files);

}  // namespace korvtest
