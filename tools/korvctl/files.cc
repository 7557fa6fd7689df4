// Downloads are written beside their target and renamed into place;
// uploads are confirmed by a keep-alive and, where the daemon keeps the
// file as sent, by a second download.
#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <iostream>
#include <iterator>
#include <optional>

#include "core/helpers.h"
#include "texts.h"

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

}  // namespace

bool IsFileCode(std::uint32_t code) {
  for (const FileRow& row : kFiles)
    if (code == kCommandBase + row.down || code == kCommandBase + row.up) return true;
  return false;
}

int RunGet(Context& context, const Subcommand&) {
  const FileRow* row = nullptr;
  std::string path;
  std::string error;
  if (!FileWords(context, false, &row, &path, &error)) return Fail(context, kExitUsage, error);
  std::uint32_t code = kCommandBase + row->down;
  if (!HasCommandAccess(context.link.access(), code))
    return Fail(context, kExitRefused, "access refused: downloading " + std::string(row->name) +
                                           " needs " + AccessNeeded(code));
  std::string plain;
  if (!Download(context, code, &plain)) return LinkFailed(context);
  if (path == "-") {
    if (context.options.json)
      return Succeed(context, "", ",\"bytes\":" + std::to_string(plain.size()) +
                                      ",\"content\":" + JsonString(plain));
    std::cout << plain << std::flush;
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
  std::uint32_t code = kCommandBase + row->up;
  if (!HasCommandAccess(context.link.access(), code))
    return Fail(context, kExitRefused, "access refused: uploading " + std::string(row->name) +
                                           " needs " + AccessNeeded(code));
  std::optional<std::string> plain;
  if (path == "-") {
    plain = std::string(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    plain = ReadWholeFile(path, kMaxFramePlain);
  }
  if (!plain) return Fail(context, kExitUsage, "cannot read " + path + ": " + ErrorText(LastError()));
  std::string frame = EncodeFileFrame(*plain);
  if (frame.size() == 4 && !plain->empty())
    return Fail(context, kExitFailed, "cannot compress " + path);
  if (!context.link.Send(EncodeCommand(code) + frame)) return LinkFailed(context);
  // The daemon answers uploads with nothing; a keep-alive answered after it
  // shows that the whole frame was taken.
  if (int status = Ping(context); status != kExitOk) return status;
  if (row->verify && HasCommandAccess(context.link.access(), kCommandBase + row->down)) {
    std::string kept;
    if (!Download(context, kCommandBase + row->down, &kept)) return LinkFailed(context);
    if (kept != *plain)
      return Fail(context, kExitFailed, "the daemon did not keep the uploaded " +
                                            std::string(row->name) + " (see its log)");
  }
  std::string message = "uploaded " + std::string(row->name) + " (" +
                        std::to_string(plain->size()) + " bytes)";
  if (row->name == "rotation" && plain->empty()) message += "; WARNING: the rotation is empty";
  return Succeed(context, message, ",\"bytes\":" + std::to_string(plain->size()));
}

}  // namespace korvctl
