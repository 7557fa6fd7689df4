// korvctl's command line: the global options wherever they appear, the
// subcommand and its words, and the credentials from options, environment
// or an owner-only credentials file.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvctl {

struct Options {
  std::string host = "127.0.0.1";
  int port = 14667;
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> credentials_file;
  int timeout_ms = 10000;
  bool json = false;
  bool help = false;
  bool version = false;
  bool host_given = false;
  bool port_given = false;
  std::string subcommand;
  // The subcommand's own words and options, in order.
  std::vector<std::string> words;
  bool timeout_given = false;
  // --fleet FILE: the command runs against every daemon the file lists.
  std::optional<std::string> fleet_file = std::nullopt;
};

// Parses argv; false with a message for a usage error.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// Fills user and password (and host and port unless given) from the
// environment (KORV_USER, KORV_PASSWORD) and the credentials file
// (--credentials, KORV_CREDENTIALS or ~/.config/korvctl/credentials).
// False with a message when the file is unsafe or unreadable, or when no
// user name or password can be found.
bool ResolveCredentials(Options* options, std::string* error);

// Parses "key = value" lines of a credentials file (user, password, host,
// port; '#' starts a comment).
bool ParseCredentials(const std::string& text, Options* options, std::string* error);

// The text without leading and trailing blanks (spaces, tabs, CR).
std::string Trim(const std::string& text);

// A duration such as 90, 90s, 30m, 12h or 7d in seconds; none when invalid.
std::optional<long> ParseDuration(const std::string& text);

}  // namespace korvctl
