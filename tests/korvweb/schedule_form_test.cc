// The page's schedule: lines refused when the daemon would read them otherwise, and built ones read back.
#include "korvweb/schedule_form.h"

#include <gtest/gtest.h>


namespace korvwebtest {
namespace {

using nlohmann::json;

TEST(ScheduleForm, RefusesEveryLineTheDaemonWouldMisread) {
  const std::string each_64 = [] {
    std::string text;
    for (int i = 1; i <= 65; ++i) text += std::to_string(i * 60) + ",stop,daily,*,*,1\n";
    return text;
  }();
  const std::pair<std::string, std::string> cases[] = {
      {"restart daily at 04:00\n", "schedule line 1 lacks one of its six fields"},
      {"14400,restart,daily,*,*,1\n", "schedule line 1 has the action \"restart\", which the daemon would read as a stop"},
      {"\n14400,stop,someday,*,*,1", "schedule line 2 has the day \"someday\""},
      {"14400,start,daily,*,b.con,1", "schedule line 1 starts the server without a settings file"},
      {"0400,stop,daily,*,*,1", "schedule line 1 is not written as"},
      {"14400,stop,daily,*,*,1 ", "schedule line 1 is not written as"},
      {"14400,stop,daily,*,*,1\r\n", "schedule line 1 is not written as"},
      {"14400,stop,daily,*,*,2", "schedule line 1 must end in 1 (enabled) or 0"},
      {"14400,stop,daily,*,*,1\n14400,stop,mon,*,*,1\n", "schedule line 2 has the time of an earlier event"},
      {"14400,stop," + std::string(1100, 'a') + ",*,*,1", "schedule line 1 is longer than the daemon reads"},
      {each_64, "the schedule holds at most 64 events"},
      {"14400,Stop,daily,*,*,1\n\n20000,startwait,Weekdays,a.con,b.con,0\n", ""},
  };
  for (const auto& [text, problem] : cases) {
    std::string found = korvweb::ScheduleTextProblem(text);
    EXPECT_EQ(found.substr(0, problem.size()), problem) << text.substr(0, 60) << " -> " << found;
    EXPECT_EQ(found.empty(), problem.empty()) << found;
  }
}

TEST(ScheduleForm, BuiltEventsReadBackAsPicked) {
  json events = json::parse(R"([
      {"action": "stop", "day": "daily", "at": "04:00", "enabled": true},
      {"action": "startwait", "day": "sat", "at": "04:00", "settings": "night.con", "maplist": "night.con"},
      {"action": "stop", "day": "none", "at": "23:59", "date": "2030-02-03", "enabled": false}])");
  std::string text, error;
  ASSERT_TRUE(korvweb::ScheduleTextFromEvents(events, 1'900'000'000, &text, &error)) << error;
  json read = korvweb::ScheduleJson(text, 1'900'000'000)["events"];
  ASSERT_EQ(read.size(), 3u) << text;
  auto row = [&](int i) {
    return json{read[i]["action"], read[i]["day"], read[i]["at"], read[i]["settings"], read[i]["enabled"]};
  };
  EXPECT_EQ(row(0), json::parse(R"(["stop", "daily", "04:00", "", 1])"));
  EXPECT_EQ(row(1), json::parse(R"(["startwait", "sat", "04:00", "night.con", 1])"));
  EXPECT_EQ(row(2), json::parse(R"(["stop", "none", "23:59", "", 0])"));
  EXPECT_EQ(read[2]["date"], "2030-02-03");
  EXPECT_EQ(read[1]["time"].get<std::uint32_t>(), read[0]["time"].get<std::uint32_t>() + 1);
  EXPECT_EQ(json({read[2]["next"], read[2]["next_at"]}), json({"disabled", 0}));
  // A daily event fires within the next day, at a whole minute.
  std::int64_t next = read[0]["next_at"].get<std::int64_t>() - 1'900'000'000;
  EXPECT_TRUE(next >= 0 && next <= 90'000 && (read[0]["next_at"].get<std::int64_t>() - read[0]["time"].get<std::int64_t>()) % 60 == 0) << next;

  const std::pair<const char*, const char*> refused[] = {
      {R"([{"action": "restart", "day": "daily", "at": "04:00"}])", "schedule line 1 has the action"},
      {R"([{"action": "stop", "day": "daily", "at": "4 am"}])", "event 1: the time must be HH:MM"},
      {R"([{"action": "stop", "day": "none", "at": "04:00"}])", "event 1: the time must be HH:MM"},
      {R"([{"action": "stop,daily", "day": "daily", "at": "04:00"}])", "event 1: a field holds a comma"},
      {R"({"action": "stop"})", "events must be a list"},
  };
  for (const auto& [body, problem] : refused) {
    EXPECT_FALSE(korvweb::ScheduleTextFromEvents(json::parse(body), 1'900'000'000, &text, &error)) << body;
    EXPECT_EQ(error.substr(0, std::string(problem).size()), problem) << error;
  }
}

}  // namespace
}  // namespace korvwebtest
