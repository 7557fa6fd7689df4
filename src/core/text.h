// Small text procedures: case, escaping control characters, integer
// parsing and formatting, cutting and trimming.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Equal texts without regard to case.
bool EqualNoCase(std::string_view a, std::string_view b);

// Text as it may safely reach a file or a terminal: line breaks and 0x80
// (the game's blank) become blanks, tab stays, every other control
// character is shown as \xHH. At most `max_length` characters, never half
// an escape.
std::string EscapeControlText(std::string_view text,
                              std::size_t max_length = std::string_view::npos);

// Signed value in any base from 2 (digits above 9 are lower-case letters).
std::string FormatInteger(std::int32_t value, int base);

// In-place case conversion; a null text is left alone.
char* UpperCase(char* text);
char* LowerCase(char* text);
void UpperCase(std::string& text);
void LowerCase(std::string& text);

// atoi/atol as the C library reads them (leading blanks, optional sign,
// digits until the first other character, 0 when none), without overflow:
// values beyond the range saturate.
std::int32_t ParseInt(std::string_view text);
std::int64_t ParseLong(std::string_view text);

// Copies at most `max_chars` characters of `text` (cut to fit a buffer).
std::string CutText(std::string_view text, std::size_t max_chars);

// Removes one trailing "\n" and "\r" pair or either alone.
void TrimLineEnd(std::string& line);
