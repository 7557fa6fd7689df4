// Options and config file of korvweb.
#include "korvweb/options.h"

#include <cstdlib>
#include <fstream>

#include "core/files.h"

namespace korvweb {

const char kUsage[] =
    "Usage: korvweb [--listen HOST:PORT] [--daemon HOST:PORT] [--config FILE]\n"
    "               [--idle-minutes N] [--max-sessions N] [--timeout SECONDS]\n"
    "               [--stream-grace SECONDS] [--trusted-proxy ADDRESS]\n"
    "               [--fleet FILE]\n"
    "       korvweb --help | --version\n"
    "\n"
    "Serves the web console of korvd: each administrator logs in with a korvd\n"
    "account and the browser session drives a daemon session of its own.\n"
    "  --listen HOST:PORT   where the page is served (default 127.0.0.1:8080)\n"
    "  --daemon HOST:PORT   the daemon's client port (default 127.0.0.1:14667)\n"
    "  --config FILE        key = value lines: listen, daemon, idle_minutes,\n"
    "                       max_sessions, timeout_seconds, stream_grace_seconds,\n"
    "                       trusted_proxy, fleet (options given after --config win)\n"
    "  --idle-minutes N     a session without a request for N minutes ends (30)\n"
    "  --max-sessions N     browser sessions served at once, each holding one of\n"
    "                       the daemon's 16 client places (8)\n"
    "  --timeout SECONDS    longest wait for the daemon's answer (5)\n"
    "  --stream-grace SECONDS\n"
    "                       a session whose page closed (its notification stream\n"
    "                       gone and not reopened) ends after this long (30)\n"
    "  --trusted-proxy ADDRESS\n"
    "                       the reverse proxy in front of korvweb: only from it is\n"
    "                       X-Forwarded-For believed, for slowing down login guesses\n"
    "  --fleet FILE         also serve the fleet page /fleet.html: a card per daemon\n"
    "                       of FILE (\"name address[:port]\" lines, as korvctl\n"
    "                       --fleet reads), live, one login for all of them; a\n"
    "                       fleet session takes one of the max-sessions places\n"
    "  --help               this help\n"
    "  --version            the name and version\n";

namespace {

bool Number(const std::string& text, long low, long high, long* out) {
  char* end = nullptr;
  *out = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && text.size() < 10 && *end == '\0' && *out >= low && *out <= high;
}

bool Apply(const std::string& key, const std::string& value, Config* config, std::string* error) {
  long n = 0;
  if (key == "listen") {
    if (ParseHostPort(value, &config->listen_host, &config->listen_port)) return true;
  } else if (key == "daemon") {
    if (ParseHostPort(value, &config->daemon_host, &config->daemon_port)) return true;
  } else if (key == "idle_minutes" || key == "idle-minutes") {
    if (Number(value, 1, 24 * 60, &n)) return config->idle_seconds = static_cast<int>(n) * 60, true;
  } else if (key == "max_sessions" || key == "max-sessions") {
    if (Number(value, 1, 1000, &n)) return config->max_sessions = static_cast<std::size_t>(n), true;
  } else if (key == "fleet") {
    std::optional<std::string> text = ReadWholeFile(value, 1 << 20);
    if (!text) return *error = "cannot read the fleet file " + value, false;
    config->fleet.clear();
    return korvctl::ParseFleet(*text, Config{}.daemon_port, &config->fleet, error);
  } else if (key == "timeout_seconds" || key == "timeout") {
    if (Number(value, 1, 600, &n)) return config->daemon_timeout_ms = static_cast<int>(n) * 1000, true;
  } else if (key == "stream_grace_seconds" || key == "stream-grace") {
    if (Number(value, 1, 24 * 3600, &n)) return config->stream_grace_seconds = static_cast<int>(n), true;
  } else if (key == "trusted_proxy" || key == "trusted-proxy") {
    if (!value.empty() && value.size() <= 45 && value.find_first_not_of("0123456789abcdefABCDEF.:") == std::string::npos)
      return config->trusted_proxy = value, true;
  } else {
    *error = "unknown option " + key;
    return false;
  }
  *error = "bad value for " + key + ": '" + value + "'";
  return false;
}

std::string Trim(const std::string& text) {
  std::size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

}  // namespace

bool ParseHostPort(const std::string& text, std::string* host, int* port) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon > 253) return false;
  long n = 0;
  if (!Number(text.substr(colon + 1), 1, 65535, &n)) return false;
  *host = text.substr(0, colon);
  *port = static_cast<int>(n);
  return true;
}

bool LoadConfigFile(const std::string& path, Config* config, std::string* error) {
  std::ifstream in(path);
  if (!in) return *error = "cannot read the config file " + path, false;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.size() > 1024) return *error = path + ":" + std::to_string(number) + ": line too long", false;
    line = Trim(line.substr(0, line.find_first_of("#;")));
    if (line.empty()) continue;
    std::size_t equals = line.find('=');
    std::string message;
    if (equals == std::string::npos ||
        !Apply(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)), config, &message))
      return *error = path + ":" + std::to_string(number) + ": " +
                      (message.empty() ? "expected key = value" : message), false;
  }
  return true;
}

Request ParseOptions(const std::vector<std::string>& words, Config* config, std::string* error) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "-h" || word == "--help") return Request::kHelp;
    if (word == "--version") return Request::kVersion;
    if (!word.starts_with("--") || i + 1 >= words.size()) {
      *error = word.starts_with("--") ? word + " needs a value" : "unexpected word " + word;
      return Request::kError;
    }
    const std::string& value = words[++i];
    if (word == "--config") {
      if (!LoadConfigFile(value, config, error)) return Request::kError;
    } else if (!Apply(word.substr(2), value, config, error)) {
      return Request::kError;
    }
  }
  return Request::kServe;
}

}  // namespace korvweb
