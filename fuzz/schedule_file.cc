// serverschedule.con as loaded at start-up and on an upload, then saved
// and loaded again: the saved file must load to the same file.
#include "core/files.h"
#include "fuzz_support.h"
#include "schedule/schedule.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvfuzz::ResetState();
  std::string path = korvfuzz::SettingsDir() + "/serverschedule.con";
  korvfuzz::WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  if (!LoadSchedule(path)) return 0;
  if (!SaveSchedule(path)) std::abort();
  std::optional<std::string> first = ReadWholeFile(path, 1 << 20);
  if (!LoadSchedule(path) || !SaveSchedule(path)) std::abort();
  std::optional<std::string> second = ReadWholeFile(path, 1 << 20);
  if (!first || !second || *first != *second) std::abort();
  return 0;
}
