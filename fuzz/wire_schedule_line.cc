// serverschedule.con lines, which the daemon and korvctl read with the one
// reader: an event written back reads as the same event, from one line.
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
    // Read back as the daemon reads the file: one line (a line of 1,024 bytes
    // loses only its line feed to the reader's cut), the same event.
    std::string_view rest = line;
    ScheduleLine again;
    if (!ParseScheduleLine(NextScheduleLine(rest), &again) || !rest.empty()) std::abort();
    if (FormatScheduleLine(again) != line) std::abort();
  }
  return 0;
}
