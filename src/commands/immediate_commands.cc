// The handlers of the commands served at once: downloads, uploads, the
// server's start and stop, the status line, the game address, keep-alive.
#include "commands/handlers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands/command_support.h"
#include "content/content_discovery.h"
#include "core/byte_order.h"
#include "core/core_state.h"
#include "core/files.h"
#include "core/log.h"
#include "core/server_state.h"
#include "wire/status_report.h"
#include "links/console.h"
#include "links/links_state.h"
#include "links/player_table.h"
#include "links/settings_sync.h"
#include "links/status_query.h"
#include "moderation/banned_words.h"
#include "records/client_lists.h"
#include "remote/accounts.h"
#include "remote/connection.h"
#include "remote/remote_state.h"
#include "remote/session.h"
#include "remote/status_line.h"
#include "remote/transport.h"
#include "schedule/schedule.h"
#include "server/launch.h"
#include "settings/settings_files.h"
#include "settings/settings_table.h"

namespace {

std::string SettingsFile(const char* name) { return Core().settings_dir + "/" + name; }
std::string ServerFile(const char* name) { return Core().server_dir + "/" + name; }

void SendSettingsFile(const CommandContext& c, const char* name) {
  QueueFile(SettingsFile(name), c.socket);
}

// Sends a copy made for this client, then removes it.
void SendAndDelete(const CommandContext& c, const std::string& path) {
  QueueFile(path, c.socket);
  std::remove(path.c_str());
}

// Logs "User <user> at <address> <action>".
void LogUserAction(const CommandContext& c, const char* action) {
  LogMessage(6, "User %s at %s %s", c.user.c_str(), c.address.c_str(), action);
}

// An upload that could not be stored (a broken frame, a full disk) is
// already logged; the uploader is told that its command failed.
bool UploadFailed(const CommandContext& c) {
  NotifyClient(kNotifyFailed, c.slot, nullptr, 0);
  return false;
}

// Receives a settings-directory file; on success tells the other clients
// and logs the change.
bool ReceiveSettingsFile(const CommandContext& c, const char* name, std::uint32_t notification,
                         const char* action) {
  if (!StoreFileFrame(SettingsFile(name), c.frame, c.socket)) return UploadFailed(c);
  NotifyAllClients(notification, nullptr, 0, c.slot);
  LogUserAction(c, action);
  return true;
}

// The reply of a command that has nothing to say: a length of 0.
void SendNoReply(const CommandContext& c) {
  unsigned char zero[4] = {};
  QueueClientOutput(c.socket, zero, sizeof zero);
}


// A start or a stop of the game server: the state it brings about, what
// it does and what it says.
struct ServerSwitch {
  bool running;
  bool (*act)();
  std::uint32_t already;  // told to everyone when the server is so already
  const char* tried;
  const char* done;
};

bool StopServerNow() { return StopServer(false); }

constexpr ServerSwitch kStartServer{true, StartServer, kNotifyAlreadyRunning,
                                    "tried to start the server but it is already running.",
                                    "started the server."};
constexpr ServerSwitch kStopServer{false, StopServerNow, kNotifyAlreadyStopped,
                                   "tried to stop the server but it is already stopped.",
                                   "stopped the server."};

void SwitchServer(const CommandContext& c, const ServerSwitch& to) {
  if (Server().server_running == to.running) {
    NotifyAllClients(to.already, nullptr, 0, 0);
    LogUserAction(c, to.tried);
  } else if (to.act()) {
    LogUserAction(c, to.done);
  } else {
    NotifyClient(kNotifyFailed, c.slot, nullptr, 0);
  }
}

}  // namespace

namespace handlers {

/* Handlers of the immediate commands */

// The running PunkBuster writes its settings out first and is given a
// second for it: the client's later commands wait that second, the loop
// does not.
void PbConfigDown(const CommandContext& c) {
  std::string path = ServerFile("pb/pbsv.cfg");
  int socket = c.socket;
  if (Links().console_connected && Links().punkbuster_enabled &&
      ConsoleSend("pb_sv_writecfg")) {
    HoldConnection(socket, std::chrono::seconds(1), [path, socket] { QueueFile(path, socket); });
    return;
  }
  QueueFile(path, socket);
}

void PbConfigUp(const CommandContext& c) {
  if (StoreFileFrame(ServerFile("pb/pbsv.cfg"), c.frame, c.socket))
    LogUserAction(c, "updated the PunkBuster server config.");
  else
    UploadFailed(c);
}

void ModsDown(const CommandContext& c) {
  WriteModsFile(SettingsFile("mods.con"));
  SendSettingsFile(c, "mods.con");
}

void MapsDown(const CommandContext& c) {
  WriteMapsFile(SettingsFile("maps.con"));
  SendSettingsFile(c, "maps.con");
}
void RotationDown(const CommandContext& c) { SendSettingsFile(c, "servermaplist.con"); }

void RotationUp(const CommandContext& c) {
  if (!ReceiveSettingsFile(c, "servermaplist.con", kNotifyRotationChanged,
                           "updated the map rotation."))
    return;
  struct stat info;
  if (::stat(SettingsFile("servermaplist.con").c_str(), &info) == 0 && info.st_size == 0)
    LogMessage(6, "WARNING: User %s at %s saved an empty map rotation!", c.user.c_str(),
               c.address.c_str());
}

void PlayerListDown(const CommandContext& c) {
  std::string path = ServerFile("playerlist.con");
  GetPlayerList();
  WritePlayerListFile(path);
  SendAndDelete(c, path);
}

void ClientListDown(const CommandContext& c) {
  std::string path = ServerFile("clientlist.con");
  std::vector<ClientListRow> clients;
  for (int slot = 1; slot < kSessionSlots; ++slot) {
    const ClientSession& session = Remote().sessions[slot];
    if (session.socket != 0)
      clients.push_back({slot, session.user_name, session.address, session.last_command_at});
  }
  WriteClientListFile(path, clients);
  SendAndDelete(c, path);
}

void PlayerMenuDown(const CommandContext& c) { SendSettingsFile(c, "playermenu.con"); }
void BanListDown(const CommandContext& c) { SendSettingsFile(c, "serverbanlist.con"); }

void BanListUp(const CommandContext& c) {
  ReceiveSettingsFile(c, "serverbanlist.con", kNotifyBanListChanged,
                      "updated the banlist.");
}

void AccountsDown(const CommandContext& c) {
  std::string path = ServerFile("useraccess.con");
  ExportUserAccounts(path, static_cast<std::uint32_t>(c.slot));
  SendAndDelete(c, path);
}

void AccountsUp(const CommandContext& c) {
  std::string path = ServerFile("useraccess.con");
  if (!StoreFileFrame(path, c.frame, c.socket, FileAccess::kOwnerOnly)) {
    UploadFailed(c);
    return;
  }
  bool merged = ApplyUserAccountUpload(path, static_cast<std::uint32_t>(c.slot));
  std::remove(path.c_str());
  if (!merged) {
    UploadFailed(c);
    return;
  }
  NotifyAllClients(kNotifyUsersChanged, nullptr, 0, c.slot);
  LogUserAction(c, "updated the user list.");
}

void ScheduleDown(const CommandContext& c) { SendSettingsFile(c, "serverschedule.con"); }

void ScheduleUp(const CommandContext& c) {
  std::string path = SettingsFile("serverschedule.con");
  // Stored beside the schedule and checked before it replaces it.
  std::string uploaded = path + ".upload";
  if (!StoreFileFrame(uploaded, c.frame, c.socket)) {
    UploadFailed(c);
    return;
  }
  if (!AcceptUploadedSchedule(uploaded, path)) {
    UploadFailed(c);
    return;
  }
  NotifyAllClients(kNotifyScheduleChanged, nullptr, 0, c.slot);
  LogUserAction(c, "updated the event schedule.");
}

void AnnouncementsDown(const CommandContext& c) { SendSettingsFile(c, "announcements.con"); }

void AnnouncementsUp(const CommandContext& c) {
  ReceiveSettingsFile(c, "announcements.con", kNotifyAnnouncementsChanged,
                      "updated the announcements.");
}

void BannedWordsDown(const CommandContext& c) { SendSettingsFile(c, "bannedwords.con"); }

void BannedWordsUp(const CommandContext& c) {
  if (!StoreFileFrame(SettingsFile("bannedwords.con"), c.frame, c.socket)) {
    UploadFailed(c);
    return;
  }
  LoadBannedWords();
  NotifyAllClients(kNotifyBannedWordsChanged, nullptr, 0, c.slot);
  LogUserAction(c, "updated the banned words.");
}

// The log itself when it is small enough, else its last 32768 bytes. The
// excerpt goes to a private temporary file: a fixed name in /tmp could be
// planted as a link to a file the daemon would then overwrite.
void LogDown(const CommandContext& c) {
  std::string log = LogFilePath();
  struct stat info;
  if (::stat(log.c_str(), &info) == 0 && info.st_size <= kLogExcerptSize) {
    QueueFile(log, c.socket);
    return;
  }
  char temp[] = "/tmp/korvd.log.XXXXXX";
  int fd = ::mkstemp(temp);
  if (fd < 0) {
    QueueFile(temp, c.socket);  // sends the abort marker and logs why
    return;
  }
  ::close(fd);
  WriteLogExcerpt(temp);
  SendAndDelete(c, temp);
}

void KeepAlive(const CommandContext& c) { NotifyClient(kNotifyKeepAlive, c.slot, nullptr, 0); }

/* Commands served by other subsystems' procedures */

// The settings of the session's groups only: the access mask is the group
// mask (bit 15 admits the settings that apply at server start).
void SettingsDown(const CommandContext& c) {
  QueueText(ServerFile("korvane.con"), SettingsText(c.access), c.socket);
}

// An upload changes only the groups the uploader may change, then becomes
// the stored settings, reaches the running server and its autoexec file.
void SettingsUp(const CommandContext& c) {
  // Taken in from memory: the upload holds passwords and never touches the disk.
  std::string text;
  if (!TakeFileFrame(ServerFile("korvane.con"), c.frame, c.socket, &text)) {
    UploadFailed(c);
    return;
  }
  LoadSettingsText(text, ServerFile("korvane.con"), c.access, c.slot);
  // Settings that cannot be stored (a full disk) are not taken: the table
  // goes back to the stored file, the server keeps what it has.
  if (!SaveSettings(SettingsFile("korvane.con"), kAllGroups)) {
    LoadSettings(SettingsFile("korvane.con"), kAllGroups, kNoCaller);
    UploadFailed(c);
    return;
  }
  if (Server().server_running) PushSettingChanges();
  WriteServerAutoexec(SettingsFile("serverautoexec.con"));
  NotifyAllClients(kNotifySettingsChanged, nullptr, 0, c.slot);
}

void StatusReply(const CommandContext& c) {
  std::string line;
  if (GetServerStatusString(&line)) {
    SendReply(c, line);
  } else {
    SendNoReply(c);
  }
}

void StartServerCommand(const CommandContext& c) { SwitchServer(c, kStartServer); }

void StopServerCommand(const CommandContext& c) { SwitchServer(c, kStopServer); }

// "hostport,flag" of the running server, the flag 1 on an Internet server.
void GameAddressReply(const CommandContext& c) {
  std::optional<std::string> port;
  if (Server().server_running && Links().status_port != 0)
    port = StatusValue(Links().status_report, "hostport");
  if (!port) {
    SendNoReply(c);
    return;
  }
  SendReply(c, *port + "," + (SettingValue(kSetServerInternet) != 0 ? "1" : "0"));
}

}  // namespace handlers
