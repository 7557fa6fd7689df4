// korvd's entry point: signals, the command line, the start-up sequence,
// then the main loop.
#include <cstdio>
#include <cstdlib>

#include "core/core_state.h"
#include "daemon/config_check.h"
#include "daemon/main_loop.h"
#include "daemon/manager_state.h"
#include "daemon/options.h"
#include "daemon/startup.h"

int main(int argc, char** argv) {
  InstallSignalHandlers();
  ResetManagerState();
  SetCommandLineDefaults();
  ScanOutcome scan = ScanCommandLine(argc, argv);
  if (scan.exit_now) {
    std::printf("%s", scan.output.c_str());
    std::fflush(stdout);
    if (scan.status == 0 && !scan.output.empty()) return 0;
    std::exit(scan.status);
  }
  if (Core().check_only) return RunConfigCheck(scan.ignored);
  if (!RunStartupSequence(scan.ignored)) return 0;
  std::exit(RunMainLoop());
}
