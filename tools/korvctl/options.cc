// Global options and credentials of korvctl.
#include "options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/files.h"
#include "core/last_error.h"

namespace korvctl {
namespace {

bool ParseNumber(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  *value = std::atol(text.c_str());
  return *value >= low && *value <= high;
}

// Options that take a value; the value is the next word or follows '='.
bool TakeValue(const std::vector<std::string>& args, std::size_t* i, const std::string& name,
               std::string* value, std::string* error) {
  const std::string& word = args[*i];
  if (word.size() > name.size() && word[name.size()] == '=') {
    *value = word.substr(name.size() + 1);
    return true;
  }
  if (*i + 1 >= args.size()) {
    *error = name + " needs a value";
    return false;
  }
  *value = args[++*i];
  return true;
}

bool Matches(const std::string& word, const std::string& name) {
  return word == name || word.rfind(name + "=", 0) == 0;
}

std::string DefaultCredentialsPath() {
  if (const char* path = std::getenv("KORV_CREDENTIALS"); path && *path) return path;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
    return std::string(config) + "/korvctl/credentials";
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::string(home) + "/.config/korvctl/credentials";
  return "";
}

}  // namespace

std::string Trim(const std::string& text) {
  std::size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(" \t\r");
  return text.substr(start, end - start + 1);
}

bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
  bool rest_are_words = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    std::string value;
    long number = 0;
    if (rest_are_words || word.empty() || word[0] != '-' || word == "-") {
      if (options->subcommand.empty() && !rest_are_words)
        options->subcommand = word;
      else
        options->words.push_back(word);
      continue;
    }
    if (word == "--") {
      rest_are_words = true;
      if (options->subcommand.empty() && i + 1 < args.size()) options->subcommand = args[++i];
    } else if (word == "-h" || word == "--help") {
      options->help = true;
    } else if (word == "--version") {
      options->version = true;
    } else if (word == "--json") {
      options->json = true;
    } else if (Matches(word, "--host") || word == "-H") {
      if (!TakeValue(args, &i, word == "-H" ? "-H" : "--host", &options->host, error)) return false;
      options->host_given = true;
    } else if (Matches(word, "--port") || word == "-p") {
      if (!TakeValue(args, &i, word == "-p" ? "-p" : "--port", &value, error)) return false;
      if (!ParseNumber(value, 1, 65535, &number)) {
        *error = "the port must be a number from 1 to 65535, not '" + value + "'";
        return false;
      }
      options->port = static_cast<int>(number);
      options->port_given = true;
    } else if (Matches(word, "--user") || word == "-u") {
      if (!TakeValue(args, &i, word == "-u" ? "-u" : "--user", &value, error)) return false;
      options->user = value;
    } else if (Matches(word, "--password")) {
      if (!TakeValue(args, &i, "--password", &value, error)) return false;
      options->password = value;
    } else if (Matches(word, "--credentials")) {
      if (!TakeValue(args, &i, "--credentials", &value, error)) return false;
      options->credentials_file = value;
    } else if (Matches(word, "--timeout") || word == "-t") {
      if (!TakeValue(args, &i, word == "-t" ? "-t" : "--timeout", &value, error)) return false;
      if (!ParseNumber(value, 1, 3600, &number)) {
        *error = "the timeout must be a number of seconds from 1 to 3600, not '" + value + "'";
        return false;
      }
      options->timeout_ms = static_cast<int>(number * 1000);
      options->timeout_given = true;
    } else if (Matches(word, "--fleet")) {
      if (!TakeValue(args, &i, "--fleet", &value, error)) return false;
      options->fleet_file = value;
    } else if (!options->subcommand.empty()) {
      options->words.push_back(word);  // the subcommand's own option
    } else {
      *error = "unknown option " + word;
      return false;
    }
  }
  return true;
}

bool ParseCredentials(const std::string& text, Options* options, std::string* error) {
  std::size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (line.empty() || line[0] == '#') continue;
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      *error = "line " + std::to_string(number) + " of the credentials file is not key = value";
      return false;
    }
    std::string key = Trim(line.substr(0, equals));
    std::string value = Trim(line.substr(equals + 1));
    long port = 0;
    if (key == "user") {
      if (!options->user) options->user = value;
    } else if (key == "password") {
      if (!options->password) options->password = value;
    } else if (key == "host") {
      if (!options->host_given) options->host = value;
    } else if (key == "port") {
      if (!ParseNumber(value, 1, 65535, &port)) {
        *error = "the port in the credentials file must be a number from 1 to 65535";
        return false;
      }
      if (!options->port_given) options->port = static_cast<int>(port);
    } else {
      *error = "unknown key '" + key + "' in the credentials file";
      return false;
    }
  }
  return true;
}

bool ResolveCredentials(Options* options, std::string* error) {
  if (!options->user)
    if (const char* user = std::getenv("KORV_USER"); user && *user) options->user = user;
  if (!options->password)
    if (const char* password = std::getenv("KORV_PASSWORD"); password) options->password = password;
  bool explicit_file = options->credentials_file.has_value();
  std::string path = explicit_file ? *options->credentials_file : DefaultCredentialsPath();
  bool need_file = explicit_file || !options->user || !options->password;
  struct stat info;
  if (need_file && !path.empty() && ::stat(path.c_str(), &info) == 0) {
    if (info.st_uid != ::getuid() || (info.st_mode & 077) != 0) {
      *error = "the credentials file " + path +
               " must belong to you and be readable only by you (chmod 600 " + path + ")";
      return false;
    }
    std::optional<std::string> text = ReadWholeFile(path, 65536);
    if (!text) {
      *error = "cannot read the credentials file " + path + ": " + std::strerror(LastError());
      return false;
    }
    if (!ParseCredentials(*text, options, error)) return false;
  } else if (explicit_file) {
    *error = "cannot read the credentials file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!options->user) {
    *error = "no user name: give --user, set KORV_USER or write a credentials file";
    return false;
  }
  if (!options->password) {
    *error = "no password: set KORV_PASSWORD, write a credentials file or give --password";
    return false;
  }
  return true;
}

std::optional<long> ParseDuration(const std::string& text) {
  if (text.empty()) return std::nullopt;
  long unit = 1;
  std::string digits = text;
  switch (text.back()) {
    case 's': unit = 1; break;
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    case 'w': unit = 604800; break;
    default: unit = 0; break;
  }
  if (unit != 0) digits.pop_back(); else unit = 1;
  long value = 0;
  // A ban duration travels as a signed 32-bit number of seconds.
  if (!ParseNumber(digits, 0, 2147483647L, &value) || value > 2147483647L / unit)
    return std::nullopt;
  return value * unit;
}

}  // namespace korvctl
