// One account edit applied to useraccess.con with the file's own line code
// (wire/account_line.h) and the daemon's granting rule (core/protocol.h).
#include "korvweb/account_form.h"

#include <strings.h>

#include "core/protocol.h"
#include "korvctl/protocol.h"
#include "wire/account_line.h"

namespace korvweb {
namespace {

using nlohmann::json;

// A name, password or key hash: no blank, comma or control character.
bool Token(const json& edit, const char* name, std::size_t max, std::string* out, std::string* error) {
  *out = edit.contains(name) && edit[name].is_string() ? edit[name].get<std::string>() : "";
  if (out->size() > max) return *error = std::string(name) + " is longer than " + std::to_string(max), false;
  for (unsigned char c : *out)
    if (c <= ' ' || c == ',' || c == 0x7F) return *error = std::string(name) + " may not hold blanks or commas", false;
  return true;
}

std::string Enciphered(std::string_view value, std::size_t size) {
  return EncipherAccountField(value, size, korvctl::PaddingText(size));
}

}  // namespace

bool ApplyAccountEdit(std::string_view file, const json& edit, std::uint32_t access,
                      std::string* updated, std::string* error) {
  std::string op = edit.value("op", ""), user, password, keyhash;
  if (op != "create" && op != "update" && op != "delete") return *error = "op must be create, update or delete", false;
  if (!Token(edit, "user", kAccountNameSize - 1, &user, error) ||
      !Token(edit, "password", kAccountPasswordSize - 1, &password, error) ||
      !Token(edit, "keyhash", kAccountKeyHashSize - 1, &keyhash, error))
    return false;
  if (user.empty()) return *error = "user is missing", false;
  std::uint32_t mask = edit.contains("mask") && edit["mask"].is_number_unsigned() ? edit["mask"].get<std::uint32_t>() : 0;
  bool enabled = edit.value("enabled", json(true)) != false;
  if (op != "delete" && mask == 0) return *error = "an account needs at least one right", false;
  if (op != "delete" && !AccessIsSubset(access, mask))
    return *error = "refused: you may grant only the rights your own account holds", false;
  if (op == "create" && password.empty()) return *error = "a new account needs a password", false;
  updated->clear();
  bool found = false;
  while (!file.empty()) {
    std::size_t end = file.find('\n');
    std::string_view line = file.substr(0, end);
    file = end == std::string_view::npos ? std::string_view() : file.substr(end + 1);
    std::optional<AccountRow> row = SplitAccountRow(line);
    bool plain = false;
    UserAccount account = row ? DecodeAccountRow(*row, &plain) : UserAccount{};
    if (!row || ::strcasecmp(account.user_name.c_str(), user.c_str()) != 0) {
      if (!line.empty()) updated->append(line).append("\n");
      continue;
    }
    if (op == "create") return *error = "an account named " + account.user_name + " exists already", false;
    if (!AccessIsSubset(access, account.access))
      return *error = "refused: " + account.user_name + " holds rights your own account lacks", false;
    found = true;
    if (op == "delete") continue;
    std::string access_text = std::to_string(mask), enabled_text = enabled ? "1" : "0";
    std::string password_field = password.empty() ? "" : Enciphered(password, kAccountPasswordSize);
    std::string key_field = edit.contains("keyhash") ? Enciphered(keyhash, kAccountKeyHashSize) : "";
    if (!password_field.empty()) row->fields[1] = password_field;
    if (edit.contains("keyhash")) row->fields[2] = key_field;
    row->fields[3] = access_text;
    row->fields[4] = enabled_text;
    updated->append(JoinAccountRow(*row));
  }
  if (op == "create") {
    *updated += FormatAccountLine({user, password, keyhash, mask, enabled ? 1 : 0}, korvctl::PaddingText);
    return true;
  }
  if (!found) return *error = "no account is named " + user, false;
  return true;
}

}  // namespace korvweb
