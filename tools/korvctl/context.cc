// Reporting, word checks and waits shared by the subcommands.
#include "context.h"

#include <chrono>
#include <cstdio>
#include <iostream>

#include "core/text.h"
#include "texts.h"

namespace korvctl {

using Clock = std::chrono::steady_clock;

// ---- output -------------------------------------------------------------

void PrintFailure(Context& context, int status, const std::string& message) {
  if (context.options.json)
    std::cout << "{\"ok\":false,\"command\":" << JsonString(context.command)
              << ",\"exit\":" << status << ",\"error\":" << JsonString(message) << "}\n";
  else
    std::cerr << "korvctl: " << TerminalText(message) << "\n";
}

int Fail(Context& context, int status, const std::string& message) {
  PrintFailure(context, status, message);
  return status;
}

int LinkFailed(Context& context) {
  const Failure& failure = context.link.failure();
  return Fail(context, failure.status == kExitOk ? kExitFailed : failure.status, failure.message);
}

int Succeed(Context& context, const std::string& message, const std::string& json_members) {
  if (context.options.json)
    std::cout << "{\"ok\":true,\"command\":" << JsonString(context.command)
              << ",\"message\":" << JsonString(message) << json_members << "}\n";
  else if (!message.empty())
    std::cout << TerminalText(message) << "\n";
  return kExitOk;
}

namespace {

// The fields of a kick or ban: the player, the action, and who acted and
// why ("auto" and the cause for moderation).
std::string ModerationJson(const Notice& notice) {
  std::optional<ModerationFacts> facts = ModerationOf(notice.code);
  if (!facts) return "";
  bool automatic = !facts->cause.empty();
  return ",\"player\":" + JsonString(notice.text) + ",\"action\":" +
         JsonString(std::string(facts->action)) + ",\"by\":" +
         JsonString(automatic ? "auto" : "admin") + ",\"cause\":" +
         (automatic ? JsonString(std::string(facts->cause)) : "null");
}

}  // namespace

std::string NoticeJson(const Notice& notice) {
  char code[16];
  std::snprintf(code, sizeof code, "%08X", notice.code);
  return std::string("{\"code\":\"") + code + "\",\"event\":" +
         JsonString(NoticeKey(notice.code)) + ",\"name\":" +
         JsonString(std::string(NoticeName(notice.code))) + ",\"data\":" +
         (notice.has_data ? JsonString(notice.text) : "null") + ModerationJson(notice) + "}";
}

// ---- words --------------------------------------------------------------

std::string JoinWords(std::span<const std::string> words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

bool ParseId(const std::string& word, int* id) {
  if (word.empty() || word.size() > 9) return false;
  std::size_t start = word[0] == '-' ? 1 : 0;
  if (start == word.size()) return false;
  for (std::size_t i = start; i < word.size(); ++i)
    if (word[i] < '0' || word[i] > '9') return false;
  *id = ParseInt(word);
  return true;
}

bool CheckText(const std::string& text, std::string* error) {
  if (text.size() > (kCommandTextSize - 1)) {
    *error = "the text is " + std::to_string(text.size()) +
             " characters long; the daemon takes at most 255";
    return false;
  }
  if (text.find('\0') != std::string::npos) {
    *error = "the text may not hold a zero byte";
    return false;
  }
  return true;
}

bool SplitOptions(const std::vector<std::string>& words,
                  std::span<const std::string_view> names,
                  std::vector<std::pair<std::string, std::string>>* values,
                  std::vector<std::string>* rest, std::string* error) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    bool matched = false;
    for (std::string_view name : names) {
      std::string option = "--" + std::string(name);
      if (word == option || word.rfind(option + "=", 0) == 0) {
        matched = true;
        if (word.size() > option.size()) {
          values->emplace_back(name, word.substr(option.size() + 1));
        } else if (i + 1 < words.size()) {
          values->emplace_back(name, words[++i]);
        } else {
          *error = option + " needs a value";
          return false;
        }
      }
    }
    if (matched) continue;
    if (word.size() > 2 && word.rfind("--", 0) == 0) {
      *error = "unknown option " + word;
      return false;
    }
    rest->push_back(word);
  }
  return true;
}

std::string Lookup(const std::vector<std::pair<std::string, std::string>>& values,
                   std::string_view name, const std::string& fallback) {
  for (const auto& [key, value] : values)
    if (key == name) return value;
  return fallback;
}

// ---- exchanges ------------------------------------------------------------

int WaitFor(Context& context, std::span<const std::uint32_t> wanted, Notice* notice) {
  auto deadline = Clock::now() + std::chrono::milliseconds(context.link.timeout_ms());
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !context.link.ReadNotice(notice, static_cast<int>(left.count()))) {
      if (left.count() > 0 && context.link.failure().status != kExitTimeout)
        return LinkFailed(context);
      return Fail(context, kExitTimeout,
                  "no outcome from the daemon within " +
                      std::to_string(context.link.timeout_ms() / 1000) +
                      " seconds (the command may still be carried out)");
    }
    for (std::uint32_t code : wanted)
      if (notice->code == code) return kExitOk;
    if (notice->code == kNotifyDisconnect)
      return Fail(context, kExitConnection, "the daemon disconnected this client");
    if (NoticeName(notice->code).empty())
      return Fail(context, kExitProtocol,
                  DescribeNotice(*notice) + ": korvctl does not know this notification");
  }
}

bool Download(Context& context, std::uint32_t code, std::string* plain) {
  return context.link.Send(EncodeCommand(code)) && context.link.ReadFrame(plain);
}

int Ping(Context& context) {
  Notice notice;
  const std::uint32_t wanted[] = {kNotifyKeepAlive};
  if (!context.link.Send(EncodeCommand(kPing))) return LinkFailed(context);
  return WaitFor(context, wanted, &notice);
}

}  // namespace korvctl
