// Daemon texts on their way to the page: bytes that are not UTF-8 are read
// as Latin-1 (game player names often are), notifications become JSON.
#pragma once

#include <string>
#include <string_view>

#include "korvctl/protocol.h"

namespace korvweb {

// `text` as UTF-8: unchanged when it already is, else byte by byte as Latin-1.
std::string Utf8(std::string_view text);
// A JSON string literal of Utf8(text).
std::string JsonText(std::string_view text);
// {"code":..., "key":"player_kicked", "text":"Bob", "words":"player kicked: Bob"}
std::string NoticeToJson(const korvctl::Notice& notice);

}  // namespace korvweb
