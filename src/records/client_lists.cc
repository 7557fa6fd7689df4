// The player and client list files sent to remote clients.
#include "records/client_lists.h"

#include <cstdio>

#include "core/files.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/text.h"
#include "links/links_state.h"

namespace {

// An empty text field is written as "*".
std::string Field(std::string_view text, std::size_t width) {
  std::string cut = CutText(text, width);
  return cut.empty() ? "*" : cut;
}

bool WriteListFile(const std::string& path, const std::string& contents, const char* list) {
  CreateFileWithDirs(path, 0);
  if (!ReplaceFileContents(path, contents)) {
    LogMessage(6, "Couldn't open %s list file! %s", list, ErrorText(LastError()).c_str());
    return false;
  }
  return true;
}

// The ctime text of the session's last command, newline included; empty
// until the first command.
std::string LastCommandText(const ClientListRow& session) {
  char text[64];
  if (session.last_command_at == 0 || ctime_r(&session.last_command_at, text) == nullptr) return "";
  return text;
}

}  // namespace

bool WritePlayerListFile(const std::string& path) {
  std::string contents;
  for (const PlayerRecord& player : Links().players) {
    if (player.name.empty()) break;
    // A GUID that is not known reads "[unknown]", not "*".
    std::string guid = player.pb_guid.empty() ? "[unknown]" : Field(player.pb_guid, 32);
    contents += '"';
    contents += Field(player.name, 31) + "\"," + std::to_string(player.id) + "," +
                Field(player.team, 9) + "," + Field(player.score, 4) + "," +
                Field(player.kills, 4) + "," + Field(player.deaths, 4) + "," +
                Field(player.ping, 5) + "," + Field(player.address, 15) + "," +
                Field(player.keyhash, 32) + "," + guid + "\n";
  }
  return WriteListFile(path, contents, "player");
}

bool WriteClientListFile(const std::string& path, const std::vector<ClientListRow>& clients) {
  std::string contents;
  for (const ClientListRow& session : clients) {
    contents += '"';
    contents += Field(session.user_name, 31) + "\"," + std::to_string(session.slot) + "," +
                Field(session.address, 21) + ",Connected," +
                Field(LastCommandText(session), 29) + "\n";
  }
  return WriteListFile(path, contents, "client");
}
