// korvane.con's welcome message, which the daemon reads and korvweb's form
// checks with the one reader: a message read from any lines, written back
// and read again, settles after one more round and never grows past its
// limits.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "wire/setting_line.h"

namespace {

std::string ReadBack(std::string_view lines) {
  std::string text;
  while (!lines.empty()) {
    const std::size_t end = lines.find('\n');
    SettingLineParts parts = SplitSettingLine(lines.substr(0, end));
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
    if (parts.key == "k") ReadWelcomeLine(parts.rest, &text);
  }
  if (text.size() > kMaxSettingText) std::abort();
  return text;
}

std::string Written(const std::string& text) {
  std::string lines;
  AppendWelcomeLines(&lines, "k", text);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string text = ReadBack(input);
  for (int round = 0; round < 2; ++round) text = ReadBack(Written(text));
  if (ReadBack(Written(text)) != text) std::abort();
  return 0;
}
