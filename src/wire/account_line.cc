// Splitting, deciphering and writing the lines of useraccess.con.
#include "wire/account_line.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/client_key.h"
#include "core/ids.h"
#include "core/rc4.h"
#include "core/text.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<AccountRow> SplitAccountRow(std::string_view line) {
  AccountRow row;
  for (int i = 0; i < kAccountFields - 1; ++i) {
    std::size_t comma = line.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    row.fields[i] = line.substr(0, comma);
    line.remove_prefix(comma + 1);
  }
  row.fields[kAccountFields - 1] = line;
  return row;
}

std::string JoinAccountRow(const AccountRow& row) {
  std::string line;
  for (int i = 0; i < kAccountFields; ++i) {
    line.append(row.fields[i]);
    line.push_back(i < kAccountFields - 1 ? ',' : '\n');
  }
  return line;
}

std::uint32_t ParseAccessMask(std::string_view text) {
  std::string copy(text.substr(0, 64));
  return static_cast<std::uint32_t>(std::strtoul(copy.c_str(), nullptr, 10));
}

std::string DecodeAccountField(std::string_view field, std::size_t size, bool* plain) {
  if (field.size() != 2 * size || !IsHexString(field)) {
    // A plain text ends at a NUL, as an enciphered one does.
    *plain = true;
    return CutText(field.substr(0, field.find('\0')), size - 1);
  }
  std::vector<unsigned char> buffer(size);
  for (std::size_t i = 0; i < size; ++i)
    buffer[i] = static_cast<unsigned char>(HexValue(field[2 * i]) * 16 + HexValue(field[2 * i + 1]));
  Rc4Crypt(buffer.data(), size, kClientKey, kClientKeySize);
  std::size_t length = strnlen(reinterpret_cast<const char*>(buffer.data()), size);
  return CutText(std::string_view(reinterpret_cast<const char*>(buffer.data()), length), size - 1);
}

UserAccount DecodeAccountRow(const AccountRow& row, bool* plain) {
  UserAccount account;
  account.user_name = DecodeAccountField(row.fields[0], kAccountNameSize, plain);
  account.password = DecodeAccountField(row.fields[1], kAccountPasswordSize, plain);
  account.key_hash = DecodeAccountField(row.fields[2], kAccountKeyHashSize, plain);
  account.access = ParseAccessMask(row.fields[3]);
  account.active = ParseInt(row.fields[4]);
  return account;
}

std::string EncipherAccountField(std::string_view value, std::size_t size,
                                 std::string_view padding) {
  std::vector<unsigned char> buffer(size, 0);
  std::memcpy(buffer.data(), padding.data(), std::min(padding.size(), size));
  std::string cut = CutText(value, size - 1);
  std::memcpy(buffer.data(), cut.c_str(), cut.size() + 1);
  Rc4Crypt(buffer.data(), size, kClientKey, kClientKeySize);
  std::string hex;
  char digits[3];
  for (unsigned char byte : buffer) {
    std::snprintf(digits, sizeof digits, "%02hX", static_cast<unsigned short>(byte));
    hex += digits;
  }
  return hex;
}

std::string FormatAccountLine(const UserAccount& account, std::string (*pad)(std::size_t size)) {
  char numbers[48];
  std::snprintf(numbers, sizeof numbers, ",%lu,%i\n", static_cast<unsigned long>(account.access),
                static_cast<int>(account.active));
  return EncipherAccountField(account.user_name, kAccountNameSize, pad(kAccountNameSize)) + "," +
         EncipherAccountField(account.password, kAccountPasswordSize,
                              pad(kAccountPasswordSize)) +
         "," +
         EncipherAccountField(account.key_hash, kAccountKeyHashSize, pad(kAccountKeyHashSize)) +
         numbers;
}
