// announcements.con read a line at a time by the announcement step.
#include "fuzz_support.h"
#include "moderation/announcements.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvfuzz::ResetState();
  korvfuzz::WriteFile(korvfuzz::SettingsDir() + "/announcements.con",
                      std::string_view(reinterpret_cast<const char*>(data), size));
  Setting(kSetAutoAnnouncePeriod).value = 0;
  for (int step = 0; step < 6; ++step) AnnouncementStep();
  return 0;
}
