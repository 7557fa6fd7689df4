// useraccess.con as loaded at start-up and on SIGHUP, then saved and
// loaded again.
#include "fuzz_support.h"
#include "remote/accounts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvfuzz::ResetState();
  std::string path = korvfuzz::SettingsDir() + "/useraccess.con";
  korvfuzz::WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  if (LoadUserAccounts(path)) {
    std::uint32_t access = 0;
    CheckUserLogin("admin", "admin", &access);
    SaveUserAccounts(path);
    LoadUserAccounts(path);
  }
  return 0;
}
