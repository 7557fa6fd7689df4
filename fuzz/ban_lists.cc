// The three ban stores (serverbanlist.con, banlist.con, pb/pbbans.dat) as
// the daemon reads, checks, merges and expires them.
#include "fuzz_support.h"
#include "bans/ban_file.h"
#include "bans/bans.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvfuzz::ResetState();
  FuzzedDataProvider input(data, size);
  bool punkbuster = input.ConsumeBool();
  std::string server = input.ConsumeRandomLengthString(1 << 16);
  std::string game = input.ConsumeRandomLengthString(1 << 16);
  std::string pb = input.ConsumeRemainingBytesAsString();
  korvfuzz::WriteFile(ServerBanListPath(), server);
  korvfuzz::WriteFile(GameBanListPath(), game);
  korvfuzz::WriteFile(PunkBusterBanPath(), pb);
  g_manager.core.punkbuster_installed = punkbuster;
  for (std::string_view line : SplitBanLines(server)) {
    if (std::optional<BanEntry> entry = ParseBanEntry(line)) FormatBanEntry(*entry);
    FindGuidWord(line);
  }
  VerifyGameBansListed();
  VerifyServerBansListed();
  SyncFromServerBanList();
  SyncToServerBanList();
  ExpireTimedBansAt(2000000000);
  return 0;
}
