// korvane.con for process tests: the first-start defaults with chosen keys replaced.
#pragma once

#include <map>
#include <sstream>
#include <string>

#include "settings/first_start_golden.h"

namespace korvtest {

inline std::string KorvaneCon(const std::map<std::string, std::string>& values) {
  std::istringstream in(kFirstStartFile);
  std::string out, line;
  std::map<std::string, std::string> left = values;
  while (std::getline(in, line)) {
    std::string key = line.substr(0, line.find(' '));
    auto it = left.find(key);
    if (it != left.end()) {
      out += key + " " + it->second + "\n";
      left.erase(it);
    } else {
      out += line + "\n";
    }
  }
  for (const auto& [key, value] : left) out += key + " " + value + "\n";
  return out;
}

}  // namespace korvtest
