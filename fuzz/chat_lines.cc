// Chat lines from the console through the chat watch and the in-game
// command handler, with playermenu.con behind the menu commands. Two
// players are on the server, one of them an administrator; what the
// commands queue is run as the loop would.
#include "core/clock.h"
#include "fuzz_support.h"
#include "moderation/ingame_commands.h"
#include "moderation/moderation.h"
#include "remote/command_queue.h"

namespace {

constexpr const char* kAdminKey = "0123456789abcdef0123456789abcdef";

void AddPlayer(int row, int id, const char* name, const char* keyhash) {
  PlayerRecord& player = g_manager.links.players[static_cast<std::size_t>(row)];
  player.id = id;
  player.name = name;
  player.team = "axis";
  player.score = "3";
  player.ping = "40";
  player.address = "10.0.0." + std::to_string(id);
  player.keyhash = keyhash;
  player.figures_known = true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvfuzz::ResetState();
  FuzzedDataProvider input(data, size);
  korvfuzz::WriteFile(korvfuzz::SettingsDir() + "/playermenu.con",
                      input.ConsumeRandomLengthString(1 << 14));
  korvfuzz::WriteFile(korvfuzz::SettingsDir() + "/bannedwords.con", "darn\n");
  g_manager.core.debug = input.ConsumeBool();
  AddPlayer(0, 1, "Boss", kAdminKey);
  AddPlayer(1, 7, "Guest", "fedcba9876543210fedcba9876543210");
  UserAccount& account = g_manager.remote.accounts[0];
  account.user_name = "boss";
  account.key_hash = kAdminKey;
  account.access = 0xFFFFFFFF;
  account.active = 1;
  korvfuzz::ForEachLine(input.ConsumeRemainingBytesAsString(), [](std::string_view line) {
    std::string text(line);
    HandleInGameCommand(text);
    ModerateChatLine(text);
    LookUpMenuItem(line);
    BuildMenuConsoleCommand(line, 7);
  });
  for (int number = 1; number <= 3; ++number) RunMenuItem(7, number, 0);
  RunQueuedCommands(ClockNow() + 3600);
  return 0;
}
