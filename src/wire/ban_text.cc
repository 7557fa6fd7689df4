// Writing and reading the ban command text.
#include "wire/ban_text.h"

#include <algorithm>
#include <vector>

#include "core/protocol.h"
#include "core/text.h"

namespace {

constexpr std::size_t kTextMax = kCommandTextSize - 1;

// A field never holds the separator itself, so a name cannot shift the
// fields behind it.
std::string Field(std::string_view text) {
  std::string field(text);
  for (char& c : field)
    if (c == kBanSeparator) c = '?';
  return field;
}

// Cuts `field` so that `excess` bytes go, as far as it has them; returns
// what is still in excess.
std::size_t CutToFit(std::string& field, std::size_t excess) {
  std::size_t cut = std::min(excess, field.size());
  field.resize(field.size() - cut);
  return excess - cut;
}

}  // namespace

std::optional<std::string> WriteBanText(const BanText& ban) {
  std::string fields[kBanTextFields] = {
      std::to_string(ban.id), Field(ban.name),   Field(ban.address),
      Field(ban.keyhash),     Field(ban.guid),   std::to_string(ban.duration),
      Field(ban.reason)};
  std::size_t length = 0;
  for (const std::string& field : fields) length += field.size() + 1;
  if (length > kTextMax) {
    // The reason first, then the name: both are for people to read.
    std::size_t excess = CutToFit(fields[6], length - kTextMax);
    if (CutToFit(fields[1], excess) != 0) return std::nullopt;
  }
  std::string text;
  for (const std::string& field : fields) text += field + kBanSeparator;
  return text;
}

std::optional<BanText> ReadBanText(std::string_view text, int* found) {
  const bool cut_by_queue = text.size() >= kTextMax;
  std::vector<std::string_view> fields;
  while (static_cast<int>(fields.size()) < kBanTextFields) {
    std::size_t end = text.find(kBanSeparator);
    if (end == std::string_view::npos) {
      // Only the reason may have lost its end to the queue's cut.
      if (cut_by_queue && fields.size() == kBanTextFields - 1) fields.push_back(text);
      break;
    }
    fields.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  if (found != nullptr) *found = static_cast<int>(fields.size());
  if (fields.size() < static_cast<std::size_t>(kBanTextFields)) return std::nullopt;
  BanText ban;
  ban.id = ParseInt(fields[0]);
  ban.name = fields[1];
  ban.address = fields[2];
  ban.keyhash = fields[3];
  ban.guid = fields[4];
  ban.duration = ParseInt(fields[5]);
  ban.reason = fields[6];
  return ban;
}

std::optional<std::string> WriteWholeBanText(const BanText& ban) {
  std::optional<std::string> text = WriteBanText(ban);
  std::optional<BanText> read = text ? ReadBanText(*text, nullptr) : std::nullopt;
  if (!read || read->name != ban.name || read->address != ban.address ||
      read->keyhash != ban.keyhash || read->guid != ban.guid || read->reason != ban.reason)
    return std::nullopt;
  return text;
}
