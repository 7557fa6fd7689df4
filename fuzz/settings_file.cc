// korvane.con as the daemon reads it at start-up and on an upload, then
// written back. A saved file may differ from the next one saved once (an
// empty text takes its default when read back), but from then on loading
// and saving must reach a fixed point.
#include "core/files.h"
#include "fuzz_support.h"
#include "settings/settings_files.h"

namespace {

std::string LoadAndSave(const std::string& path) {
  LoadSettings(path, kAllGroups, kNoCaller);
  if (!SaveSettings(path, kAllGroups)) std::abort();
  std::optional<std::string> saved = ReadWholeFile(path, 1 << 20);
  if (!saved) std::abort();
  return *saved;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvfuzz::ResetState();
  std::string path = korvfuzz::SettingsDir() + "/korvane.con";
  korvfuzz::WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  LoadAndSave(path);
  std::string second = LoadAndSave(path);
  if (LoadAndSave(path) != second) std::abort();
  return 0;
}
