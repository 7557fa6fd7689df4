// korvctl: a command-line remote client for korvd's administrators and
// their scripts.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "link.h"
#include "options.h"
#include "texts.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  korvctl::Options options;
  std::string error;
  if (!korvctl::ParseOptions(args, &options, &error)) {
    if (options.json)
      std::cout << "{\"ok\":false,\"exit\":2,\"error\":" << korvctl::JsonString(error) << "}\n";
    else
      std::cerr << "korvctl: " << error << "\nsee korvctl --help\n";
    return korvctl::kExitUsage;
  }
  if (options.version) {
    std::cout << "korvctl " KORV_VERSION "\n";
    return korvctl::kExitOk;
  }
  return korvctl::RunKorvctl(options);
}
