// Lines of the account file, useraccess.con: "name,password,key hash,
// access,enabled", the three texts each enciphered as the hex digits of a
// fixed-size buffer (RC4 under the client key) or, as an administrator may
// write them, plain. The daemon keeps the file; korvctl enciphers a new
// password field and korvweb shows the rows, all through these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Buffer sizes of the enciphered fields; a text holds one less.
inline constexpr std::size_t kAccountNameSize = 32;
inline constexpr std::size_t kAccountPasswordSize = 32;
inline constexpr std::size_t kAccountKeyHashSize = 33;
inline constexpr int kAccountFields = 5;

struct UserAccount {
  std::string user_name;  // at most 31 characters
  std::string password;   // at most 31 characters
  std::string key_hash;   // at most 32 characters
  std::uint32_t access = 0;
  std::int32_t active = 0;  // 0 = disabled for the in-game check
};

// The five comma-separated fields of one row as they stand (the fifth runs
// to the end of the line).
struct AccountRow {
  std::string_view fields[kAccountFields];
};
// None when the line has fewer than four commas.
std::optional<AccountRow> SplitAccountRow(std::string_view line);
// The fields joined again, with the line end.
std::string JoinAccountRow(const AccountRow& row);

// The access field: an unsigned decimal as "%lu" reads it, kept to 32 bits.
std::uint32_t ParseAccessMask(std::string_view text);
// Reads a field of a buffer of `size` bytes: deciphered when it is exactly
// 2 * size hex digits, else taken as plain text up to a NUL and cut to
// size - 1. *plain is set when the field was plain.
std::string DecodeAccountField(std::string_view field, std::size_t size, bool* plain);
// The account a row holds; *plain is set when any text field was plain.
UserAccount DecodeAccountRow(const AccountRow& row, bool* plain);

// The enciphered field of `value` (cut to size - 1) in a buffer of `size`
// bytes that starts as `padding` (the rest zero): upper-case hex digits.
std::string EncipherAccountField(std::string_view value, std::size_t size,
                                 std::string_view padding);
// The line of an account, its texts enciphered over padding from `pad`
// (asked for each field's buffer size), with its line end.
std::string FormatAccountLine(const UserAccount& account, std::string (*pad)(std::size_t size));
