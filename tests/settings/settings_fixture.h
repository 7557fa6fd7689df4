// Settings and content set-up: fresh state in a temporary directory, the log as lines.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "links/link_fixture.h"

class SettingsFixture : public korvtest::LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_.path() + "/settings";
    std::filesystem::create_directories(g_manager.core.settings_dir);
  }

  std::string Path(const std::string& name) const { return dir_ / name; }

  std::vector<std::string> TakeLog() {
    std::string text = korvtest::ReadFile(dir_ / "korvd.log");
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::size_t end = text.find("\r\n", pos);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(pos, end - pos);
      std::size_t stamp = line.find(" : ");
      lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 3));
      pos = end + 2;
    }
    std::remove((dir_ / "korvd.log").c_str());
    return lines;
  }
};
