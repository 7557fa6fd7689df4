// The game server's remote console: logging in, the synchronisation after
// a login, one command exchange at a time, and the chat and event lines the
// server mixes into its answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Most bytes of strings one console answer may carry; more drops the link.
inline constexpr std::size_t kMaxConsoleAnswer = 4u << 20;

// Installs who hears each chat or event line the console sends (the text
// from its sixth character); the daemon hands them to the remote clients.
void SetChatLineListener(void (*listener)(const std::string& line));

// Connects to the running server's console, logs in and synchronises the
// status port, the settings and the player list. False with the last
// error set (0 when no server runs or the address or port is zero, 30008
// for refused credentials, 30009-30011 for a failed synchronisation).
bool ConsoleConnect();
// The queued reconnection: nothing while connected, else ConsoleConnect.
// A failure is logged, except refused, timed-out and would-block attempts
// (a server still starting) unless -debug.
void ReconnectConsole();
// Closes the link and forgets what belonged to it (player table, status
// port, server version, smart balance, PunkBuster version). Logs
// "Disconnected".
void ConsoleDisconnect();
// Sends one command (printf style, at most 2047 characters; "\n" separates
// lines) and returns its output lines, each ending in "\n". None when the
// link is down or fails (the link is then dropped).
std::optional<std::string> ConsoleSend(const char* format, ...)
    __attribute__((format(printf, 1, 2)));
// Sends a key request; with character 0 it fetches what the console printed
// since the last call. None when the link is down or fails.
std::optional<std::string> ConsoleRunKey(int character);
// Reports the failure in the last error and disconnects. Always false.
bool ConsoleLinkFailed();


// Sends a text to the players: a server message, or game chat with
// -noadmin. False when the console command failed.
bool SendServerMessage(const std::string& text);

// Splits a command text into the strings of a request ("a\n\nb" gives a, an
// empty string and b; a final "\n" adds nothing).
std::string EncodeConsoleRequest(std::string_view channel_string, std::string_view text);
