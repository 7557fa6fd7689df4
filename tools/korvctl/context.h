// What every subcommand shares: the context of one run, the subcommand
// row, reporting outcomes in words or JSON, reading words and waiting for
// the daemon's answers.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link.h"
#include "options.h"
#include "protocol.h"

namespace korvctl {

inline constexpr std::uint32_t kPing = kClientBase + 0x32;

struct Context {
  Options& options;
  Link link;
  std::string command;
};

struct Subcommand;
using Handler = int (*)(Context&, const Subcommand&);
// Builds the command text from the words; false with a usage message.
using TextBuilder = bool (*)(Context&, std::string* text, std::string* error);

struct Subcommand {
  std::string_view name;
  std::string_view synopsis;
  std::string_view summary;
  std::string_view description;
  std::uint32_t code;  // the command the access check is made for; 0 none
  Handler handler;
  TextBuilder text = nullptr;  // queued commands with a text
  std::array<std::uint32_t, 2> ok{};  // notifications of success
  std::uint32_t already = 0;          // "already in that state"
  std::uint32_t not_ok = 0;           // a second failure notification
};

// Reports a failure (stderr, or a JSON object on stdout with --json).
void PrintFailure(Context& context, int status, const std::string& message);
// PrintFailure, returning the status.
int Fail(Context& context, int status, const std::string& message);
// Reports the link's failure and returns its status.
int LinkFailed(Context& context);
// Reports success: the message, or a JSON object with extra members
// (",\"key\":value..." text).
int Succeed(Context& context, const std::string& message, const std::string& json_members = "");
// A notification as a JSON object.
std::string NoticeJson(const Notice& notice);

std::string JoinWords(std::span<const std::string> words);
// A decimal player id or slot (optionally negative); false for anything else.
bool ParseId(const std::string& word, int* id);
// Command texts: at most 255 characters, no zero byte.
bool CheckText(const std::string& text, std::string* error);
// Splits --name VALUE options (of `names`) from the other words.
bool SplitOptions(const std::vector<std::string>& words, std::span<const std::string_view> names,
                  std::vector<std::pair<std::string, std::string>>* values,
                  std::vector<std::string>* rest, std::string* error);
std::string Lookup(const std::vector<std::pair<std::string, std::string>>& values,
                   std::string_view name, const std::string& fallback = "");

// Waits for a notification in `wanted`; other clients' news is passed over.
// kExitOk when one came, else the failure's status (already reported).
int WaitFor(Context& context, std::span<const std::uint32_t> wanted, Notice* notice);
bool Download(Context& context, std::uint32_t code, std::string* plain);
// kExitOk when the keep-alive was answered, else the reported failure.
int Ping(Context& context);

}  // namespace korvctl
