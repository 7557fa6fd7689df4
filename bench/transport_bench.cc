// Prints how long a 10 MB file takes through SendFile and ReceiveFile on
// loopback, beside LZO compression plus a raw loopback copy of the same
// bytes measured in the same run (the goal: at most twice the latter), and
// the steps of a transfer that no framing can avoid, each timed alone.
// Usage: transport_bench [ROUNDS] (the best of 10 by default).
#include <arpa/inet.h>
#include <fcntl.h>
#include <lzo/lzo1x.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <memory>

#include "bench_result.h"
#include "core/files.h"
#include "daemon/manager_state.h"
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
  if (!ok) {
    std::fprintf(stderr, "transfer failed\n");
    std::exit(1);
  }
  return ms;
}

// Buffers made and touched before anything is timed, so that the floor
// holds only the compression and the copy themselves.
struct Buffers {
  explicit Buffers(std::size_t size)
      : packed_capacity(size + size / 64 + 19),
        packed(std::make_unique<unsigned char[]>(packed_capacity)),
        work(std::make_unique<unsigned char[]>(65536)),
        plain(std::make_unique<unsigned char[]>(size)) {}
  std::size_t packed_capacity;
  lzo_uint packed_length = 0;
  std::unique_ptr<unsigned char[]> packed, work, plain;
};

double Compress(const std::string& data, Buffers& buffers) {
  auto start = Clock::now();
  buffers.packed_length = buffers.packed_capacity;
  lzo1x_1_compress(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                   buffers.packed.get(), &buffers.packed_length, buffers.work.get());
  return Millis(start);
}

double Decompress(const std::string& data, Buffers& buffers) {
  auto start = Clock::now();
  lzo_uint length = data.size();
  lzo1x_decompress_safe(buffers.packed.get(), buffers.packed_length, buffers.plain.get(), &length,
                        nullptr);
  return Millis(start);
}

double CompressPlusRawCopy(const std::string& data, Buffers& buffers) {
  auto start = Clock::now();
  Compress(data, buffers);
  int a, b;
  Pair(&a, &b);
  std::thread sender([&] { SendAll(a, data.data(), data.size()); });
  ReceiveAll(b, buffers.plain.get(), data.size());
  sender.join();
  double ms = Millis(start);
  ::close(a);
  ::close(b);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
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
  Buffers buffers(data.size());
  double framed = 1e30, floor = 1e30, compress = 1e30, decompress = 1e30, write = 1e30;
  for (int i = 0; i < rounds; ++i) {
    // A new file each round: the daemon keeps the last large frame it sent,
    // and the transfer measured here is the first one of a file.
    ReplaceFileContents(source, data);
    framed = std::min(framed, FramedTransfer(source, target));
    floor = std::min(floor, CompressPlusRawCopy(data, buffers));
    compress = std::min(compress, Compress(data, buffers));
    decompress = std::min(decompress, Decompress(data, buffers));
    auto start = Clock::now();
    ReplaceFileContents(target, data);
    write = std::min(write, Millis(start));
  }
  std::printf("10 MB SendFile->ReceiveFile on loopback: %6.1f ms (best of %d)\n", framed, rounds);
  std::printf("LZO compression + raw loopback copy:     %6.1f ms (best of %d)\n", floor, rounds);
  std::printf("ratio: %.2f (goal: at most 2.00)\n", framed / floor);
  std::printf("steps a transfer cannot skip, each alone (best of %d):\n", rounds);
  std::printf("  compression                 %6.1f ms\n", compress);
  std::printf("  decompression               %6.1f ms\n", decompress);
  std::printf("  writing the file, synced    %6.1f ms\n", write);
  std::printf("ratio to compression + loopback copy + decompression + synced write: %.2f "
              "(goal: at most 1.25)\n", framed / (floor + decompress + write));
  korvbench::PrintResult("10 MB transfer / (LZO + copy)", framed / floor, 2, "x");
  korvbench::PrintResult("10 MB transfer / unavoidable steps",
                         framed / (floor + decompress + write), 1.25, "x");
  std::remove(source.c_str());
  std::remove(target.c_str());
  ::rmdir(dir);
  return 0;
}
