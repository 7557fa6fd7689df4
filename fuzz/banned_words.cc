// bannedwords.con, then chat lines and player names checked against it.
#include "fuzz_support.h"
#include "moderation/banned_words.h"
#include "moderation/moderation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvfuzz::ResetState();
  FuzzedDataProvider input(data, size);
  korvfuzz::WriteFile(korvfuzz::SettingsDir() + "/bannedwords.con",
                      input.ConsumeRandomLengthString(1 << 16));
  LoadBannedWords();
  korvfuzz::ForEachLine(input.ConsumeRemainingBytesAsString(), [](std::string_view line) {
    NameHasBannedWord(line);
    FindBannedWord(line);
    ClaimedSpeaker(line);
    FindChatSpeaker(line);
    WatchChatLine(std::string(line));
  });
  return 0;
}
