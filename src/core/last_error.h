// The last error of the calling procedure, the daemon's own error codes
// stored in it beside errno values, and the texts of both.
#pragma once

#include <cstdint>
#include <string>

// The daemon's own error codes, stored in the last error beside errno values.
enum DaemonError : std::int32_t {
  kErrProtocolVersion = 30001,
  kErrBadAuthCode = 30002,
  kErrBadUserName = 30003,
  kErrBadPassword = 30004,
  kErrAccountDisabled = 30005,
  kErrNoAccounts = 30006,
  kErrClientSync = 30007,
  kErrConsoleLogin = 30008,
  kErrStatusPort = 30009,
  kErrServerSettings = 30010,
  kErrPlayerList = 30011,
  kErrFrame12 = 30012,
  kErrFrame13 = 30013,
  kErrFrame14 = 30014,
  kErrNoMaps = 30015,
  kErrKeyhashLength = 30016,
  kErrKeyhashDigits = 30017,
};

// The last error of the calling procedure (an errno value or a daemon code).
void SetLastError(std::int32_t code);
std::int32_t LastError();
// Stores errno as the last error and returns false, for `return Fail();`.
bool FailWithErrno();

// Text for an errno value or a daemon error code.
std::string ErrorText(std::int32_t code);
