// Choice lists: "value/label,value/label,...".
#pragma once

#include <optional>
#include <string>
#include <string_view>

// ChoiceValue gives the value of the n-th pair (1-based).
std::optional<std::string> ChoiceValue(std::string_view list, int n);
// ChoiceLabel gives the label of the first pair whose value equals `value`
// without regard to case; none when no match or the match has no label.
std::optional<std::string> ChoiceLabel(std::string_view list, std::string_view value);
