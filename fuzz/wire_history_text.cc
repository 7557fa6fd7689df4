// The player-history answer, which the daemon writes and korvctl reads: a
// report of any texts reads back whole (or, cut to fit, as far as it went,
// ending in "more"), and any text reads without harm.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "wire/history_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  HistoryReport report;
  for (int n = input.ConsumeIntegralInRange(0, 3); n > 0; --n) {
    HistoryPlayer p;
    p.keyhash = input.ConsumeRandomLengthString(40);
    p.guid = input.ConsumeRandomLengthString(40);
    p.first = input.ConsumeIntegral<std::int64_t>();
    p.seconds = input.ConsumeIntegral<std::int64_t>();
    p.names.push_back({input.ConsumeRandomLengthString(40), 1, input.ConsumeIntegral<std::int64_t>()});
    p.sessions.push_back({2, 3, input.ConsumeRandomLengthString(40), input.ConsumeRandomLengthString(20)});
    p.actions.push_back({4, input.ConsumeRandomLengthString(10), input.ConsumeRandomLengthString(40),
                         input.ConsumeRandomLengthString(100)});
    report.players.push_back(p);
  }
  const std::size_t max = input.ConsumeIntegralInRange<std::size_t>(0, 2000);
  std::string whole = WriteHistoryReport(report);
  if (ReadHistoryReport(whole) != report) std::abort();
  std::string cut = WriteHistoryReport(report, max);
  std::optional<HistoryReport> read = ReadHistoryReport(cut);
  if (!read || (read->more ? !cut.ends_with("\nmore\n") : *read != report)) std::abort();
  if (read->more && cut.size() > max && cut != "history\nmore\n") std::abort();
  ReadHistoryReport(input.ConsumeRemainingBytesAsString());
  return 0;
}
