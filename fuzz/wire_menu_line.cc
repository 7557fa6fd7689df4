// playermenu.con lines, which the daemon's in-game commands and korvweb's
// reasons read with the one reader: whatever a line holds, the item keeps
// its rules (a ban is no kick, a console command neither), its text holds
// no quote or line end, and nothing after the line end changes it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "wire/menu_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const MenuItem item = ParseMenuLine(text);
  if ((item.kick && item.ban) || (item.cmd && (item.kick || item.ban))) std::abort();
  if (item.text && item.text->find_first_of("\"\r\n") != std::string::npos) std::abort();
  std::string_view line = text.substr(0, text.find_first_of("\r\n"));
  const MenuItem again = ParseMenuLine(std::string(line) + "\n\"x\"|kick,ban,cmd,global,7");
  if (again.kick != item.kick || again.ban != item.ban || again.cmd != item.cmd ||
      again.global != item.global || again.duration != item.duration || again.text != item.text)
    std::abort();
  return 0;
}
