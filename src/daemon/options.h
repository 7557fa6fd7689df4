// The daemon's command line: options, server arguments (+name value) and
// server commands (@key value).
#pragma once

#include <string>
#include <vector>

inline constexpr const char* kVersionBanner = "Korvane v2.0 beta 4g";

// What the scan decided: go on with the start, or end the process now with
// `status` after printing `output` on standard output.
struct ScanOutcome {
  bool exit_now = false;
  int status = 0;
  std::string output;
  std::vector<std::string> ignored;  // unknown options, as given
};

// Reads the arguments into the core section (after the defaults of step 2 were
// set), then applies the after-scan rules (-daemon and +statusMonitor, -kill,
// the settings directory).
ScanOutcome ScanCommandLine(int argc, char** argv);

// Settles the defaults that come before the scan: the start directory, the
// pid file path, empty server arguments, commands and overlay path.
void SetCommandLineDefaults();

// Logs "WARNING: Ignored unknown option %s." for each option the scan
// ignored, also on standard output when the daemon is about to detach
// (the log echoes it there in the foreground).
void ReportIgnoredOptions(const std::vector<std::string>& ignored);

// The usage text printed by -?.
const char* UsageText();
// The licence text printed by -license.
const char* LicenseText();
