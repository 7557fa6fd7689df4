// Lines of the settings files (korvane.con and the game's .con files):
// "key value", the key being the first blank-separated word; texts are
// written in double quotes, and the welcome message as numbered lines. The
// daemon writes and reads them; korvweb's form writes and shows them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Longest text a setting holds.
inline constexpr std::size_t kMaxSettingText = 324;
// The welcome message: at most five lines, written each up to 63
// characters; the first line reads back up to 62.
inline constexpr int kWelcomeLineCount = 5;
inline constexpr std::size_t kWelcomeLineLimit = 63;
inline constexpr std::size_t kWelcomeFirstLineLimit = 62;

// The first blank-separated word of a line (leading blanks skipped) and
// what follows its blank. Both empty for a blank line.
struct SettingLineParts {
  std::string_view key;
  std::string_view rest;
};
SettingLineParts SplitSettingLine(std::string_view line);

// Walks the value part of a settings line the way the file format reads it.
class SettingValueReader {
 public:
  explicit SettingValueReader(std::string_view rest) : rest_(rest) {}
  // The next run of characters up to a blank; none when only blanks remain.
  std::optional<std::string_view> NextWord();
  // The text after any double quotes up to the next double quote or the
  // end; an empty text (such as "") counts as missing.
  std::optional<std::string_view> NextQuoted();

 private:
  void SkipBlanks();
  std::string_view rest_;
};

// At most `max_chars` characters of `text`, with blanks instead of control
// characters, so a text can never end a line of the game's files early.
std::string CleanSettingText(std::string_view text, std::size_t max_chars);

// Appends the welcome message `text` under `key` as numbered lines
// ("key N \"line\"\n", N from 0): blanks become '_', the text is split at
// runs of line ends, and at most five pieces of 63 characters are written.
void AppendWelcomeLines(std::string* out, std::string_view key, std::string_view text);
// Adds one welcome line (the value part of its line: number, quoted text)
// to `text`, the message read so far. Line 0 replaces the text with its
// first 62 characters; lines 1 to 4 are appended while the text stays
// within 324 characters; "\r\n" follows lines 0 to 3. A line without a
// number or text, or numbered above 4, changes nothing.
void ReadWelcomeLine(std::string_view rest, std::string* text);
