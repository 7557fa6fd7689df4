// korvd.conf: defaults without the file, each section's keys, warnings.
#include "core/korvd_conf.h"

#include <filesystem>

#include "links/link_fixture.h"

using korvtest::Has;
using korvtest::ReadFile;
using korvtest::WriteFile;

namespace {

class KorvdConfTest : public korvtest::LogFixture {};

TEST_F(KorvdConfTest, MissingFileKeepsDefaultsKeysAreReadAndBadEntriesAreWarnedAbout) {
  KorvdConf conf;
  ASSERT_TRUE(LoadKorvdConf(dir_ / "korvd.conf", &conf));
  auto values = [&conf] {
    return std::tie(conf.log_keep_rotated, conf.log_repeat_threshold, conf.metrics_textfile,
                    conf.metrics_server, conf.hang_seconds, conf.loop_cooldown_seconds, conf.restart_when_empty_seconds,
                    conf.remote_send_bytes_per_second);
  };
  EXPECT_EQ(values(), std::make_tuple(100, 100, "", "", 0, 0, 0, 64 << 20));
  EXPECT_EQ(ReadFile(dir_ / "korvd.log"), "");

  WriteFile(dir_ / "korvd.conf",
            "; our own settings\n[log]\nkeep_rotated = 17\nrepeat_threshold=0\n"
            "keep_rotated_bytes = 12x\ncolour = blue\n[other]\nkeep_rotated = 9\nno equals sign\n"
            "[metrics]\ntextfile = /var/lib/node exporter/korvd.prom\nserver = Fleet \"A\"\n[supervision]\nhang_seconds = 90\n"
            "loop_cooldown_seconds = 300\nloop_cooldown_max_seconds = 0\nrestart_when_empty_seconds = 900\n"
            "[remote]\nsend_bytes_per_second = 0\n");
  ASSERT_TRUE(LoadKorvdConf(dir_ / "korvd.conf", &conf));
  EXPECT_EQ(values(),
            std::make_tuple(17, 0, "/var/lib/node exporter/korvd.prom", "Fleet \"A\"", 90, 300, 900, 0));
  EXPECT_EQ(conf.log_keep_rotated_bytes, KorvdConf{}.log_keep_rotated_bytes);
  EXPECT_EQ(conf.loop_cooldown_max_seconds, 3600);  // 0 is refused: the cap stays
  std::string log = ReadFile(dir_ / "korvd.log");
  for (const char* line :
       {"[log] keep_rotated_bytes = \"12x\" is not a number from 0 to 9223372036854775807; the "
        "default stays.",
        "unknown setting [log] colour ignored.", "unknown setting [other] keep_rotated ignored.",
        "line 9 cannot be read; it was skipped.",
        "[supervision] loop_cooldown_max_seconds = \"0\" is not a number from 1 to 604800"})
    EXPECT_TRUE(Has(log, std::string(" : WARNING: korvd.conf: ") + line)) << line;
}

// Each change is logged, a key taken out gets its default, an unreadable file changes nothing.
TEST_F(KorvdConfTest, ReloadLogsEachChangeAndKeepsTheSettingsWhenTheFileCannotBeRead) {
  g_manager.core.settings_dir = dir_.path();
  WriteFile(dir_ / "korvd.conf", "[supervision]\nhang_seconds = 90\n[metrics]\ntextfile = /m.prom\n"
                                 "[fleet]\ndatabase = host=db password=s3cret\n");
  ASSERT_TRUE(ReloadKorvdConf());
  WriteFile(dir_ / "korvd.conf", "[supervision]\nhang_seconds = 90\n[log]\nrepeat_threshold = 5\n");
  ASSERT_TRUE(ReloadKorvdConf());
  std::filesystem::remove(dir_ / "korvd.conf");
  std::filesystem::create_directory(dir_ / "korvd.conf");
  EXPECT_FALSE(ReloadKorvdConf());
  const KorvdConf& conf = g_manager.core.conf;
  EXPECT_EQ(std::tie(conf.hang_seconds, conf.log_repeat_threshold, conf.metrics_textfile),
            std::make_tuple(90, 5, ""));
  std::string log = ReadFile(dir_ / "korvd.log"), texts;
  for (std::size_t at = 0; (at = log.find(" : ", at)) != std::string::npos; at += 3)
    texts += log.substr(at + 3, log.find("\r\n", at) - at - 3) + "\n";
  EXPECT_EQ(texts,
            "korvd.conf: [supervision] hang_seconds = 90 (was 0), in effect now.\n"
            "korvd.conf: [metrics] textfile = \"/m.prom\" (was \"\"), in effect now.\n"
            "korvd.conf: [fleet] database = (not shown) (was (not shown)), in effect now.\n"
            "Reloaded korvd.conf: 3 setting(s) changed.\n"
            "korvd.conf: [log] repeat_threshold = 5 (was 100), in effect now.\n"
            "korvd.conf: [metrics] textfile = \"\" (was \"/m.prom\"), in effect now.\n"
            "korvd.conf: [fleet] database = (not shown) (was (not shown)), in effect now.\n"
            "Reloaded korvd.conf: 3 setting(s) changed.\n"
            "WARNING: Skipped " + dir_ / "korvd.conf" + ", which is not a regular file.\n"
            "Couldn't reload korvd.conf, the settings in force stay! Is a directory (21)\n");
}

}  // namespace
