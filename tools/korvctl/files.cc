// Downloads are written beside their target and renamed into place;
// uploads are confirmed by a keep-alive and by a second download: of the
// same bytes where the daemon keeps the file as sent, of the same values
// for the settings.
#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "core/files.h"
#include "core/last_error.h"
#include "texts.h"
#include "wire/file_frame.h"
#include "wire/setting_line.h"

namespace korvctl {
namespace {

struct FileRow {
  std::string_view name;
  std::uint32_t down;  // n; 0xFF when there is no download
  std::uint32_t up;    // n; 0xFF when there is no upload
  std::string_view file;
  bool verify;  // the daemon keeps an upload as sent, so a download must match
  bool secret;  // holds passwords: a new local copy is readable by its owner only
};

constexpr std::uint32_t kNone = 0xFF;
constexpr std::array kFiles{
    FileRow{"settings", 0x00, 0x01, "korvane.con", false, true},
    FileRow{"pb-config", 0x02, 0x03, "pbsv.cfg", true, false},
    FileRow{"mods", 0x08, kNone, "mods.con", false, false},
    FileRow{"maps", 0x09, kNone, "maps.con", false, false},
    FileRow{"rotation", 0x0A, 0x0B, "servermaplist.con", true, false},
    FileRow{"players", 0x0C, kNone, "playerlist.con", false, false},
    FileRow{"clients", 0x0D, kNone, "clientlist.con", false, false},
    FileRow{"player-menu", 0x0E, kNone, "playermenu.con", false, false},
    FileRow{"bans", 0x0F, 0x10, "serverbanlist.con", true, false},
    FileRow{"users", 0x11, 0x12, "useraccess.con", false, true},
    FileRow{"schedule", 0x13, 0x14, "serverschedule.con", true, false},
    FileRow{"announcements", 0x16, 0x17, "announcements.con", true, false},
    FileRow{"banned-words", 0x18, 0x19, "bannedwords.con", true, false},
    FileRow{"log", 0x30, kNone, "korvd.log", false, false},
};

const FileRow* FindFile(const std::string& name) {
  for (const FileRow& row : kFiles)
    if (row.name == name || row.file == name) return &row;
  return nullptr;
}

std::string FileNames(bool upload) {
  std::string names;
  for (const FileRow& row : kFiles)
    if ((upload ? row.up : row.down) != kNone) names += (names.empty() ? "" : ", ") + std::string(row.name);
  return names;
}

// FILE [-o PATH] or FILE [-i PATH]; false with a message.
bool FileWords(Context& context, bool upload, const FileRow** row, std::string* path,
               std::string* error) {
  const auto& words = context.options.words;
  std::string flag = upload ? "-i" : "-o";
  if (words.empty()) {
    *error = context.command + " needs the file: one of " + FileNames(upload);
    return false;
  }
  *row = FindFile(words[0]);
  if (*row == nullptr || ((upload ? (*row)->up : (*row)->down) == kNone)) {
    *error = "korvctl cannot " + context.command + " '" + words[0] + "'; files: " +
             FileNames(upload);
    return false;
  }
  *path = std::string((*row)->file);
  if (words.size() == 3 && words[1] == flag) {
    *path = words[2];
  } else if (words.size() != 1) {
    *error = context.command + " takes the file and optionally " + flag + " PATH";
    return false;
  }
  return true;
}

// A settings value as the daemon would write it back: without quotes, '_'
// for a blank in welcome texts, numbers in one form ("0.5" is "0.50").
std::string NormalSettingValue(std::string_view value) {
  std::string text;
  for (char c : value) {
    if (c != '"') text.push_back(c == '_' ? ' ' : c);
  }
  char* end = nullptr;
  double number = std::strtod(text.c_str(), &end);
  if (!text.empty() && end != nullptr && *end == '\0') {
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.17g", number);
    return digits;
  }
  return text;
}

struct KeyLines {
  std::string key;                  // as first written
  std::vector<std::string> values;  // in file order
};

// The lines of a settings file by key (case-insensitive), keyed as the
// daemon reads them.
std::map<std::string, KeyLines> SettingLines(std::string_view file) {
  std::map<std::string, KeyLines> lines;
  while (!file.empty()) {
    std::size_t end = file.find('\n');
    std::string_view line = file.substr(0, end);
    file = end == std::string_view::npos ? std::string_view() : file.substr(end + 1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    SettingLineParts parts = SplitSettingLine(line);
    if (parts.key.empty()) continue;
    std::string key(parts.key);
    std::string lower = key;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    KeyLines& entry = lines[lower];
    if (entry.key.empty()) entry.key = key;
    entry.values.push_back(NormalSettingValue(parts.rest));
  }
  return lines;
}

// Compares the settings sent with those the daemon now holds. Keys the
// download lacks (groups the user may not see) are not compared; of a key
// sent twice the daemon takes the first line. Empty when every value was
// taken, else the first one that was not.
std::string SettingNotTaken(std::string_view sent, std::string_view held) {
  auto held_lines = SettingLines(held);
  for (const auto& [lower, lines] : SettingLines(sent)) {
    auto found = held_lines.find(lower);
    if (found == held_lines.end()) continue;
    const std::vector<std::string>& values = lines.values;
    const std::vector<std::string>& now = found->second.values;
    if (now == values || (now.size() == 1 && now[0] == values[0])) continue;
    std::size_t at = 0;
    while (at < now.size() && at < values.size() && now[at] == values[at]) ++at;
    std::string is = at < now.size() ? now[at] : "missing";
    std::string sent_value = at < values.size() ? values[at] : "missing";
    return lines.key + " is " + is + ", not " + sent_value;
  }
  return "";
}

// The daemon rewrites settings in its own form and only for the uploader's
// groups, so they are checked value by value; the other files it keeps as
// sent are checked byte for byte.
int VerifyUpload(Context& context, const FileRow& row, const std::string& plain) {
  std::uint32_t down = kClientBase + row.down;
  bool settings = row.name == "settings";
  if (!(row.verify || settings) || !MaskAdmitsCommand(context.link.access(), down)) return kExitOk;
  std::string kept;
  if (!Download(context, down, &kept)) return LinkFailed(context);
  if (settings) {
    std::string wrong = SettingNotTaken(plain, kept);
    if (wrong.empty()) return kExitOk;
    return Fail(context, kExitFailed, "the daemon did not take the uploaded settings: " + wrong +
                                          " (see its log)");
  }
  if (kept != plain)
    return Fail(context, kExitFailed, "the daemon did not keep the uploaded " +
                                          std::string(row.name) + " (see its log)");
  return kExitOk;
}

}  // namespace

bool IsFileCode(std::uint32_t code) {
  for (const FileRow& row : kFiles)
    if (code == kClientBase + row.down || code == kClientBase + row.up) return true;
  return false;
}

int RunGet(Context& context, const Subcommand&) {
  const FileRow* row = nullptr;
  std::string path;
  std::string error;
  if (!FileWords(context, false, &row, &path, &error)) return Fail(context, kExitUsage, error);
  std::uint32_t code = kClientBase + row->down;
  if (!MaskAdmitsCommand(context.link.access(), code))
    return Fail(context, kExitRefused, "access refused: downloading " + std::string(row->name) +
                                           " needs " + AccessNeeded(code));
  std::string plain;
  if (!Download(context, code, &plain)) return LinkFailed(context);
  if (path == "-") {
    if (context.options.json)
      return Succeed(context, "", ",\"bytes\":" + std::to_string(plain.size()) +
                                      ",\"content\":" + JsonString(plain));
    // Into a pipe or a file the content goes exact; a terminal gets it escaped.
    std::cout << (::isatty(STDOUT_FILENO) ? TerminalText(plain) : plain) << std::flush;
    return kExitOk;
  }
  // Written beside the target and renamed over it, so a failed download
  // never leaves a partial file.
  bool created = false;
  if (row->secret && !FileExists(path)) {
    // ReplaceFileContents keeps the mode of the file it replaces.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    created = fd >= 0;
    if (created) ::close(fd);
  }
  if (!ReplaceFileContents(path, plain)) {
    std::string reason = ErrorText(LastError());
    if (created) ::unlink(path.c_str());
    return Fail(context, kExitFailed, "cannot write " + path + ": " + reason);
  }
  return Succeed(context, "saved " + std::string(row->name) + " (" + std::to_string(plain.size()) +
                              " bytes) to " + path,
                 ",\"file\":" + JsonString(path) + ",\"bytes\":" + std::to_string(plain.size()));
}

int RunPut(Context& context, const Subcommand&) {
  const FileRow* row = nullptr;
  std::string path;
  std::string error;
  if (!FileWords(context, true, &row, &path, &error)) return Fail(context, kExitUsage, error);
  std::uint32_t code = kClientBase + row->up;
  if (!MaskAdmitsCommand(context.link.access(), code))
    return Fail(context, kExitRefused, "access refused: uploading " + std::string(row->name) +
                                           " needs " + AccessNeeded(code));
  std::optional<std::string> plain;
  if (path == "-") {
    plain = std::string(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    plain = ReadWholeFile(path, kFrameMaxPlain);
  }
  if (!plain) return Fail(context, kExitUsage, "cannot read " + path + ": " + ErrorText(LastError()));
  std::string frame = EncodeFileFrame(*plain);
  if (frame.size() == 4 && !plain->empty())
    return Fail(context, kExitFailed, "cannot compress " + path);
  if (!context.link.Send(EncodeCommand(code) + frame)) return LinkFailed(context);
  // The daemon answers uploads with nothing; a keep-alive answered after it
  // shows that the whole frame was taken.
  if (int status = Ping(context); status != kExitOk) return status;
  if (int status = VerifyUpload(context, *row, *plain); status != kExitOk) return status;
  std::string message = "uploaded " + std::string(row->name) + " (" +
                        std::to_string(plain->size()) + " bytes)";
  if (row->name == "rotation" && plain->empty()) message += "; WARNING: the rotation is empty";
  return Succeed(context, message, ",\"bytes\":" + std::to_string(plain->size()));
}

}  // namespace korvctl
