// Settings and content set-up: fresh state in a temporary directory, the log as lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
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

  // The log's lines without their timestamps; the log then starts again.
  std::vector<std::string> TakeLog() {
    std::string text = std::regex_replace(korvtest::ReadFile(dir_ / "korvd.log"),
                                          std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d : )"), "");
    std::vector<std::string> lines;
    for (std::size_t pos = 0, end; pos < text.size(); pos = end + 2) {
      end = std::min(text.find("\r\n", pos), text.size());
      lines.push_back(text.substr(pos, end - pos));
    }
    std::remove((dir_ / "korvd.log").c_str());
    return lines;
  }
};
