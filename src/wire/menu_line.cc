// Reading one player-menu line.
#include "wire/menu_line.h"

#include "core/text.h"

MenuItem ParseMenuLine(std::string_view line) {
  line = line.substr(0, line.find_first_of("\r\n"));
  MenuItem item;
  std::size_t bar = line.find('|');
  std::string_view head = line.substr(0, bar);
  std::size_t open = head.find('"');
  std::size_t close = open == std::string_view::npos ? open : head.find('"', open + 1);
  if (close != std::string_view::npos) item.text = std::string(head.substr(open + 1, close - open - 1));
  std::string_view options = bar == std::string_view::npos ? std::string_view() : line.substr(bar + 1);
  while (!options.empty()) {
    std::size_t end = options.find_first_of(", ");
    std::string_view option = options.substr(0, end);
    options = end == std::string_view::npos ? std::string_view() : options.substr(end + 1);
    if (option.empty()) continue;
    if (EqualNoCase(option, "kick")) item.kick = true;
    else if (EqualNoCase(option, "ban")) item.ban = true;
    else if (EqualNoCase(option, "cmd")) item.cmd = true;
    else if (EqualNoCase(option, "global")) item.global = true;
    else if (option[0] != '[') item.duration = ParseInt(option);
  }
  if (item.ban) item.kick = false;
  if (item.cmd) item.kick = item.ban = false;
  return item;
}
