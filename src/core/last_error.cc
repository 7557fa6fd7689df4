// The last error and the texts of the error codes.
#include "core/last_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The last error of the calling procedure.
std::int32_t g_last_error = 0;

}  // namespace

void SetLastError(std::int32_t code) { g_last_error = code; }
std::int32_t LastError() { return g_last_error; }
bool FailWithErrno() {
  SetLastError(errno);
  return false;
}

std::string ErrorText(std::int32_t code) {
  switch (code) {
    case 30001:
      return "Client and server are using different protocol versions.\n"
             "Always use the same version of Korvane and Tillora.";
    case 30002:
      return "The server did not respond with a valid authentication code.\n"
             "Ensure you are using the correct IP and port address to connect with Korvane.";
    case 30003:
      return "The specified username is invalid. Verify the username is correct and then try again.";
    case 30004:
      return "The specified password is invalid. Verify the password is correct and then try again.";
    case 30005:
      return "The specified user account is disabled. Ask your server administrator to enable "
             "your account.";
    case 30006:
      return "No user accounts exist. At least one user account must exist to connect with "
             "Korvane.";
    case 30007: return "Tillora couldn't synchronise with Korvane.";
    case 30008: return "The Remote Console username and/or password is invalid.";
    case 30009: return "Korvane could not identify the server's status port.";
    case 30010: return "Korvane couldn't get the settings from the server.";
    case 30011: return "Korvane couldn't get the player list from the server.";
    case 30015: return "There are no maps available to play with the current mod/game mode.";
    case 30016: return "The keyhash is not 32 characters in length.";
    case 30017: return "The keyhash is not a valid hexadecimal number.";
    default: break;
  }
  char text[1024];
  if (code >= 30001) {
    std::snprintf(text, sizeof text, "An unknown error has occured. (%d)", code);
  } else {
    std::snprintf(text, sizeof text, "%s (%u)", std::strerror(code),
                  static_cast<unsigned>(code));
  }
  return text;
}
