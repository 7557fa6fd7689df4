// Lines of the game server's "game.listPlayers" answer.
#include "fuzz_support.h"
#include "links/player_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvfuzz::ForEachLine(std::string_view(reinterpret_cast<const char*>(data), size),
                        [](std::string_view line) {
                          PlayerRecord record;
                          ParsePlayerLine(line, &record);
                        });
  return 0;
}
