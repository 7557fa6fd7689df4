// What the client benchmarks share: the client key, and a temporary server
// directory laid out as far as the daemon's start-up needs it.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "../tests/support/remote_client.h"

namespace korvbench {

inline void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Loads the client key from the source tree; false (with a line on
// standard error) when it cannot be read.
inline bool LoadClientKey() {
  std::string key = std::string(KORV_SOURCE_DIR) + "/src/remote/client.key";
  if (korvclient::LoadKey(key)) return true;
  std::fprintf(stderr, "cannot read %s\n", key.c_str());
  return false;
}

// Makes /tmp/korvbench-XXXXXX with a server directory below it holding the
// settings and levels folders and init.con; `*dir` receives the temporary
// directory (to remove afterwards), the result is the server directory.
inline std::string MakeServerDir(std::string* dir) {
  char pattern[] = "/tmp/korvbench-XXXXXX";
  *dir = ::mkdtemp(pattern);
  std::string server = *dir + "/server";
  std::filesystem::create_directories(server + "/mods/bf1942/settings");
  std::filesystem::create_directories(server + "/mods/bf1942/archives/bf1942/levels");
  Write(server + "/mods/bf1942/init.con", "");
  return server;
}

}  // namespace korvbench
