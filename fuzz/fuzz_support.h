// Shared set-up of the fuzz targets: a scratch server directory in memory
// (/dev/shm), a fresh state record for every input, and the input written
// to the file a loader reads.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "daemon/manager_state.h"
#include "settings/settings_table.h"

namespace korvfuzz {

// The scratch directory of this process, removed at exit.
inline const std::string& Dir() {
  static const std::string dir = [] {
    std::string path = "/dev/shm/korv-fuzz-" + std::to_string(::getpid());
    std::filesystem::create_directories(path + "/mods/bf1942/settings");
    std::filesystem::create_directories(path + "/pb");
    static std::string removed = path;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(removed, ignored);
    });
    return path;
  }();
  return dir;
}

inline std::string SettingsDir() { return Dir() + "/mods/bf1942/settings"; }

// A state as after start-up: defaults in every setting, the scratch
// directory as server and settings directory, the log file emptied so it
// never grows over a long run.
inline void ResetState() {
  ResetManagerState();
  g_manager.core.daemon = true;  // no log on standard output
  g_manager.core.server_dir = Dir();
  g_manager.core.settings_dir = SettingsDir();
  InitSettings();
  ::unlink((Dir() + "/korvd.log").c_str());
}

inline void WriteFile(const std::string& path, std::string_view bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
    std::abort();
  std::fclose(file);
}

// The lines of `text`, each without its line end.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    visit(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
}

}  // namespace korvfuzz
