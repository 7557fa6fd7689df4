// Times WriteModsFile + WriteMapsFile over a synthetic installation of 10
// mods x 50 maps, each archive with 2,000 entries, and prints beside it the
// floor: listing the same directories and reading, without looking at
// them, the archive directories of every mod map and of the base map of
// the same name (950 reads, as a scan that reads a base archive again for
// each mod must do). A second floor reads each of the 500 archives once.
// All are CPU time (user and system), so that other work on a shared
// machine does not count; the files are in the page cache, so the scan
// does not wait for the disk.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_result.h"
#include "content/content_discovery.h"
#include "daemon/manager_state.h"

namespace {

constexpr int kMods = 10;
constexpr int kMaps = 50;
constexpr int kEntries = 2000;
constexpr int kRuns = 5;

void PutU32(std::string* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// 2,000 entries, two of them game types; 4 KiB of file data before the
// directory.
std::string Archive(const std::string& map, const std::string& mode) {
  std::string data;
  PutU32(&data, 4 + 4096);
  data += std::string(4096, 'd');
  PutU32(&data, kEntries);
  for (int i = 0; i < kEntries; ++i) {
    std::string name = "bf1942/levels/" + map + "/objects/static" + std::to_string(i) + ".con";
    if (i == 700) name = "bf1942/levels/" + map + "/gametypes/" + mode + ".con";
    if (i == 1400) name = "bf1942/levels/" + map + "/GameTypes/TDM.con";
    PutU32(&data, static_cast<std::uint32_t>(name.size()));
    data += name + std::string(24, '\0');
  }
  return data;
}

std::vector<std::string> BuildInstallation(const std::string& root) {
  std::vector<std::string> archives;
  for (int m = 0; m < kMods; ++m) {
    std::string mod = m == 0 ? "bf1942" : "mod" + std::to_string(m);
    std::string levels = root + "/mods/" + mod + "/archives/bf1942/levels/";
    std::filesystem::create_directories(levels);
    std::ofstream(root + "/mods/" + mod + "/init.con");
    for (int i = 0; i < kMaps; ++i) {
      // Every mod map shares its name with a base map, the costlier case.
      std::string map = "map" + std::to_string(i);
      std::string path = levels + map + ".rfa";
      std::ofstream(path, std::ios::binary) << Archive(map, m == 0 ? "conquest" : "ctf");
      archives.push_back(path);
      if (m != 0) archives.push_back(root + "/mods/bf1942/archives/bf1942/levels/" + map + ".rfa");
    }
  }
  return archives;
}

void ListDirectory(const std::string& path) {
  if (DIR* dir = ::opendir(path.c_str())) {
    while (::readdir(dir) != nullptr) {
    }
    ::closedir(dir);
  }
}

// Lists mods/ and each mod's levels, and reads each archive's directory
// bytes once: what the scan cannot do without.
std::size_t ReadDirectories(const std::string& root, const std::vector<std::string>& archives) {
  ListDirectory(root + "/mods");
  for (int m = 0; m < kMods; ++m) {
    std::string mod = m == 0 ? "bf1942" : "mod" + std::to_string(m);
    ListDirectory(root + "/mods/" + mod + "/archives/bf1942/levels");
  }
  std::size_t total = 0;
  std::vector<char> buffer(1 << 20);
  for (const std::string& path : archives) {
    int fd = ::open(path.c_str(), O_RDONLY);
    std::uint32_t offset = 0;
    if (::pread(fd, &offset, 4, 0) == 4) {
      ssize_t got;
      off_t pos = offset;
      while ((got = ::pread(fd, buffer.data(), buffer.size(), pos)) > 0) {
        total += static_cast<std::size_t>(got);
        pos += got;
      }
    }
    ::close(fd);
  }
  return total;
}

double CpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main() {
  char pattern[] = "/tmp/korv-content-bench-XXXXXX";
  std::string root = ::mkdtemp(pattern);
  std::vector<std::string> archives = BuildInstallation(root);
  std::vector<std::string> distinct = archives;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  g_manager.core.daemon = true;
  g_manager.core.server_dir = root;
  g_manager.core.settings_dir = root + "/settings";
  std::filesystem::create_directories(g_manager.core.settings_dir);

  double best_scan = 1e9;
  double best_floor = 1e9;
  double best_distinct = 1e9;
  std::size_t bytes = 0;
  for (int run = 0; run < kRuns; ++run) {
    double start = CpuSeconds();
    bool ok = WriteModsFile(root + "/settings/mods.con") &&
              WriteMapsFile(root + "/settings/maps.con");
    double middle = CpuSeconds();
    bytes = ReadDirectories(root, archives);
    double end = CpuSeconds();
    ReadDirectories(root, distinct);
    best_distinct = std::min(best_distinct, CpuSeconds() - end);
    if (!ok) std::printf("scan failed\n");
    best_scan = std::min(best_scan, middle - start);
    best_floor = std::min(best_floor, end - middle);
  }
  std::printf("content scan: %d mods x %d maps x %d entries, %zu archive reads of %zu "
              "archives, %.1f MB of directories\n",
              kMods, kMaps, kEntries, archives.size(), distinct.size(), bytes / 1e6);
  std::printf("WriteModsFile + WriteMapsFile: %.3f s of CPU (best of %d; goal 0.300 s)\n",
              best_scan, kRuns);
  std::printf("floor (listing and reading the directories only, %zu reads): %.3f s of CPU\n",
              archives.size(), best_floor);
  std::printf("ratio to the floor: %.2f (goal: at most 2)\n", best_scan / best_floor);
  std::printf("floor reading each archive once (%zu reads): %.3f s of CPU, ratio %.2f\n",
              distinct.size(), best_distinct, best_scan / best_distinct);
  korvbench::PrintResult("content scan", best_scan * 1e3, 300, "ms");
  korvbench::PrintResult("content scan / floor", best_scan / best_floor, 2, "x");
  std::filesystem::remove_all(root);
  return 0;
}
