// Process-level test helpers.
#include "support/process_harness.h"
#include "support/remote_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace korvtest {

std::string BuildPath(const std::string& program) {
  return std::string(KORV_BUILD_DIR) + "/" + program;
}

std::string SourcePath(const std::string& relative) {
  return std::string(KORV_SOURCE_DIR) + "/" + relative;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/korvtest-XXXXXX";
  char* made = ::mkdtemp(pattern);
  path_ = made != nullptr ? made : "/tmp/korvtest-failed";
}

TempDir::~TempDir() {
  // Stand-ins outlive a killed daemon: each wrote its pid to standin.pids.
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->path().filename() != kStandInPids) continue;
    std::ifstream pids(it->path());
    for (pid_t pid; pids >> pid;) {
      if (pid > 1 && ReadFile("/proc/" + std::to_string(pid) + "/cmdline").starts_with("sleep"))
        ::kill(pid, SIGKILL);
    }
  }
  std::filesystem::remove_all(path_, ignored);
}

void MakeServerDir(const std::string& dir) {
  std::filesystem::create_directories(dir + "/mods/bf1942/settings");
  // An empty levels directory is enough for the base game's map list.
  std::filesystem::create_directories(dir + "/mods/bf1942/archives/bf1942/levels");
  WriteFile(dir + "/mods/bf1942/init.con", "");
  WriteFile(dir + "/bf1942_lnxded", kStandInServer);
  ::chmod((dir + "/bf1942_lnxded").c_str(), 0755);
}

Process::~Process() {
  if (pid_ > 0 && running()) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

bool Process::Start(const std::vector<std::string>& argv, const std::string& work_dir,
                    const std::string& output_file) {
  pid_ = ::fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    int out = ::open(output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    int null_in = ::open("/dev/null", O_RDONLY);
    if (null_in >= 0) ::dup2(null_in, 0);
    if (::chdir(work_dir.c_str()) != 0) ::_exit(126);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // KORV_TEST_WRAPPER: a command (split on blanks) the daemon runs under, e.g. valgrind.
    std::vector<std::string> words;
    const char* wrapper = std::getenv("KORV_TEST_WRAPPER");
    bool daemon = argv[0].size() >= 6 && argv[0].compare(argv[0].size() - 6, 6, "/korvd") == 0;
    if (wrapper != nullptr && daemon) {
      std::istringstream split(wrapper);
      for (std::string word; split >> word;) words.push_back(word);
    }
    std::vector<char*> args;
    for (std::string& word : words) args.push_back(word.data());
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (!words.empty()) ::execvp(args[0], args.data());
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  status_ = -1;
  return true;
}

bool Process::running() {
  if (pid_ <= 0 || status_ != -1) return false;
  int status = 0;
  pid_t got = ::waitpid(pid_, &status, WNOHANG);
  if (got == 0) return true;
  if (got == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else {
    status_ = 255;
  }
  return false;
}

void Process::Signal(int signal) {
  if (pid_ > 0 && running()) ::kill(pid_, signal);
}

int Process::Wait(std::chrono::milliseconds timeout) {
  return WaitUntil([this] { return !running(); }, timeout) ? status_ : -1;
}

int RunToEnd(const std::vector<std::string>& argv, const std::string& work_dir,
             std::string* output, std::chrono::milliseconds timeout) {
  char pattern[] = "/tmp/korvtest-out-XXXXXX";
  int fd = ::mkstemp(pattern);
  if (fd >= 0) ::close(fd);
  int status = -1;
  {
    Process process;
    process.Start(argv, work_dir, pattern);
    status = process.Wait(timeout);
  }
  if (output != nullptr) *output = ReadFile(pattern);
  ::unlink(pattern);
  return status;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds poll) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (; !done(); std::this_thread::sleep_for(poll))
    if (std::chrono::steady_clock::now() >= deadline) return false;
  return true;
}

::testing::AssertionResult WaitForText(const std::string& path, const std::string& needle,
                                       std::chrono::milliseconds timeout) {
  WaitUntil([&] { return ReadFile(path).find(needle) != std::string::npos; }, timeout);
  return Has(ReadFile(path), needle) << " (" << path << ")";
}

bool WaitForPort(int port, std::chrono::milliseconds timeout) {
  return WaitUntil([port] { return korvclient::Client().Connect(port); }, timeout);
}

bool WaitForAccepts(int port, std::chrono::milliseconds timeout) {
  char local[8];
  std::snprintf(local, sizeof local, ":%04X", port);
  // A listener's line in /proc/net/tcp holds state 0A and its accept queue as rx_queue.
  auto queued = [&local] {
    std::istringstream table(ReadFile("/proc/net/tcp"));
    for (std::string line; std::getline(table, line);) {
      std::istringstream fields(line);
      std::string slot, address, remote, state, queues;
      fields >> slot >> address >> remote >> state >> queues;
      if (state == "0A" && address.ends_with(local))
        return std::strtol(queues.substr(queues.find(':') + 1).c_str(), nullptr, 16);
    }
    return -1L;
  };
  // Polled each millisecond: a flood of connections must not wait on the poll.
  return WaitUntil([&] { return queued() == 0; }, timeout, std::chrono::milliseconds(1));
}

bool PrivateMounts() {
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

namespace {

bool WriteProcFile(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  return static_cast<bool>(out << text << std::flush);
}

// Without root, a user namespace in which this user is root comes first.
bool UnshareNetwork() {
  if (::unshare(CLONE_NEWNET) == 0) return true;
  const std::string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
  return ::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0 &&
         WriteProcFile("/proc/self/setgroups", "deny") &&
         WriteProcFile("/proc/self/uid_map", "0 " + uid + " 1") &&
         WriteProcFile("/proc/self/gid_map", "0 " + gid + " 1");
}

}  // namespace

bool PrivateNetwork() {
  if (!UnshareNetwork()) return false;
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
  bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
  up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  ::close(fd);
  return up;
}

bool MountFullDisk(const std::string& dir,
                   const std::vector<std::pair<std::string, std::string>>& files) {
  if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") != 0) return false;
  for (const auto& [name, contents] : files) WriteFile(dir + "/" + name, contents);
  int filler = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  std::string block(512, 'x');
  while (::write(filler, block.data(), block.size()) > 0) {
  }
  ::close(filler);
  return true;
}

}  // namespace korvtest
