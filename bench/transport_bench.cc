// Prints how long a 10 MB file takes through SendFile and ReceiveFile on
// loopback, beside LZO compression plus a raw loopback copy of the same
// bytes measured in the same run (the goal: at most twice the latter).
#include <arpa/inet.h>
#include <fcntl.h>
#include <lzo/lzo1x.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <memory>

#include "core/helpers.h"
#include "core/manager_state.h"
#include "remote/transport.h"

namespace {

using Clock = std::chrono::steady_clock;

double Millis(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

void Pair(int* a, int* b) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listener, 1);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
  *a = ::socket(AF_INET, SOCK_STREAM, 0);
  ::connect(*a, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  *b = ::accept(listener, nullptr, nullptr);
  ::close(listener);
  for (int fd : {*a, *b}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A mix of log-like text and noise, so LZO has real work.
std::string MakeData(std::size_t size) {
  std::string data;
  unsigned seed = 12345;
  while (data.size() < size) {
    seed = seed * 1103515245 + 12345;
    data += "2026-12-06 17:00:00 : player " + std::to_string(seed % 64) + " score " +
            std::to_string(seed >> 20) + "\r\n";
  }
  data.resize(size);
  return data;
}

double FramedTransfer(const std::string& source, const std::string& target) {
  int a, b;
  Pair(&a, &b);
  auto start = Clock::now();
  std::thread sender([&] { SendFile(source, a); });
  bool ok = ReceiveFile(target, b);
  sender.join();
  double ms = Millis(start);
  ::close(a);
  ::close(b);
  if (!ok) std::printf("transfer failed\n");
  return ms;
}

double CompressPlusRawCopy(const std::string& data) {
  auto start = Clock::now();
  lzo_uint out_length = data.size() + data.size() / 64 + 19;
  auto out = std::make_unique_for_overwrite<unsigned char[]>(out_length);
  auto work = std::make_unique_for_overwrite<unsigned char[]>(65536);
  lzo1x_1_compress(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.get(),
                   &out_length, work.get());
  int a, b;
  Pair(&a, &b);
  auto copy = std::make_unique_for_overwrite<char[]>(data.size());
  std::thread sender([&] { SendAll(a, data.data(), data.size()); });
  ReceiveAll(b, copy.get(), data.size());
  sender.join();
  double ms = Millis(start);
  ::close(a);
  ::close(b);
  return ms;
}

}  // namespace

int main() {
  if (lzo_init() != LZO_E_OK) return 1;
  g_manager.core.daemon = true;
  char dir_template[] = "/tmp/korv-bench-XXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  if (dir == nullptr) return 1;
  g_manager.core.server_dir = dir;
  std::string source = std::string(dir) + "/source.bin";
  std::string target = std::string(dir) + "/target.bin";
  std::string data = MakeData(10u << 20);
  ReplaceFileContents(source, data);
  constexpr int kRounds = 10;
  double framed = 1e30, baseline = 1e30;
  for (int i = 0; i < kRounds; ++i) {
    framed = std::min(framed, FramedTransfer(source, target));
    baseline = std::min(baseline, CompressPlusRawCopy(data));
  }
  std::printf("10 MB SendFile->ReceiveFile on loopback: %.1f ms (best of %d)\n", framed, kRounds);
  std::printf("LZO compression + raw loopback copy:      %.1f ms (best of %d)\n", baseline, kRounds);
  auto start = Clock::now();
  ReplaceFileContents(target, data);
  std::printf("  (writing the target file with its sync alone: %.1f ms)\n", Millis(start));
  std::printf("ratio: %.2f (goal: at most 2.00)\n", framed / baseline);
  std::remove(source.c_str());
  std::remove(target.c_str());
  ::rmdir(dir);
  return 0;
}
