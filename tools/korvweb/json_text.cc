// UTF-8 for the page and notifications as JSON.
#include "korvweb/json_text.h"

#include <nlohmann/json.hpp>

namespace korvweb {
namespace {

bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    if (c >= 0x80) {
      if (c < 0xC2 || c > 0xF4) return false;
      extra = c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
      if (text.size() - i - 1 < extra) return false;
    }
    for (std::size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

std::string Utf8(std::string_view text) {
  if (IsUtf8(text)) return std::string(text);
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string JsonText(std::string_view text) { return nlohmann::json(Utf8(text)).dump(); }

std::string NoticeToJson(const korvctl::Notice& notice) {
  nlohmann::json event{{"code", notice.code},
                       {"key", korvctl::NoticeKey(notice.code)},
                       {"text", Utf8(notice.text)},
                       {"words", Utf8(korvctl::DescribeNotice(notice))}};
  return event.dump();
}

}  // namespace korvweb
