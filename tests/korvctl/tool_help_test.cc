// --help and --version of the tools: usage on standard output and the
// package's version, exit 0, and nothing started.
#include <gtest/gtest.h>

#include "support/process_harness.h"

namespace korvtest {
namespace {

using namespace std::chrono_literals;

TEST(ToolHelp, HelpAndVersionPrintOnStandardOutputAndExitZero) {
  std::string changelog = ReadFile(SourcePath("debian/changelog"));
  std::string version = changelog.substr(7, changelog.find(')') - 7);  // "korvd (X) ..."
  ASSERT_EQ(changelog.substr(0, 7), "korvd (");
  TempDir dir;
  const std::pair<std::string, std::string> tools[] = {
      {"gamesim", "Usage: gamesim "}, {"korvctl", "NAME\n    korvctl "}, {"korvweb", "Usage: korvweb "}};
  for (const auto& [tool, usage] : tools) {
    const std::string binary = BuildPath(tool);
    auto run = [&](const std::string& option, std::string* out) {
      return RunToEnd({"/bin/sh", "-c", "exec \"$0\" \"$1\" 2>/dev/null", binary, option},
                      dir.path(), out, 10s);
    };
    std::string help, shown;
    EXPECT_EQ(run("--help", &help), 0) << tool;
    EXPECT_EQ(help.substr(0, usage.size()), usage);
    EXPECT_TRUE(Has(help, "--version"));
    EXPECT_EQ(run("--version", &shown), 0) << tool;
    EXPECT_EQ(shown, tool + " " + version + "\n");
  }
}

}  // namespace
}  // namespace korvtest
