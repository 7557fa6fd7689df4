// Numeric settings of the links until the settings table is wired in.
#include "links/link_settings.h"

#include <array>

namespace {
std::array<std::int32_t, 83> g_values{};
}  // namespace

std::int32_t LinkSetting(int row) {
  return row >= 0 && row < static_cast<int>(g_values.size()) ? g_values[row] : 0;
}

void SetLinkSetting(int row, std::int32_t value) {
  if (row >= 0 && row < static_cast<int>(g_values.size())) g_values[row] = value;
}
