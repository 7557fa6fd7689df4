// User accounts: the access mask and its letters, useraccess.con with its
// enciphered fields, the login check, and the merge of uploaded account
// files under the uploader's access.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/protocol.h"
#include "wire/account_line.h"

// "SgfiatMpbuhc" style letters for bits 0 to 11, "-- admin --" for the
// administrator mask.
std::string AccessLettersText(std::uint32_t mask);

// Checks a login against useraccess.con in the settings directory (the file,
// not the table). On kLoginAccepted *access holds the account's mask and
// *account_name, when given, the name as the account spells it (a login
// ignores case).
int CheckUserLogin(std::string_view user, std::string_view password, std::uint32_t* access,
                   std::string* account_name = nullptr);

// Fills the account table from the file, rewriting it enciphered when it
// held plain fields. False when it cannot be opened or read (logged).
bool LoadUserAccounts(const std::string& path);
// Writes the account table enciphered. False (logged) on failure.
bool SaveUserAccounts(const std::string& path);
// Replaces the password field of the row whose user name is exactly `user`.
// False (logged where the cause is a file) when nothing was changed.
bool SetUserPassword(std::string_view user, std::string_view password_field);
// Merges an uploaded account file into the table under the sender's access
// and saves the table to useraccess.con. False (logged) on a file failure.
bool ApplyUserAccountUpload(const std::string& path, std::uint32_t sender);
// Writes the lines of useraccess.con the sender may see to `path`.
bool ExportUserAccounts(const std::string& path, std::uint32_t sender);

// Path of useraccess.con in the settings directory.
std::string UserAccessPath();

// Enciphered form of a field: the buffer of `size` bytes over the daemon's
// random padding, RC4 under the client key, as upper-case hex digits.
std::string EncipherField(std::string_view value, std::size_t size);
// Reads a field of a buffer of `size` bytes (see DecodeAccountField).
inline std::string DecodeField(std::string_view field, std::size_t size, bool* plain) {
  return DecodeAccountField(field, size, plain);
}

// min(n, 32) padding characters from the daemon's generator.
std::string RandomPadding(std::size_t n);
