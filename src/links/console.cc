// The console link: the login, then one packet of strings each way per
// exchange (wire/console_packet.h holds their format).
#include "links/console.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <vector>

#include "core/last_error.h"
#include "core/log.h"
#include "core/core_state.h"
#include "core/server_state.h"
#include "links/links_state.h"
#include "core/protocol.h"
#include "core/socket_io.h"
#include "links/player_table.h"
#include "links/status_query.h"
#include "settings/settings_table.h"
#include "links/settings_sync.h"
#include "wire/console_packet.h"

namespace {

constexpr int kConnectWaitMs = 2000;
constexpr std::size_t kCommandMax = 2047;
constexpr char kChatPrefix[] = "##--";

int& Socket() { return MutableLinks().console_socket; }

void CloseSocket() {
  if (Socket() >= 0) ::close(Socket());
  Socket() = -1;
}

bool CloseWithError(int error) {
  SetLastError(error);
  CloseSocket();
  return false;
}

void AppendMessageLog(const char* label, std::string_view bytes) {
  if (!Core().message_log) return;
  std::FILE* file = std::fopen("message.log", "ab");
  if (file == nullptr) return;
  std::fputs(label, file);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

// A chat or event line ("##--" and the text from its sixth character).
// The chat watch and the in-game command handler take it from here; they
// only queue commands, so console exchanges never nest.
void HandleChatLine(const std::string& text) {
  LogMessage(6, "# %s\r\n", text.c_str());
  if (Links().chat_line_listener != nullptr) Links().chat_line_listener(text);
}

bool IsChatLine(const std::string& text) { return text.rfind(kChatPrefix, 0) == 0; }

// Strings of one answer: as many as its bytes could hold, the bytes
// within kMaxConsoleAnswer, an empty string taken as it comes.
constexpr ConsoleLimits kAnswerLimits = {
    .max_strings = kMaxConsoleAnswer / 4,
    .max_string = UINT32_MAX,
    .max_bytes = kMaxConsoleAnswer,
    .empty_strings = true,
};

// Receives one answer, reading the socket for exactly the bytes each field
// needs, handing each string to `take` as it arrives and taking chat lines
// out at once. False with the last error set on a receive failure or an
// answer beyond kAnswerLimits.
bool ReceiveAnswer(const std::function<void(int, const std::string&)>& take) {
  ConsolePacketReader reader(kAnswerLimits);
  std::string field;
  while (!reader.done()) {
    field.resize(reader.wanted());
    if (!ReceiveAll(Socket(), field.data(), field.size())) return false;
    SpanReader in(field);
    std::string_view view;
    ConsoleRead step = reader.Next(in, &view);
    if (step == ConsoleRead::kMalformed) {
      SetLastError(EMSGSIZE);
      return false;
    }
    if (step != ConsoleRead::kString) continue;
    std::string text(view);
    if (IsChatLine(text)) {
      HandleChatLine(text.size() > 5 ? text.substr(5) : std::string());
    } else {
      take(static_cast<int>(reader.strings_read()), text);
    }
  }
  return true;
}

bool ConnectSocket() {
  Socket() = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (Socket() < 0) return CloseWithError(errno);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (::bind(Socket(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    return CloseWithError(errno);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(SettingValue(kSetConsolePort)));
  server.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(SettingValue(kSetServerIp)));
  if (::connect(Socket(), reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 &&
      errno != EINPROGRESS && errno != EAGAIN)
    return CloseWithError(errno);
  pollfd entry{Socket(), POLLOUT, 0};
  int ready = ::poll(&entry, 1, kConnectWaitMs);
  if (ready == 0) return CloseWithError(ETIMEDOUT);
  if (ready < 0) return CloseWithError(errno);
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(Socket(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error != 0) return CloseWithError(error);
  return true;
}

bool Login() {
  unsigned char key[kConsoleKeyLength];
  unsigned char verdict = 0;
  if (!ReceiveAll(Socket(), key, sizeof key)) return CloseWithError(LastError());
  std::string login;
  AppendConsoleLogin(login, Server().console_user, Server().console_password, key);
  if (!SendAll(Socket(), login.data(), login.size()) || !ReceiveAll(Socket(), &verdict, 1))
    return CloseWithError(LastError());
  if (verdict == 0) return CloseWithError(kErrConsoleLogin);
  return true;
}

// One step of the synchronisation after the login.
struct SyncStep {
  bool (*run)();
  std::int32_t error;
  const char* debug_line;
};

bool IdentifyIfUnknown() { return Links().status_port != 0 || IdentifyStatusPort(); }

// The rows the status report carries come from the last report received.
bool SyncWithLastReport() { return SyncSettingsFromServer(Links().status_report); }

constexpr SyncStep kSyncSteps[] = {
    {IdentifyIfUnknown, kErrStatusPort, "DEBUG: Couldn't identify server status port!"},
    {SyncWithLastReport, kErrServerSettings, "DEBUG: Couldn't sync current settings!"},
    {GetPlayerList, kErrPlayerList, "DEBUG: Couldn't sync player list!"},
};

}  // namespace

void SetChatLineListener(void (*listener)(const std::string& line)) {
  MutableLinks().chat_line_listener = listener;
}

std::string EncodeConsoleRequest(std::string_view channel_string, std::string_view text) {
  std::vector<std::string> strings{std::string(channel_string)};
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    strings.emplace_back(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  strings.emplace_back("\r");
  std::string request;
  AppendConsolePacket(request, strings);
  return request;
}

bool ConsoleConnect() {
  SetLastError(0);
  if (!Server().server_running) return false;
  if (SettingValue(kSetServerIp) == 0) {
    LogMessage(6, "Couldn't connect to console, IP address is zero!");
    return false;
  }
  if (SettingValue(kSetConsolePort) == 0) {
    LogMessage(6, "Couldn't connect to console, port address is zero!");
    return false;
  }
  if (Links().console_connected) ConsoleDisconnect();
  CloseSocket();
  if (!ConnectSocket() || !Login()) return false;
  MutableLinks().console_connected = true;
  for (const SyncStep& step : kSyncSteps) {
    if (step.run()) continue;
    SetLastError(step.error);
    if (Core().debug) LogMessage(6, "%s", step.debug_line);
    ConsoleDisconnect();
    SetLastError(step.error);
    return false;
  }
  LogMessage(6, "Connected");
  return true;
}

void ReconnectConsole() {
  if (Links().console_connected || ConsoleConnect()) return;
  int error = LastError();
  if (error == 0) return;
  bool quiet = error == ETIMEDOUT || error == ECONNREFUSED || error == EAGAIN;
  if (Core().debug || !quiet)
    LogMessage(6, "Couldn't connect to server console! %s", ErrorText(error).c_str());
}

void ConsoleDisconnect() {
  CloseSocket();
  LinksState& links = MutableLinks();
  links.server_version = 0.0;
  links.status_port = 0;
  links.smart_balance_engaged = false;
  links.console_connected = false;
  links.punkbuster_version.clear();
  ClearPlayerTable();
  LogMessage(6, "Disconnected");
}

bool ConsoleLinkFailed() {
  int error = LastError();
  if (error == ECONNRESET || error == ECONNABORTED || error == EPIPE) {
    LogMessage(6, "Connection reset");
  } else if (error != 0) {
    LogMessage(6, "Couldn't send message to console! %s", ErrorText(error).c_str());
  }
  ConsoleDisconnect();
  SetLastError(error);
  return false;
}

std::optional<std::string> ConsoleSend(const char* format, ...) {
  if (format == nullptr || format[0] == '\0') {
    SetLastError(EINVAL);
    return std::nullopt;
  }
  char command[kCommandMax + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(command, sizeof command, format, args);
  va_end(args);
  if (!Links().console_connected) {
    LogMessage(6, "Couldn't send message %.16s to console! Not connected.", command);
    return std::nullopt;
  }
  std::string request =
      EncodeConsoleRequest("ConsoleMessage " + std::to_string(Links().console_channel), command);
  AppendMessageLog("--Message--", request);
  if (!SendAll(Socket(), request.data(), request.size())) {
    ConsoleLinkFailed();
    return std::nullopt;
  }
  std::string response;
  bool ok = ReceiveAnswer([&](int, const std::string& text) {
    if (text.rfind("##", 0) == 0) return;  // other server markers are dropped
    response += text;
    response += '\n';
  });
  if (!ok) {
    ConsoleLinkFailed();
    return std::nullopt;
  }
  AppendMessageLog("--Response--", response);
  MutableLinks().response = response;
  return response;
}

std::optional<std::string> ConsoleRunKey(int character) {
  if (!Links().console_connected) {
    LogMessage(6, "Couldn't send character 0x%02x to console! Not connected.", character & 0xFF);
    return std::nullopt;
  }
  // The key goes as a string of its own; the fetch key 0 is a bare NUL
  // before the ending one.
  const std::string strings[] = {"ConsoleRun " + std::to_string(Links().console_channel),
                                 std::string(1, static_cast<char>(character))};
  std::string request;
  AppendConsolePacket(request, strings);
  if (!SendAll(Socket(), request.data(), request.size())) {
    ConsoleLinkFailed();
    return std::nullopt;
  }
  std::string output;
  bool after_hash_line = false;  // the last retained string began with '#'
  bool ok = ReceiveAnswer([&](int i, const std::string& text) {
    if (character != 0 || i < 2) return;  // the first string is never output
    if (text.empty() || text[0] == '>') return;
    if (after_hash_line && text[0] != '#') {
      // The continuation of a '#' line that the console wrapped.
      output.pop_back();
      output.append(text, 1);
      output += '\n';
      after_hash_line = false;
      return;
    }
    output += text;
    output += '\n';
    after_hash_line = text[0] == '#';
  });
  if (!ok) {
    ConsoleLinkFailed();
    return std::nullopt;
  }
  MutableLinks().output = output;
  MutableLinks().last_key = character;
  return output;
}

bool SendServerMessage(const std::string& text) {
  // The text goes between quotes: a quote in a player's name would end the
  // argument early and a line break would start a command of its own.
  std::string quoted = text;
  for (char& c : quoted) {
    if (c == '"') c = '\'';
    if (c == '\r' || c == '\n') c = ' ';
  }
  if (Core().admin_message_style == 1)
    return ConsoleSend("admin.serverMessage \"%s\"", quoted.c_str()).has_value();
  return ConsoleSend("game.sayAll \"%s\"", quoted.c_str()).has_value();
}
