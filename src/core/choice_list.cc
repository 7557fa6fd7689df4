// Reading choice lists.
#include "core/choice_list.h"

#include <cstddef>
#include <vector>

#include "core/text.h"

namespace {

// Splits a choice list at every '/' and ','.
std::vector<std::string_view> ChoiceTokens(std::string_view list) {
  std::vector<std::string_view> tokens;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= list.size(); ++i) {
    if (i == list.size() || list[i] == '/' || list[i] == ',') {
      if (i > start) tokens.push_back(list.substr(start, i - start));
      start = i + 1;
    }
  }
  return tokens;
}

}  // namespace

std::optional<std::string> ChoiceValue(std::string_view list, int n) {
  std::vector<std::string_view> tokens = ChoiceTokens(list);
  if (n < 1) return std::nullopt;
  std::size_t index = 2 * static_cast<std::size_t>(n) - 2;
  if (index >= tokens.size()) return std::nullopt;
  return std::string(tokens[index]);
}

std::optional<std::string> ChoiceLabel(std::string_view list, std::string_view value) {
  std::vector<std::string_view> tokens = ChoiceTokens(list);
  for (std::size_t i = 0; i < tokens.size(); i += 2) {
    if (EqualNoCase(tokens[i], value)) {
      if (i + 1 < tokens.size()) return std::string(tokens[i + 1]);
      return std::nullopt;
    }
  }
  return std::nullopt;
}
