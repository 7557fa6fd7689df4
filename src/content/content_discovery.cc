// Scanning the game installation for mods and map archives, and reading an
// archive's directory for the game modes it holds.
#include "content/content_discovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "core/byte_order.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "core/log.h"
#include "core/core_state.h"
#include "settings/settings_state.h"

namespace {

constexpr const char* kLevelsDir = "/archives/bf1942/levels";
constexpr std::uint32_t kMaxEntryName = 1047;
constexpr std::uint32_t kEntryDataBytes = 24;
// Map archives hold a few thousand entries; a directory that claims more is
// read this far only.
constexpr std::uint32_t kMaxEntries = 65536;
constexpr std::size_t kModLineLimit = 31;  // a mod name has at most 30 characters

// Every game type is a file "<MODE>.CON" in a "GAMETYPES" directory of the
// archive, and each mode's name ends in a letter of its own. An entry is
// compared whole only with the mode whose letter stands before its ".CON".
struct ModePattern {
  std::string_view suffix;
  std::uint32_t bit;
};
constexpr std::array<ModePattern, 5> kModePatterns = {{
    {"/GAMETYPES/CONQUEST.CON", kModeConquest},
    {"/GAMETYPES/COOP.CON", kModeCoop},
    {"/GAMETYPES/CTF.CON", kModeCtf},
    {"/GAMETYPES/TDM.CON", kModeTdm},
    {"/GAMETYPES/OBJECTIVEMODE.CON", kModeObjective},
}};
constexpr std::size_t kLetterFromEnd = std::string_view("T.CON").size();

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// Reads an archive front to back through one buffer, never past the end of
// the file; every call consumes bytes only when it succeeds.
class ArchiveReader {
 public:
  ArchiveReader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

  // Reads the 32-bit value at `offset` by itself, the buffer untouched: the
  // archive's header, whose directory lies elsewhere.
  std::optional<std::uint32_t> ReadU32At(std::uint64_t offset) const {
    unsigned char bytes[4];
    ssize_t got;
    do {
      got = ::pread(fd_, bytes, sizeof bytes, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    if (got != sizeof bytes) return std::nullopt;
    return LoadU32(bytes);
  }
  bool Seek(std::uint64_t offset) {
    if (offset > size_) return false;
    pos_ = offset;
    begin_ = end_ = 0;
    return true;
  }
  bool ReadU32(std::uint32_t* value) {
    std::string_view bytes = Fill(4);
    if (bytes.size() < 4) return false;
    *value = LoadU32(reinterpret_cast<const unsigned char*>(bytes.data()));
    begin_ += 4;
    return true;
  }
  // The bytes buffered from the current position, at least `length` of
  // them unless the file (or a read) ends first; valid until the next call.
  std::string_view Fill(std::size_t length) {
    if (end_ - begin_ < length) Refill(length);
    return {reinterpret_cast<const char*>(buffer_.data()) + begin_, end_ - begin_};
  }
  bool Skip(std::uint64_t length) {
    if (Remaining() < length) return false;
    std::uint64_t buffered = end_ - begin_;
    if (length <= buffered) {
      begin_ += length;
    } else {
      pos_ += length - buffered;
      begin_ = end_ = 0;
    }
    return true;
  }

 private:
  std::uint64_t Remaining() const { return (size_ - pos_) + (end_ - begin_); }
  void Refill(std::size_t length) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    while (end_ < length && pos_ < size_) {
      std::size_t want = buffer_.size() - end_;
      if (size_ - pos_ < want) want = static_cast<std::size_t>(size_ - pos_);
      ssize_t got = ::pread(fd_, buffer_.data() + end_, want, static_cast<off_t>(pos_));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return;
      end_ += static_cast<std::size_t>(got);
      pos_ += static_cast<std::uint64_t>(got);
    }
  }

  int fd_;
  std::uint64_t size_;
  std::uint64_t pos_ = 0;  // file position of buffer_[end_]
  std::array<unsigned char, 65536> buffer_;  // holds only bytes read
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

std::uint32_t ModesOfEntry(std::string_view name) {
  // The name ends at its first NUL, as the archive's C strings do.
  name = name.substr(0, name.find('\0'));
  if (name.size() < kLetterFromEnd) return 0;
  // Clearing bit 5 turns a lower-case letter into its capital.
  char letter = static_cast<char>(name[name.size() - kLetterFromEnd] & ~0x20);
  for (const ModePattern& pattern : kModePatterns) {
    const std::string_view& suffix = pattern.suffix;
    if (letter != suffix[suffix.size() - kLetterFromEnd]) continue;
    bool whole = name.size() >= suffix.size() &&
                 EqualNoCase(name.substr(name.size() - suffix.size()), suffix);
    return whole ? pattern.bit : 0;
  }
  return 0;
}

// The modes named by `count` directory entries, each a 32-bit name length,
// the name and its data bytes. Entries are read in place from the buffer,
// which is refilled whenever it may hold less than one whole entry; the
// modes found so far count when the directory runs past the end.
std::uint32_t ModesOfDirectory(ArchiveReader* reader, std::uint32_t count) {
  constexpr std::size_t kLongestEntry = 4 + kMaxEntryName + kEntryDataBytes;
  std::uint32_t mask = 0;
  std::string_view window;  // buffered bytes; `used` of them are read
  std::size_t used = 0;
  for (; count > 0; --count) {
    if (window.size() - used < kLongestEntry) {
      reader->Skip(used);
      window = reader->Fill(kLongestEntry);
      used = 0;
    }
    std::string_view rest = window.substr(used);
    if (rest.size() < 4) break;
    std::uint32_t length = LoadU32(reinterpret_cast<const unsigned char*>(rest.data()));
    if (length > kMaxEntryName) {
      // Skipped unread: no game type has so long a name.
      reader->Skip(used + 4);
      window = {};
      used = 0;
      if (!reader->Skip(std::uint64_t{length} + kEntryDataBytes)) break;
      continue;
    }
    if (rest.size() - 4 < length) break;
    mask |= ModesOfEntry(rest.substr(4, length));
    if (rest.size() - 4 - length < kEntryDataBytes) break;
    used += 4 + length + kEntryDataBytes;
  }
  return mask;
}

void LogScanFailure(const std::string& path) {
  LogMessage(6, "Couldn't detect available mods! %s", ErrorText(LastError()).c_str());
  LogMessage(6, "Verify all directory names in %s exist and are lowercase.", path.c_str());
}

void LogMapScanFailure(const std::string& path) {
  LogMessage(6, "Couldn't detect available maps! %s", ErrorText(LastError()).c_str());
  LogMessage(6, "Verify all directory names in %s exist and are lowercase.", path.c_str());
}

// Looks at one entry of mods/: lists it when playable, notes it when unpure.
// False when its status cannot be read.
bool ScanModEntry(const std::string& mods_dir, std::string name, std::string* lines) {
  struct stat info;
  // A file or link beside the mods (a readme, say) is no mod, whatever its
  // case; a directory is looked for under its lower-case name.
  std::string as_found = mods_dir + name;
  if (::lstat(as_found.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
    LogMessage(6, "WARNING: Skipped %s, which is not a mod directory.", as_found.c_str());
    return true;
  }
  LowerCase(name);
  std::string path = mods_dir + name;
  if (Core().debug) LogMessage(6, "DEBUG: WriteModsFile: path=%s\n", path.c_str());
  if (::lstat(path.c_str(), &info) != 0) {
    SetLastError(errno);
    LogScanFailure(path);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) return true;
  if (FileExists(path + "/init.con")) {
    *lines += name + "\n";
  } else if (Core().debug) {
    LogMessage(6, "DEBUG: Couldn't detect init.con for mod %s!", name.c_str());
  }
  if (!FileExists(path + "/contentcrc32.con")) {
    AddUnpureMod(name);
  }
  return true;
}

bool WriteOrLog(const std::string& path, const std::string& contents, bool mods_file) {
  CreateFileWithDirs(path, 0);
  if (ReplaceFileContents(path, contents)) return true;
  int error = LastError();
  if (mods_file) {
    LogMessage(6, "Couldn't open mods file! %s", ErrorText(error).c_str());
  } else {
    LogMessage(6, "Couldn't open %s file! %s", path.c_str(), ErrorText(error).c_str());
  }
  SetLastError(error);
  return false;
}

// The map name of a levels-directory entry, or none for entries that are
// not map archives (no .rfa, or an extra archive holding "_0").
std::optional<std::string> MapNameOf(const char* entry) {
  std::string_view name(entry);
  if (name.find(".RFA") == std::string_view::npos && name.find(".rfa") == std::string_view::npos)
    return std::nullopt;
  if (name.find("_0") != std::string_view::npos) return std::nullopt;
  std::string map = CutText(name, 63);
  LowerCase(map);
  return map.substr(0, map.find(".rfa"));
}

// The file name of `map`'s archive in the levels directory `levels`:
// "<map>.rfa", or an archive whose name differs from it only in case
// (Tobruk.RFA); none when neither is there.
std::optional<std::string> FindArchive(const std::string& levels, const std::string& map) {
  std::string name = map + ".rfa";
  if (FileExists(levels + name)) return name;
  UniqueDir dir(::opendir(levels.c_str()));
  if (!dir) return std::nullopt;
  while (struct dirent* entry = ::readdir(dir.get())) {
    if (strcasecmp(entry->d_name, name.c_str()) == 0) return std::string(entry->d_name);
  }
  return std::nullopt;
}

// The modes of the base game's archives read so far in one scan, by path:
// every mod map takes those of the base map of the same name, and each base
// archive is read once however many mods have that map.
using ModesByArchive = std::unordered_map<std::string, std::uint32_t>;

std::optional<std::uint32_t> BaseArchiveModes(const std::string& path, ModesByArchive* known) {
  auto found = known->find(path);
  if (found != known->end()) return found->second;
  std::optional<std::uint32_t> modes = DetectGameTypes(path);
  if (modes) known->emplace(path, *modes);
  return modes;
}

// Appends the maps.con lines of one mod. False when its levels directory
// cannot be opened.
bool ScanModMaps(const std::string& mod, ModesByArchive* base_modes, std::string* lines) {
  const std::string& server = Core().server_dir;
  std::string levels = server + "/mods/" + mod + kLevelsDir + "/";
  if (Core().debug) LogMessage(6, "DEBUG: WriteMapsFile: path=%s\n", levels.c_str());
  UniqueDir dir(::opendir(levels.c_str()));
  if (!dir && (errno == ENOENT || errno == ENOTDIR)) {
    // A mod without maps (or a stale line in mods.con) offers nothing.
    LogMessage(6, "WARNING: Skipped mod %s, which has no map directory %s.", mod.c_str(),
               levels.c_str());
    return true;
  }
  if (!dir) {
    SetLastError(errno);
    LogMapScanFailure(levels);
    return false;
  }
  bool base_mod = strcasecmp(mod.c_str(), "bf1942") == 0;
  while (struct dirent* entry = ::readdir(dir.get())) {
    std::optional<std::string> map = MapNameOf(entry->d_name);
    if (!map) continue;
    std::uint32_t mask = 0;
    std::string base_levels = server + "/mods/bf1942" + kLevelsDir + "/";
    std::optional<std::string> base = base_mod ? std::nullopt : FindArchive(base_levels, *map);
    if (base) {
      std::optional<std::uint32_t> modes = BaseArchiveModes(base_levels + *base, base_modes);
      if (!modes) continue;
      mask = *modes;
    }
    // The archive is opened by its own name, whatever its case; the map is
    // listed under its lower-case name.
    std::string own_name = *map + ".rfa";
    if (strcasecmp(entry->d_name, own_name.c_str()) == 0) own_name = entry->d_name;
    std::optional<std::uint32_t> own = base_mod ? BaseArchiveModes(levels + own_name, base_modes)
                                                : DetectGameTypes(levels + own_name);
    if (!own) continue;
    mask |= *own;
    if (mask != 0) {
      *lines += mod + "," + *map + "," + std::to_string(mask) + "\n";
    } else if (Core().debug) {
      LogMessage(6, "DEBUG: Couldn't detect any game types for %s/%s!", mod.c_str(),
                 map->c_str());
    }
  }
  return true;
}

}  // namespace

bool WriteModsFile(const std::string& path) {
  std::string mods_dir = Core().server_dir + "/mods/";
  ClearUnpureMods();
  UniqueDir dir(::opendir(mods_dir.c_str()));
  if (!dir) {
    SetLastError(errno);
    LogScanFailure(mods_dir);
    WriteOrLog(path, "", true);
    return false;
  }
  std::string lines;
  while (struct dirent* entry = ::readdir(dir.get())) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (!ScanModEntry(mods_dir, entry->d_name, &lines)) {
      int error = LastError();
      WriteOrLog(path, lines, true);
      SetLastError(error);
      return false;
    }
  }
  return WriteOrLog(path, lines, true);
}

bool WriteMapsFile(const std::string& path) {
  std::string mods_path = Core().settings_dir + "/mods.con";
  UniqueFile mods = OpenRegularStream(mods_path);
  if (!mods) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open %s file! %s", mods_path.c_str(), ErrorText(LastError()).c_str());
    return false;
  }
  std::string lines;
  std::string mod;
  ModesByArchive base_modes;
  bool ok = true;
  while (ReadLineBounded(mods.get(), kModLineLimit, &mod)) {
    while (!mod.empty() && (mod.back() == '\n' || mod.back() == '\r')) mod.pop_back();
    if (mod.empty()) break;
    if (!ScanModMaps(mod, &base_modes, &lines)) {
      ok = false;
      break;
    }
  }
  if (ok && std::ferror(mods.get())) {
    SetLastError(errno);
    LogMessage(6, "Couldn't read mods file! %s", ErrorText(LastError()).c_str());
    ok = false;
  }
  int error = LastError();
  if (!WriteOrLog(path, lines, false)) return false;
  if (!ok) SetLastError(error);
  return ok;
}

std::optional<std::uint32_t> DetectGameTypes(const std::string& archive_path) {
  // Archives are large; only their directory is read, so no size cap.
  UniqueFd fd = OpenRegularFile(archive_path, std::numeric_limits<std::size_t>::max());
  struct stat info;
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
    // A FIFO, device or directory in an archive's place was already named
    // in a warning.
    if (errno != EINVAL && errno != EISDIR) {
      SetLastError(errno);
      LogMessage(6, "Couldn't open %s file! %s", archive_path.c_str(),
                 ErrorText(LastError()).c_str());
    }
    return std::nullopt;
  }
  ArchiveReader reader(fd.get(), static_cast<std::uint64_t>(info.st_size));
  std::optional<std::uint32_t> directory = reader.ReadU32At(0);
  std::uint32_t count = 0;
  if (!directory || !reader.Seek(*directory) || !reader.ReadU32(&count)) return 0;
  if (count > kMaxEntries) {
    LogMessage(6, "WARNING: %s claims %u entries, reading the first %u.", archive_path.c_str(),
               count, kMaxEntries);
    count = kMaxEntries;
  }
  return ModesOfDirectory(&reader, count);
}

