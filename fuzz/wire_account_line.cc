// useraccess.con rows, which the daemon and korvweb read with the one
// reader: an account written enciphered reads back as the same account.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "wire/account_line.h"

namespace {

std::string Padding(std::size_t size) { return std::string(size, '7'); }

bool Same(const UserAccount& a, const UserAccount& b) {
  return a.user_name == b.user_name && a.password == b.password && a.key_hash == b.key_hash &&
         a.access == b.access && a.active == b.active;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::optional<AccountRow> row = SplitAccountRow(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!row) continue;
    bool plain = false;
    const UserAccount account = DecodeAccountRow(*row, &plain);
    const std::string line = FormatAccountLine(account, Padding);
    std::optional<AccountRow> again = SplitAccountRow(std::string_view(line).substr(0, line.size() - 1));
    plain = false;
    if (!again || JoinAccountRow(*again) != line || !Same(DecodeAccountRow(*again, &plain), account) ||
        plain)
      std::abort();
  }
  return 0;
}
