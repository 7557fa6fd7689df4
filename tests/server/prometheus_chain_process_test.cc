// Two daemons' metrics files through the node exporter into Prometheus with the shipped alert rules.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "support/gamesim_client.h"

namespace korvtest {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// The `data` of an API answer (`query` posted when given), null when it has none yet.
json ApiData(int port, const std::string& path, const std::string& query = "") {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(5, 0);
  auto reply = query.empty() ? client.Get(path) : client.Post(path, httplib::Params{{"query", query}});
  if (!reply || reply->status != 200) return nullptr;
  json answer = json::parse(reply->body, nullptr, false);
  return answer.is_object() && answer.value("status", "") == "success" ? answer["data"] : json();
}

// server label -> value of each sample the instant query finds.
std::map<std::string, std::string> ByServer(int port, const std::string& query) {
  std::map<std::string, std::string> values;
  json data = ApiData(port, "/api/v1/query", query);
  if (data.is_null()) return values;
  for (const json& sample : data["result"])
    values[sample["metric"].value("server", "")] = sample["value"][1].get<std::string>();
  return values;
}

std::set<std::string> FiringFor(int port, const std::string& alertname) {
  std::set<std::string> servers;
  json data = ApiData(port, "/api/v1/alerts");
  if (data.is_null()) return servers;
  for (const json& alert : data["alerts"])
    if (alert["labels"].value("alertname", "") == alertname && alert.value("state", "") == "firing")
      servers.insert(alert["labels"].value("server", ""));
  return servers;
}

TEST(PrometheusChainTest, TwoInstancesAreScrapedAndAKilledServerFiresItsAlert) {
  for (const char* program : {"/usr/bin/prometheus", "/usr/bin/prometheus-node-exporter"})
    if (::access(program, X_OK) != 0) GTEST_SKIP() << "no " << program;
  TempDir work;
  std::filesystem::create_directories(work / "textfiles");
  // One instance named in korvd.conf, the other by its directory.
  std::map<std::string, std::unique_ptr<gamesimtest::DaemonRun>> runs;
  for (const char* name : {"alpha", ""}) {
    auto run = std::make_unique<gamesimtest::DaemonRun>("", std::map<std::string, std::string>{{"manager.monitorTimerPeriod", "10"}});
    std::string label = *name ? name : std::filesystem::path(run->dir()).filename().string();
    WriteFile(run->Settings("korvd.conf"), std::string(gamesimtest::kFastTicks) + "[metrics]\ntextfile = " +
                                               work / "textfiles/" + label + ".prom\nserver = " + name + "\n");
    ASSERT_TRUE(run->Start({"-start"})) << run->Log();
    runs[label] = std::move(run);
  }
  int exporter_port = FreePort(), prometheus_port = FreePort();
  std::string rules = ReadFile(SourcePath("contrib/prometheus/korvd-alerts.yml"));
  WriteFile(work / "rules.yml", std::regex_replace(rules, std::regex("for: \\w+"), "for: 0s"));
  WriteFile(work / "prometheus.yml",
            "global: {scrape_interval: 1s, evaluation_interval: 1s}\nrule_files: [rules.yml]\nscrape_configs:\n"
            "  - job_name: node\n    static_configs: [{targets: ['127.0.0.1:" + std::to_string(exporter_port) + "']}]\n");
  Process exporter, prometheus;
  ASSERT_TRUE(exporter.Start({"/usr/bin/prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
                              "--collector.textfile.directory=" + work / "textfiles",
                              "--web.listen-address=127.0.0.1:" + std::to_string(exporter_port)},
                             work.path(), work / "exporter.out"));
  ASSERT_TRUE(prometheus.Start({"/usr/bin/prometheus", "--config.file=" + work / "prometheus.yml",
                                "--storage.tsdb.path=" + work / "data",
                                "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)},
                               work.path(), work / "prometheus.out"));

  // Both servers up, each with every series of its file, none without its label.
  std::map<std::string, std::string> both_up;
  for (const auto& [label, run] : runs) both_up[label] = "1";
  ASSERT_TRUE(WaitUntil([&] { return ByServer(prometheus_port, "korvd_server_up") == both_up; }, 60s))
      << ReadFile(work / "prometheus.out") << ReadFile(work / "exporter.out");
  std::map<std::string, std::string> counts = ByServer(prometheus_port, "count by (server) ({__name__=~\"korvd_.+\"})");
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts.begin()->second, counts.rbegin()->second);

  for (int pid : runs["alpha"]->GamePids()) ::kill(pid, SIGKILL);
  EXPECT_TRUE(WaitUntil([&] { return FiringFor(prometheus_port, "KorvdGameServerDown").count("alpha") == 1; }, 60s))
      << runs["alpha"]->Log();
  EXPECT_EQ(FiringFor(prometheus_port, "KorvdGameServerDown"), std::set<std::string>{"alpha"});
}

}  // namespace
}  // namespace korvtest
