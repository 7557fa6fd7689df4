// serverschedule.con lines, which the daemon and korvctl read with the one
// reader: an event written back reads as the same event, on one line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "wire/schedule_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  while (!text.empty()) {
    ScheduleLine event;
    if (!ParseScheduleLine(NextScheduleLine(text), &event)) continue;
    const std::string line = FormatScheduleLine(event);
    std::string_view rest = line;
    ScheduleLine again;
    if (NextScheduleLine(rest) != line || !ParseScheduleLine(line, &again)) std::abort();
    if (FormatScheduleLine(again) != line) std::abort();
  }
  return 0;
}
