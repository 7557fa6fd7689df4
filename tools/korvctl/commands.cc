// The subcommand table with its help pages, and the runner that connects,
// logs in, checks the access and hands over to the subcommand.
#include "commands.h"

#include <array>
#include <iostream>

#include "context.h"
#include "ban_list.h"
#include "files.h"
#include "fleet.h"
#include "handlers.h"
#include "history.h"
#include "schedule_view.h"

namespace korvctl {
namespace {

constexpr std::uint32_t C(std::uint32_t n) { return kClientBase + n; }

const std::array kSubcommands{
    Subcommand{"status", "status", "show the server's status line as labelled fields",
               "Asks the daemon for its one-line status text and shows it field by field:\n"
               "server name, address, players, maps, state, last crash, console link, game\n"
               "mode and version, password, team-kill mode, content check, team scores and\n"
               "counts, round time, tickets and PunkBuster. Missing values read ??.\n"
               "--json adds the raw line.",
               C(0x15), RunStatus},
    Subcommand{"address", "address", "show the game port and whether the server is on the Internet",
               "Asks for the game address: the hostport value of the server's status reply\n"
               "and the game.serverInternet flag. Fails while the server is stopped.",
               C(0x1D), RunAddress},
    Subcommand{"players", "players", "list the players on the server as a table",
               "Downloads the player list (the daemon refreshes it first) and prints name, id,\n"
               "team, score, kills, deaths, ping, address, key hash and PunkBuster GUID.",
               C(0x0C), RunList},
    Subcommand{"clients", "clients", "list the connected remote clients",
               "Downloads the client list: user, slot, address, state and the time of the\n"
               "client's last command (* when it has sent none).",
               C(0x0D), RunList},
    Subcommand{"bans", "bans", "list the daemon's bans: who, by whom, when, why, until when",
               "Downloads the daemon's ban list (serverbanlist.con) and shows each ban: player,\n"
               "address, key hash and GUID banned (- for none), who banned, when, when it\n"
               "expires (never, or a time; \"(due)\" once passed and not yet lifted) and why.\n"
               "--json gives the times also as seconds since the epoch (0 = none).",
               C(0x0F), RunBans},
    Subcommand{"whoami", "whoami", "show your access letters and whether the server runs",
               "Logs in and shows the access mask the daemon granted, as letters S G F I A T M\n"
               "P B U H C (upper case when granted) and the extra rights, and whether a game\n"
               "server is being watched.",
               0, RunWhoami},
    Subcommand{"ping", "ping", "send a keep-alive and time its answer",
               "Sends the keep-alive command and waits for its answer.", C(0x32), RunPing},
    Subcommand{"health", "health", "one line for a monitor: daemon, server and console",
               "Logs in and reads the status line. Prints one line and exits 0 when the daemon\n"
               "answers and the game server runs with its console connected; otherwise says\n"
               "why and exits 1 (3 to 6 or 11 to 19 when the daemon cannot be reached or\n"
               "refuses the login). --json prints the same as a JSON object.",
               C(0x15), RunHealth},
    Subcommand{"kick", "kick ID REASON...", "kick a player",
               "Kicks the player with the game id ID (see korvctl players) for REASON.",
               C(0x23), RunQueued, KickText, {kNotifyPlayerKicked, 0}},
    Subcommand{"ban", "ban ID REASON... [--duration D]\n    korvctl ban --address A|--keyhash K|--guid G [--name N] REASON... [--duration D]",
               "ban a player, on the server or by address, key hash or GUID",
               "Bans the player with id ID, filling name, address, key hash and GUID from\n"
               "the player list (when you may read it) unless given, or bans the identities\n"
               "given as options (player id -1). D is seconds or a number with s, m, h, d or\n"
               "w; 0 or none bans for ever.",
               C(0x25), RunBan, nullptr, {kNotifyPlayerBanned, 0}},
    Subcommand{"unban", "unban [--name N] [--address A] [--keyhash K] [--guid G]",
               "lift a ban by address, key hash or GUID",
               "Removes the bans on the given identities from every ban list. The name only\n"
               "appears in the messages.",
               C(0x26), RunQueued, UnbanText, {kNotifyBanRemoved, 0}},
    Subcommand{"ban-name", "ban-name NAME", "ban a player name",
               "Adds NAME to the banned words as a banned player name. A name that is empty\n"
               "or holds a comma or a line break is refused, as the daemon refuses it.",
               C(0x28), RunQueued,
               NameText, {kNotifyNameBanned, 0}},
    Subcommand{"clear-bans", "clear-bans", "clear every ban list",
               "Clears the daemon's ban list and the game's (and PunkBuster's) ban lists.",
               C(0x27), RunQueued, nullptr, {kNotifyBansCleared, 0}},
    Subcommand{"verify-bans", "verify-bans", "check that the ban lists agree",
               "Asks the daemon whether its ban list and the game's agree. Exit status 1 when\n"
               "they do not.",
               C(0x29), RunQueued, nullptr, {kNotifyBansInSync, 0}, 0, kNotifyBansNotInSync},
    Subcommand{"push-bans", "push-bans", "copy the daemon's ban list into the game's ban lists",
               "Rewrites the game's and PunkBuster's ban lists from the daemon's list; the\n"
               "game server reads them at its next start. Refused while the server runs (it\n"
               "keeps its own ban list then): stop it first.",
               C(0x2A), RunQueued, nullptr, {kNotifyBansInSync, 0}},
    Subcommand{"pull-bans", "pull-bans", "rebuild the daemon's ban list from the game's",
               "Rebuilds the daemon's ban list from the game's ban lists; names, admins, times\n"
               "and reasons are lost.",
               C(0x2B), RunQueued, nullptr, {kNotifyBansInSync, 0}},
    Subcommand{"say", "say TEXT...", "say something to all players in the game chat",
               "Sends TEXT (at most 255 characters) as game chat.", C(0x2C), RunQueued, ChatText,
               {kNotifyChatSent, 0}},
    Subcommand{"message", "message TEXT...", "send a server message to all players",
               "Sends TEXT (at most 255 characters) as a server message.", C(0x2D), RunQueued,
               ChatText, {kNotifyMessageSent, 0}},
    Subcommand{"console", "console COMMAND...", "send a raw console command to the game server",
               "Sends COMMAND as it is to the game server's console.", C(0x2E), RunQueued,
               ConsoleText, {kNotifyConsoleSent, 0}},
    Subcommand{"map", "map MAP", "change the map now",
               "Changes the current map to MAP.", C(0x1E), RunQueued, MapText, {kNotifyMapChanged, 0}},
    Subcommand{"next-map", "next-map", "move on to the next map of the rotation",
               "Runs the next map of the rotation.", C(0x1F), RunQueued, nullptr, {kNotifyNextMapRun, 0}},
    Subcommand{"set-next-map", "set-next-map MAP", "choose the map that comes next",
               "Sets MAP as the next map; with the server stopped, the map the next start\n"
               "begins with.",
               C(0x20), RunQueued, MapText, {kNotifyNextMapSet, 0}},
    Subcommand{"idle-map", "idle-map [MAP]", "set or clear the idle map",
               "Sets the map an empty server switches to; without MAP clears it.", C(0x21),
               RunQueued, IdleMapText, {kNotifyIdleMapSet, 0}},
    Subcommand{"restart-map", "restart-map", "restart the current map",
               "Restarts the current map.", C(0x22), RunQueued, nullptr, {kNotifyMapRestarted, 0}},
    Subcommand{"pause", "pause", "pause or unpause the game",
               "Toggles the game's pause and reports which way it went.", C(0x1C), RunQueued,
               nullptr, {kNotifyPaused, kNotifyUnpaused}},
    Subcommand{"start", "start", "start the game server",
               "Starts the game server. Exit status 7 when it is already running.", C(0x1A),
               RunQueued, nullptr, {kNotifyServerStarted, 0}, kNotifyAlreadyRunning},
    Subcommand{"stop", "stop", "stop the game server",
               "Stops the game server. Exit status 7 when it is already stopped.", C(0x1B),
               RunQueued, nullptr, {kNotifyServerStopped, 0}, kNotifyAlreadyStopped},
    Subcommand{"password", "password", "change your own password",
               "Changes the password of the account you log in with. The new password\n"
               "(1 to 31 characters) comes from KORV_NEW_PASSWORD, or is asked for on the\n"
               "terminal, or is the first line of standard input. It travels enciphered.",
               C(0x2F), RunQueued, PasswordText, {kNotifyPasswordChanged, 0}},
    Subcommand{"screenshot", "screenshot PLAYER", "ask PunkBuster for a player's screenshot",
               "Sends pb_sv_getss with PLAYER as PunkBuster takes it.", C(0x31), RunQueued,
               ScreenshotText, {kNotifyScreenshotSent, 0}},
    Subcommand{"pb-save", "pb-save", "save the PunkBuster settings to pbsv.cfg",
               "Has PunkBuster write its settings to pbsv.cfg.", C(0x04), RunQueued, nullptr,
               {kNotifyPbSaved, 0}},
    Subcommand{"pb-load", "pb-load", "load the PunkBuster settings from pbsv.cfg",
               "Has PunkBuster load its settings from pbsv.cfg.", C(0x05), RunQueued, nullptr,
               {kNotifyPbLoaded, 0}},
    Subcommand{"disconnect", "disconnect SLOT", "disconnect another remote client",
               "Disconnects the client in SLOT (see korvctl clients) and checks that it is\n"
               "gone.",
               C(0x24), RunDisconnect},
    Subcommand{"schedule", "schedule", "list the scheduled events and when each fires next",
               "Downloads the event schedule and shows each event: its time (the date too\n"
               "for a one-shot event), day keyword, action, settings and maplist files, and\n"
               "the next time it fires, in this machine's local time zone (set TZ to see\n"
               "another). Disabled events and events that cannot fire say so.",
               C(0x13), RunSchedule},
    Subcommand{"history", "history NAME|KEYHASH|ADDRESS",
               "show what the daemon remembers of a player",
               "Shows each player the query matches (a key hash of 32 hexadecimal digits, an\n"
               "address, or a name or part of one; exact names first, at most 10 players):\n"
               "key hash, GUID, first and last time seen, time played, every name and address\n"
               "with first and last time, the latest sessions and the warnings, kicks, bans,\n"
               "unbans and notes with who and why. --json gives the same with times as seconds\n"
               "since the epoch and every text exact.",
               kClientPlayerHistory, RunHistory},
    Subcommand{"note", "note KEYHASH TEXT...", "add a note on a player to the history",
               "Adds TEXT as a note, signed with your user name, to the history of the player\n"
               "with the key hash KEYHASH. Fails when no such player was ever seen.",
               kClientHistoryNote, RunNote},
    Subcommand{"get", "get FILE [-o PATH|-]", "download one of the daemon's files",
               "Downloads FILE and writes it to PATH (default: the file's own name in the\n"
               "current directory; - for standard output). The file is written beside the\n"
               "target and renamed over it, so a failed download never leaves a partial file.\n"
               "FILE is one of: settings (korvane.con), pb-config (pbsv.cfg), mods, maps,\n"
               "rotation (servermaplist.con), players, clients, player-menu, bans\n"
               "(serverbanlist.con), users (useraccess.con), schedule, announcements,\n"
               "banned-words, log.",
               0, RunGet},
    Subcommand{"put", "put FILE [-i PATH|-]", "upload one of the daemon's files",
               "Uploads PATH (default: the file's own name; - for standard input) as FILE,\n"
               "one of: settings, pb-config, rotation, bans, users, schedule, announcements,\n"
               "banned-words. korvctl then sends a keep-alive to see the upload taken and\n"
               "downloads the file again: files the daemon keeps as sent must match byte for\n"
               "byte, settings value for value (users are not compared).",
               0, RunPut},
    Subcommand{"watch", "watch [--count N] [--for DURATION]", "print notifications as they arrive",
               "Stays connected and prints every notification in words (server started,\n"
               "player kicked: Bob, console: a chat line, ...), one per line, until Ctrl-C,\n"
               "N notifications or DURATION. With --json each is one JSON object per line.",
               0, RunWatch},
    Subcommand{"raw", "raw CODE [TEXT]", "send any command code and show what comes back",
               "Sends command CODE (0 to 0x32, or kClientSettingsDownload + n) with TEXT when given, and\n"
               "prints the notifications that arrive before the answer to a keep-alive sent\n"
               "after it. Meant for the codes that have no subcommand (6 and 7).",
               0, RunRaw},
};

const Subcommand* FindSubcommand(const std::string& name) {
  for (const Subcommand& row : kSubcommands)
    if (row.name == name) return &row;
  return nullptr;
}

constexpr std::string_view kGlobalOptions =
    "    -H, --host HOST       daemon address (default 127.0.0.1)\n"
    "    -p, --port PORT       daemon port (default 14667)\n"
    "    -u, --user USER       user name (or KORV_USER)\n"
    "    --password PASSWORD   password (better: KORV_PASSWORD or a credentials file)\n"
    "    --credentials FILE    credentials file (default KORV_CREDENTIALS or\n"
    "                          ~/.config/korvctl/credentials; must be mode 600)\n"
    "    -t, --timeout SECONDS wait at most this long for any answer (default 10)\n"
    "    --fleet FILE          run status, health, players, ping, whoami, say or\n"
    "                          message against every daemon FILE lists (lines\n"
    "                          \"name address[:port]\"), at once; one table, or one\n"
    "                          JSON object per daemon; exit 1 when any failed; the\n"
    "                          timeout is per daemon (default 5 with --fleet)\n"
    "    --json                machine-readable output\n"
    "    -h, --help            this help, or the page of a subcommand\n"
    "    --version             the name and version\n";

constexpr std::string_view kExitTable =
    "    0   success\n"
    "    1   the command failed (the daemon said so, or the result was not as asked)\n"
    "    2   usage error\n"
    "    3   no connection, or the connection was lost\n"
    "    4   timeout: no answer in time\n"
    "    5   protocol error: a corrupt frame, an unknown notification\n"
    "    6   refused: the account lacks the access for the command\n"
    "    7   nothing to do: the server is already running (start) or stopped (stop)\n"
    "    11  login: no account has this user name\n"
    "    12  login: wrong password\n"
    "    13  login: the account is disabled\n"
    "    14  login: the account has no access rights\n"
    "    15  login: the daemon has no usable account\n"
    "    16  login: the account is already connected\n"
    "    17  login: the daemon serves 16 clients already\n"
    "    18  login: the daemon speaks another protocol version\n"
    "    19  login: the daemon's answer is not a login answer\n";

std::string Outcome(const Subcommand& row) {
  if (row.handler != RunQueued) return "";
  std::string text = "    Waits for";
  for (std::uint32_t code : row.ok)
    if (code != 0) text += (text.size() > 13 ? " or \"" : " \"") + std::string(NoticeName(code)) + "\"";
  text += " (exit 0) or \"command failed\" (exit 1)";
  if (row.already) text += ", \"" + std::string(NoticeName(row.already)) + "\" (exit 7)";
  if (row.not_ok) text += ", \"" + std::string(NoticeName(row.not_ok)) + "\" (exit 1)";
  return "\nOUTCOME\n" + text + ".\n";
}

std::string Indent(std::string_view text) {
  std::string out = "    ";
  for (char c : text) {
    out += c;
    if (c == '\n') out += "    ";
  }
  return out + "\n";
}

}  // namespace

const Subcommand* SubcommandForCode(std::uint32_t code) {
  for (const Subcommand& row : kSubcommands)
    if (row.code == code && row.handler != nullptr && (row.ok[0] != 0 || row.already != 0)) return &row;
  return nullptr;
}

std::string GeneralHelp() {
  std::string text =
      "NAME\n    korvctl - command-line remote client of the korvd daemon\n\n"
      "SYNOPSIS\n    korvctl [OPTIONS] SUBCOMMAND [ARGUMENTS]\n    korvctl help SUBCOMMAND\n\n"
      "DESCRIPTION\n"
      "    Logs in to korvd over its remote-administration protocol, runs one\n"
      "    subcommand, reports its outcome and exits with a status that says how it\n"
      "    went. The user name and password come from the options, the environment\n"
      "    (KORV_USER, KORV_PASSWORD) or an owner-only credentials file of key = value\n"
      "    lines (user, password, host, port). The password is never printed.\n\n"
      "OPTIONS\n" + std::string(kGlobalOptions) + "\nSUBCOMMANDS\n";
  for (const Subcommand& row : kSubcommands) {
    std::string name(row.name);
    text += "    " + name + std::string(name.size() < 14 ? 14 - name.size() : 1, ' ') +
            std::string(row.summary) + "\n";
  }
  text += "\nEXIT STATUS\n" + std::string(kExitTable);
  return text;
}

std::optional<std::string> SubcommandHelp(const std::string& name) {
  const Subcommand* row = FindSubcommand(name);
  if (row == nullptr) return std::nullopt;
  std::string text = "NAME\n    korvctl " + std::string(row->name) + " - " +
                     std::string(row->summary) + "\n\nSYNOPSIS\n    korvctl [OPTIONS] " +
                     std::string(row->synopsis) + "\n\nDESCRIPTION\n" + Indent(row->description);
  if (row->code != 0) text += "\nACCESS\n    Needs " + AccessNeeded(row->code) + ".\n";
  text += Outcome(*row);
  text += "\nOPTIONS\n" + std::string(kGlobalOptions) + "\nEXIT STATUS\n" + std::string(kExitTable);
  return text;
}

int RunKorvctl(Options& options) {
  Context context{options, {}, options.subcommand};
  if (options.subcommand == "help" || options.subcommand.empty() ||
      (options.help && options.subcommand.empty())) {
    std::string topic = options.words.empty() ? "" : options.words[0];
    if (topic.empty()) {
      std::cout << GeneralHelp();
      return options.subcommand.empty() && !options.help ? kExitUsage : kExitOk;
    }
    std::optional<std::string> page = SubcommandHelp(topic);
    if (!page) return Fail(context, kExitUsage, "no subcommand " + topic);
    std::cout << *page;
    return kExitOk;
  }
  const Subcommand* row = FindSubcommand(options.subcommand);
  if (row == nullptr)
    return Fail(context, kExitUsage,
                "unknown subcommand '" + options.subcommand + "'; see korvctl --help");
  if (options.help) {
    std::cout << *SubcommandHelp(options.subcommand);
    return kExitOk;
  }
  if (options.fleet_file) return RunFleet(options);
  std::string error;
  if (!ResolveCredentials(&options, &error)) return Fail(context, kExitUsage, error);
  context.link.set_timeout_ms(options.timeout_ms);
  if (!context.link.Connect(options.host, options.port) ||
      !context.link.Login(*options.user, *options.password))
    return LinkFailed(context);
  if (row->code != 0 && !MaskAdmitsCommand(context.link.access(), row->code))
    return Fail(context, kExitRefused, "access refused: user " + *options.user + " lacks " +
                                           AccessNeeded(row->code) + ", which " +
                                           std::string(row->name) + " needs");
  return row->handler(context, *row);
}

}  // namespace korvctl
