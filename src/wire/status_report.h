// Reading the game's status reports: "\key\value\key\value...", where the
// game does not escape backslashes in values (server and player names may
// hold them), so a key is recognised by its name, not by its position.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

// The keys of one report, found where each can only be that key:
//  - a key is one of the server's own keys (hostname, numplayers, ...,
//    queryid, final), a player's key ("playername_N", "team_N", "score_N",
//    "kills_N", "deaths_N", "ping_N") or the extra key asked for;
//  - a field right after or right before a key is a value, so a player
//    or server named "final" or "numplayers" is just a name;
//  - a key name met once (after that rule) is the key; "queryid" closes
//    every segment and is a key wherever it is not a value (the last one
//    gives the value);
//  - a server key met more than once is the first one that stands among
//    the server's keys (the game lists them before the players') and not
//    inside the server's name; a player key met more than once is
//    ambiguous and has no value.
// A name's value runs to the next key (it may hold backslashes), unless an
// ambiguous key lies within it; any other value is the one field behind
// its key (further fields before the next key known here belong to keys
// the daemon does not read). Values are cut to 1023 characters. The index
// refers to the report's text, which must outlive it.
class StatusReportIndex {
 public:
  explicit StatusReportIndex(std::string_view report, std::string_view extra_key = {});
  // The value of a key, or none when it is missing or ambiguous.
  std::optional<std::string_view> Get(std::string_view key) const;
  // True when the report holds the key more than once and none of them
  // could be told for the key, or a name whose text holds such a key.
  bool Ambiguous(std::string_view key) const;
  // The first ambiguous key in report order, or empty.
  std::string_view first_ambiguous() const { return first_ambiguous_; }

 private:
  struct Entry {
    std::optional<std::string_view> value;
    bool ambiguous = false;
  };
  std::unordered_map<std::string_view, Entry> entries_;
  std::string_view first_ambiguous_;
};

// The value of `key` in a report, cut to 1023 characters; none when the
// key is missing or ambiguous.
std::optional<std::string> StatusValue(std::string_view report, std::string_view key);
