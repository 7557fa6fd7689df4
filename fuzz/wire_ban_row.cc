// serverbanlist.con rows, which the daemon and korvctl read with the one
// reader: a row written from the fields read back reads as those fields,
// and is recognised as written.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "wire/ban_row.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  while (!text.empty()) {
    std::string_view fields[kBanRowFields];
    if (!ParseBanFields(NextBanLine(text), fields)) continue;
    std::string row;
    AppendBanRow(row, fields);
    std::string_view again[kBanRowFields];
    if (!ParseBanFields(row, again) || !IsBanRowAsWritten(row, again)) std::abort();
    for (int i = 0; i < kBanRowFields; ++i)
      if (again[i] != fields[i]) std::abort();
  }
  return 0;
}
