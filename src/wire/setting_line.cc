// Splitting, reading and writing settings lines.
#include "wire/setting_line.h"

#include <algorithm>

#include "core/text.h"

SettingLineParts SplitSettingLine(std::string_view line) {
  std::size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  line.remove_prefix(start);
  std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return {line, {}};
  return {line.substr(0, blank), line.substr(blank + 1)};
}

std::optional<std::string_view> SettingValueReader::NextWord() {
  SkipBlanks();
  if (rest_.empty()) return std::nullopt;
  std::size_t end = rest_.find(' ');
  std::string_view word = rest_.substr(0, end);
  rest_.remove_prefix(word.size());  // the blank goes with the next SkipBlanks
  return word;
}

std::optional<std::string_view> SettingValueReader::NextQuoted() {
  SkipBlanks();
  while (!rest_.empty() && rest_.front() == '"') rest_.remove_prefix(1);
  std::size_t end = rest_.find('"');
  std::string_view text = rest_.substr(0, end);
  rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
  if (text.empty()) return std::nullopt;
  return text;
}

void SettingValueReader::SkipBlanks() {
  while (!rest_.empty() && rest_.front() == ' ') rest_.remove_prefix(1);
}

std::string CleanSettingText(std::string_view text, std::size_t max_chars) {
  std::string out = CutText(text, max_chars);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return out;
}

void AppendWelcomeLines(std::string* out, std::string_view key, std::string_view text) {
  std::string copy = CutText(text, kMaxSettingText);
  std::replace(copy.begin(), copy.end(), ' ', '_');
  std::size_t pos = 0;
  for (int number = 0; number < kWelcomeLineCount; ++number) {
    pos = copy.find_first_not_of("\r\n", pos);
    if (pos == std::string::npos) break;
    std::size_t end = copy.find_first_of("\r\n", pos);
    std::string_view piece = std::string_view(copy).substr(pos, end - pos);
    out->append(key).append(" ").append(std::to_string(number)).append(" \"");
    out->append(piece.substr(0, kWelcomeLineLimit)).append("\"\n");
    if (end == std::string::npos) break;
    pos = end;
  }
}

void ReadWelcomeLine(std::string_view rest, std::string* text) {
  SettingValueReader reader(rest);
  std::optional<std::string_view> number = reader.NextWord();
  if (!number) return;
  std::optional<std::string_view> quoted = reader.NextQuoted();
  if (!quoted) return;
  std::int32_t line_number = ParseInt(*number);
  if (line_number >= kWelcomeLineCount) return;
  std::string line = CleanSettingText(*quoted, kWelcomeLineLimit);
  std::replace(line.begin(), line.end(), '_', ' ');
  if (line_number == 0) {
    *text = CutText(line, kWelcomeFirstLineLimit);
  } else if (text->size() + line.size() <= kMaxSettingText) {
    *text += line;
  }
  if (line_number < kWelcomeLineCount - 1 && text->size() + 2 <= kMaxSettingText) *text += "\r\n";
}
