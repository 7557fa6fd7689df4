// korvctl's command line and credentials file: defaults, options anywhere, refusals.
#include "korvctl/options.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using korvctl::Options;

auto Parsed(const Options& o) {
  return std::tuple(o.host, o.port, o.timeout_ms, o.json, o.subcommand, o.words, o.host_given,
                    o.port_given, o.user.value_or("-"), o.password.value_or("-"));
}

TEST(KorvctlOptions, DefaultsOptionsAnywhereAndTheWordsOfTheSubcommand) {
  Options o;
  std::string error;
  ASSERT_TRUE(korvctl::ParseOptions({"status"}, &o, &error));
  EXPECT_EQ(Parsed(o), Parsed(Options{"127.0.0.1", 14667, {}, {}, {}, 10000, false, false, false,
                                      false, false, "status", {}}));
  o = Options{};
  ASSERT_TRUE(korvctl::ParseOptions({"--port=15000", "ban", "-H", "localhost", "--reason", "x",
                                     "-t", "3", "--json", "--", "-u", "name"},
                                    &o, &error));
  EXPECT_EQ(Parsed(o), Parsed(Options{"localhost", 15000, {}, {}, {}, 3000, true, false, false, true,
                                      true, "ban", {"--reason", "x", "-u", "name"}}));
  // The file fills only what the command line left open.
  ASSERT_TRUE(korvctl::ParseCredentials("# korvctl\n user = filed \npassword=a = b\n\nport = 99\n"
                                        "host = otherhost\n",
                                        &o, &error));
  EXPECT_EQ(Parsed(o), Parsed(Options{"localhost", 15000, "filed", "a = b", {}, 3000, true, false,
                                      false, true, true, "ban", {"--reason", "x", "-u", "name"}}));
}

TEST(KorvctlOptions, RefusalsSayWhatIsWrong) {
  const std::pair<std::vector<std::string>, std::string> command_lines[] = {
      {{"-p", "0"}, "the port must be a number from 1 to 65535, not '0'"},
      {{"--port=65536"}, "the port must be a number from 1 to 65535, not '65536'"},
      {{"--port", "12x"}, "the port must be a number from 1 to 65535, not '12x'"},
      {{"-t", "3601"}, "the timeout must be a number of seconds from 1 to 3600, not '3601'"},
      {{"status", "--user"}, "--user needs a value"},
      {{"--colour", "status"}, "unknown option --colour"},
  };
  for (const auto& [args, message] : command_lines) {
    Options o;
    std::string error;
    EXPECT_FALSE(korvctl::ParseOptions(args, &o, &error)) << message;
    EXPECT_EQ(error, message);
  }
  const std::pair<std::string, std::string> files[] = {
      {"user = a\nport = 65536\n", "the port in the credentials file must be a number from 1 to 65535"},
      {"# fine\nuser a\n", "line 2 of the credentials file is not key = value"},
      {"colour = blue\n", "unknown key 'colour' in the credentials file"},
  };
  for (const auto& [text, message] : files) {
    Options o;
    std::string error;
    EXPECT_FALSE(korvctl::ParseCredentials(text, &o, &error)) << message;
    EXPECT_EQ(error, message);
  }
}

}  // namespace
