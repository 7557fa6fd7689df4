// Fields of the game server links: the console connection, the last status
// report and the player table built from both.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

inline constexpr int kMaxPlayers = 64;
inline constexpr std::size_t kStatusReportMax = 32767;  // bytes of reply held

// One player on the game server. Texts are cut to the widths the clients
// know: name 31, team 9, score/kills/deaths 4, ping 5, address 15,
// keyhash and GUID 32 characters. A free slot has an empty name and id 0.
struct PlayerRecord {
  std::string name;
  std::int32_t id = 0;
  std::string team;  // "axis", "allied", "[unknown]"; empty when not in the report
  std::string score;
  std::string kills;
  std::string deaths;
  std::string ping;
  std::string address;
  std::string keyhash;
  std::string pb_guid;
  // False while team and figures are unknown: the player is missing from
  // the status report, or the report was ambiguous about him. Nothing
  // automatic may act on the figures of such a record.
  bool figures_known = false;
};

struct LinksState {
  /* Console connection */
  int console_socket = -1;  // the game server console link, not in the select set
  bool console_connected = false;
  std::int32_t console_channel = 0;  // sent in "ConsoleMessage %i"; never changes
  std::string response;              // text of the last ConsoleSend
  std::string output;                // text of the last ConsoleRunKey
  std::int32_t last_key = 0;

  /* Status port */
  std::string status_report;  // the last reply, at most 32767 bytes
  std::uint32_t status_port = 0;
  // Waiting on the status port left to this pass of the main loop; no
  // bound until the loop starts its first pass.
  std::chrono::steady_clock::duration status_wait_left = std::chrono::steady_clock::duration::max();
  std::size_t probe_resume = 0;  // where port identification goes on

  /* Player table, filled from slot 0 without gaps */
  std::array<PlayerRecord, kMaxPlayers> players{};
  std::string team_counts;  // "allied / axis / all"
  std::string team_scores;  // "allied / axis / both"
  bool smart_balance_engaged = false;

  // Who hears the console's chat lines (the remote clients' fan-out, which
  // the daemon installs at start-up); none until then.
  void (*chat_line_listener)(const std::string& line) = nullptr;
  // Who hears of every complete refresh of the player table (the player
  // history, which the daemon installs at start-up); none until then.
  void (*player_list_listener)() = nullptr;

  /* What the server told about itself; cleared with the console link */
  double server_version = 0.0;  // detected from the status reply, 0 = unknown
  bool punkbuster_enabled = false;
  std::string punkbuster_version;  // cached "pb_sv_ver" text of the status line
};

// The links' section of the daemon's state (the one instance).
const LinksState& Links();
// Written only inside src/links/; other folders use the functions offered here.
LinksState& MutableLinks();

// Closes the console socket without a word (the state record's reset).
void CloseConsoleSocket();

// A new server was launched: its status port is identified again and the
// status tick logs in to its console.
void ForgetLinksOfOldServer();
// Hands the console link's descriptor over (for closing at the end) and
// forgets it; -1 when there is none.
int TakeConsoleSocket();
// The server's version, read from its status report (0 = unknown).
void SetServerVersion(double version);
// Whether the server runs PunkBuster, read from its status report.
void SetPunkBusterEnabled(bool enabled);
// Keeps the "pb_sv_ver" text the status line shows.
void RememberPunkBusterVersion(const std::string& text);
// The server stopped: no status port, the team figures unknown ("??").
void ForgetLinksOfStoppedServer();
