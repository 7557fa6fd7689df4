// The ban command's text, which korvctl, korvweb and the daemon write with
// the one writer and the daemon reads: a text a client may send reads back
// as the ban it was written from, and any text reads without harm.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/protocol.h"
#include "wire/ban_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  BanText ban;
  ban.id = input.ConsumeIntegral<std::int32_t>();
  ban.duration = input.ConsumeIntegral<std::int32_t>();
  for (std::string* field : {&ban.name, &ban.address, &ban.keyhash, &ban.guid, &ban.reason})
    *field = input.ConsumeRandomLengthString(300);
  if (std::optional<std::string> text = WriteWholeBanText(ban)) {
    std::optional<BanText> read = ReadBanText(*text, nullptr);
    if (!read || read->id != ban.id || read->duration != ban.duration || read->name != ban.name ||
        read->reason != ban.reason || read->guid != ban.guid || text->size() >= kCommandTextSize)
      std::abort();
  }
  if (std::optional<std::string> text = WriteBanText(ban)) {
    if (text->size() >= kCommandTextSize || !ReadBanText(*text, nullptr)) std::abort();
  }
  ReadBanText(input.ConsumeRemainingBytesAsString(), nullptr);
  return 0;
}
