// One command against a fleet of daemons: a thread per daemon (at most
// kMaxThreads at once), each with its own connection and deadline, so that a
// dead or silent host costs its own row and never holds the others.
#include "fleet.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "context.h"
#include "core/files.h"
#include "handlers.h"
#include "link.h"
#include "texts.h"

namespace korvctl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxMembers = 1000;
constexpr std::size_t kMaxThreads = 64;
constexpr int kDefaultFleetTimeoutMs = 5000;

// What one daemon answered, or why it did not.
struct Outcome {
  int status = kExitOk;
  std::string error;
  Fields row;                 // the command's columns in the table
  std::vector<Fields> rows;   // players: a row each
  std::string json;           // ",\"key\":value..." members
};

// One visit: the link with the time left of the daemon's deadline.
struct Visit {
  Link link;
  Clock::time_point deadline;
  const std::vector<std::string>& words;
  Outcome& out;

  // Gives the link what is left of the deadline; false (a timeout) when
  // nothing is.
  bool Budget() {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return Failed(kExitTimeout, "no answer within the timeout");
    link.set_timeout_ms(static_cast<int>(left.count()));
    return true;
  }
  bool Failed(int status, std::string message) {
    out.status = status;
    out.error = std::move(message);
    return false;
  }
  bool LinkFailed() {
    const Failure& failure = link.failure();
    return Failed(failure.status == kExitOk ? kExitFailed : failure.status, failure.message);
  }
  // Waits for one of `wanted`, passing over other clients' news.
  bool Await(std::span<const std::uint32_t> wanted, Notice* notice) {
    while (Budget()) {
      if (!link.ReadNotice(notice, link.timeout_ms())) return LinkFailed();
      if (std::find(wanted.begin(), wanted.end(), notice->code) != wanted.end()) return true;
      if (notice->code == kNotifyDisconnect)
        return Failed(kExitConnection, "the daemon disconnected this client");
    }
    return false;
  }
  bool StatusLine(std::string* line) {
    return (link.Send(EncodeCommand(kClientBase + 0x15)) && link.ReadReply(line)) || LinkFailed();
  }
};

bool FleetStatus(Visit& visit) {
  std::string line;
  if (!visit.StatusLine(&line)) return false;
  if (line.empty()) return visit.Failed(kExitFailed, "the daemon could not build its status line");
  Fields fields = ParseStatusLine(line);
  for (std::string_view label : {"Server name", "Players", "Current map", "Server", "Console"})
    visit.out.row.emplace_back(label == "Server" ? "State" : label, FieldValue(fields, label));
  visit.out.json = ",\"status\":" + JsonObject(fields) + ",\"raw\":" + JsonString(line);
  return true;
}

bool FleetHealth(Visit& visit) {
  std::string line;
  if (!visit.StatusLine(&line)) return false;
  std::string reason = Unhealthy(line);
  if (!reason.empty()) return visit.Failed(kExitFailed, "unhealthy: " + reason);
  std::string players = FieldValue(ParseStatusLine(line), "Players");
  visit.out.row = {{"Health", "healthy"}, {"Players", players}};
  visit.out.json = ",\"players\":" + JsonString(players);
  return true;
}

bool FleetPlayers(Visit& visit) {
  std::string text;
  if (!visit.link.Send(EncodeCommand(kClientBase + 0x0C)) || !visit.link.ReadFrame(&text))
    return visit.LinkFailed();
  visit.out.rows = ParsePlayerList(text);
  visit.out.row = {{"Players", std::to_string(visit.out.rows.size())}};
  std::string array;
  for (const Fields& fields : visit.out.rows)
    array.append(array.empty() ? "" : ",").append(JsonObject(fields));
  visit.out.json = ",\"players\":[" + array + "]";
  return true;
}

template <std::uint32_t kCode, std::uint32_t kDone>
bool FleetText(Visit& visit) {
  std::string text = JoinWords(visit.words);
  if (!visit.link.Send(EncodeTextCommand(kCode, text))) return visit.LinkFailed();
  const std::uint32_t wanted[] = {kNotifyFailed, kDone};
  Notice notice;
  if (!visit.Await(wanted, &notice)) return false;
  if (notice.code == kNotifyFailed)
    return visit.Failed(kExitFailed, "the daemon reports: command failed (see its log)");
  visit.out.row = {{"Result", DescribeNotice(notice)}};
  visit.out.json = ",\"event\":" + NoticeJson(notice);
  return true;
}

bool FleetPing(Visit& visit) {
  auto start = Clock::now();
  const std::uint32_t wanted[] = {kNotifyKeepAlive};
  Notice notice;
  if (!visit.link.Send(EncodeCommand(kPing))) return visit.LinkFailed();
  if (!visit.Await(wanted, &notice)) return false;
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
  char ms[32];
  std::snprintf(ms, sizeof ms, "%.1f", us / 1000.0);
  visit.out.row = {{"Keep-alive ms", ms}};
  visit.out.json = std::string(",\"ms\":") + ms;
  return true;
}

bool FleetWhoami(Visit& visit) {
  std::string letters = AccessLetters(visit.link.access());
  std::string running = visit.link.server_running() ? "yes" : "no";
  visit.out.row = {{"Access", letters}, {"Server running", running}};
  visit.out.json = ",\"whoami\":" + JsonObject(visit.out.row);
  return true;
}

struct FleetCommand {
  std::string_view name;
  std::uint32_t code;  // the command the access check is made for; 0 none
  bool (*run)(Visit&);
  bool needs_text = false;
};

constexpr std::uint32_t C(std::uint32_t n) { return kClientBase + n; }

constexpr std::array kFleetCommands{
    FleetCommand{"status", C(0x15), FleetStatus},
    FleetCommand{"health", C(0x15), FleetHealth},
    FleetCommand{"players", C(0x0C), FleetPlayers},
    FleetCommand{"ping", C(0x32), FleetPing},
    FleetCommand{"whoami", 0, FleetWhoami},
    FleetCommand{"say", C(0x2C), FleetText<C(0x2C), kNotifyChatSent>, true},
    FleetCommand{"message", C(0x2D), FleetText<C(0x2D), kNotifyMessageSent>, true},
};

void VisitMember(const FleetMember& member, const Options& options, const FleetCommand& command,
                 Outcome* out) {
  Visit visit{{}, Clock::now() + std::chrono::milliseconds(options.timeout_ms), options.words, *out};
  if (!visit.Budget()) return;
  if (!visit.link.Connect(member.host, member.port)) return void(visit.LinkFailed());
  if (!visit.Budget()) return;
  if (!visit.link.Login(*options.user, *options.password)) return void(visit.LinkFailed());
  if (command.code != 0 && !MaskAdmitsCommand(visit.link.access(), command.code))
    return void(visit.Failed(kExitRefused, "access refused: user " + *options.user + " lacks " +
                                               AccessNeeded(command.code)));
  if (visit.Budget()) command.run(visit);
}

std::string Where(const FleetMember& member) {
  return member.host + ":" + std::to_string(member.port);
}

std::string OutcomeText(const Outcome& outcome) {
  return outcome.status == kExitOk ? "ok" : TerminalText(outcome.error);
}

void PrintTable(const std::vector<FleetMember>& members, const std::vector<Outcome>& outcomes,
                bool players) {
  std::vector<Fields> rows;
  // A failed daemon's row leaves the command's columns empty.
  Fields blank;
  for (const Outcome& outcome : outcomes)
    if (outcome.status == kExitOk) blank = outcome.row;
  for (auto& field : blank) field.second.clear();
  for (std::size_t i = 0; i < members.size(); ++i) {
    Fields row{{"Name", members[i].name}, {"Address", Where(members[i])}};
    const Fields& columns = outcomes[i].status == kExitOk ? outcomes[i].row : blank;
    row.insert(row.end(), columns.begin(), columns.end());
    row.emplace_back("Outcome", OutcomeText(outcomes[i]));
    rows.push_back(std::move(row));
  }
  std::cout << FormatTable(rows);
  if (!players) return;
  std::vector<Fields> people;
  for (std::size_t i = 0; i < members.size(); ++i)
    for (const Fields& player : outcomes[i].rows) {
      Fields row{{"Server", members[i].name}};
      row.insert(row.end(), player.begin(), player.begin() + 7);  // name to ping
      people.push_back(std::move(row));
    }
  if (!people.empty()) std::cout << "\n" << FormatTable(people);
}

void PrintJson(const std::vector<FleetMember>& members, const std::vector<Outcome>& outcomes,
               const std::string& command) {
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Outcome& outcome = outcomes[i];
    std::cout << "{\"server\":" << JsonString(members[i].name)
              << ",\"address\":" << JsonString(Where(members[i]))
              << ",\"command\":" << JsonString(command)
              << ",\"ok\":" << (outcome.status == kExitOk ? "true" : "false")
              << ",\"exit\":" << outcome.status;
    if (outcome.status == kExitOk)
      std::cout << outcome.json << "}\n";
    else
      std::cout << ",\"error\":" << JsonString(outcome.error) << "}\n";
  }
}

int Usage(const Options& options, const std::string& message) {
  if (options.json)
    std::cout << "{\"ok\":false,\"exit\":2,\"error\":" << JsonString(message) << "}\n";
  else
    std::cerr << "korvctl: " << message << "\n";
  return kExitUsage;
}

}  // namespace

bool ParseFleet(const std::string& text, int default_port, std::vector<FleetMember>* members,
                std::string* error) {
  std::size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    std::size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    start = end + 1;
    line = Trim(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    std::string where = "line " + std::to_string(number) + " of the fleet file";
    std::size_t gap = line.find_first_of(" \t");
    std::string name = line.substr(0, gap);
    std::string address = gap == std::string::npos ? "" : Trim(line.substr(gap));
    if (address.empty() || address.find_first_of(" \t") != std::string::npos)
      return *error = where + " is not \"name address[:port]\"", false;
    FleetMember member{name, address, default_port};
    if (std::size_t colon = address.rfind(':'); colon != std::string::npos) {
      member.host = address.substr(0, colon);
      std::string port = address.substr(colon + 1);
      long value = 0;
      if (port.empty() || port.size() > 5 ||
          !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
          (value = std::stol(port)) < 1 || value > 65535 || member.host.empty())
        return *error = where + ": the port must be a number from 1 to 65535", false;
      member.port = static_cast<int>(value);
    }
    for (const FleetMember& other : *members)
      if (other.name == name) return *error = where + " repeats the name " + name, false;
    if (members->size() == kMaxMembers)
      return *error = "the fleet file lists more than 1000 daemons", false;
    members->push_back(std::move(member));
  }
  if (members->empty()) return *error = "the fleet file lists no daemon", false;
  return true;
}

int RunFleet(Options& options) {
  const FleetCommand* command = nullptr;
  for (const FleetCommand& row : kFleetCommands)
    if (row.name == options.subcommand) command = &row;
  if (command == nullptr)
    return Usage(options, "--fleet runs status, health, players, ping, whoami, say or message, "
                          "not '" + options.subcommand + "'");
  std::string error;
  if (!command->needs_text && !options.words.empty())
    return Usage(options, options.subcommand + " takes no words with --fleet");
  if (command->needs_text && options.words.empty())
    return Usage(options, options.subcommand + " needs the text");
  if (!CheckText(JoinWords(options.words), &error)) return Usage(options, error);
  std::optional<std::string> file = ReadWholeFile(*options.fleet_file, 1 << 20);
  if (!file) return Usage(options, "cannot read the fleet file " + *options.fleet_file);
  std::vector<FleetMember> members;
  if (!ParseFleet(*file, options.port, &members, &error)) return Usage(options, error);
  if (!ResolveCredentials(&options, &error)) return Usage(options, error);
  if (!options.timeout_given) options.timeout_ms = kDefaultFleetTimeoutMs;

  std::vector<Outcome> outcomes(members.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < std::min(members.size(), kMaxThreads); ++t)
    threads.emplace_back([&] {
      for (std::size_t i; (i = next++) < members.size();)
        VisitMember(members[i], options, *command, &outcomes[i]);
    });
  for (std::thread& thread : threads) thread.join();

  if (options.json)
    PrintJson(members, outcomes, options.subcommand);
  else
    PrintTable(members, outcomes, command->run == FleetPlayers);
  bool all_ok = std::all_of(outcomes.begin(), outcomes.end(),
                            [](const Outcome& outcome) { return outcome.status == kExitOk; });
  return all_ok ? kExitOk : kExitFailed;
}

}  // namespace korvctl
