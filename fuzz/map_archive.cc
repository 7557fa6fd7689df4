// A map archive as the content discovery reads it for its game modes.
#include "fuzz_support.h"
#include "content/content_discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvfuzz::ResetState();
  std::string path = korvfuzz::Dir() + "/map.rfa";
  korvfuzz::WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  DetectGameTypes(path);
  return 0;
}
