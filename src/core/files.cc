// Creating, replacing, appending to, opening, reading and copying the
// daemon's files.
#include "core/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/core_state.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/text.h"

// The file procedures report failures in the daemon's log. The tools link
// them without the log and the daemon's state: the weak reference pulls no
// log into them, and there the messages are dropped.
#pragma weak LogMessage

namespace {

bool HaveLog() { return &LogMessage != nullptr; }

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

mode_t ModeFor(FileAccess access) { return access == FileAccess::kOwnerOnly ? 0600 : 0644; }

bool WriteAllToFd(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

bool FileExists(const char* path) {
  if (path == nullptr) return false;
  // Non-blocking, so that a FIFO in place of a file cannot hold the daemon.
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  return fd.get() >= 0 || errno != ENOENT;
}

bool CreateFileWithDirs(const std::string& path_in, int mode, FileAccess access) {
  if (Core().check_only) return true;  // the check writes nothing
  std::string path = CutText(path_in, kMaxPathText);
  std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    std::string dirs = path.substr(0, slash);
    // Rebuild from the root; the first component itself is never created.
    std::size_t pos = (dirs[0] == '/') ? 1 : 0;
    std::size_t first_end = dirs.find('/', pos);
    std::string built = "/";
    built.append(dirs, pos, first_end == std::string::npos ? std::string::npos : first_end - pos);
    bool stop = false;
    while (first_end != std::string::npos && !stop) {
      std::size_t next = dirs.find('/', first_end + 1);
      std::string component = dirs.substr(
          first_end + 1, next == std::string::npos ? std::string::npos : next - first_end - 1);
      first_end = next;
      if (component.empty()) continue;
      built += "/" + component;
      if (::mkdir(built.c_str(), 0755) != 0) {
        SetLastError(errno);
        if (errno != EEXIST) stop = true;
      }
    }
  }
  if (mode == 1) {
    if (FileExists(path)) {
      // A secrets file left readable by all (by hand or by an older start)
      // is narrowed too, not only a new one.
      if (access == FileAccess::kOwnerOnly) {
        UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (file.get() >= 0) ::fchmod(file.get(), 0600);
      }
      return true;
    }
  } else if (mode != 2) {
    return true;
  }
  UniqueFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK,
                      access == FileAccess::kOwnerOnly ? 0600 : 0666));
  if (file.get() < 0) return FailWithErrno();
  // An owner-only file made by an older start may still be readable by all.
  if (access == FileAccess::kOwnerOnly) ::fchmod(file.get(), 0600);
  return true;
}

namespace {

enum class ReplaceFailure { kNone, kOpen, kWrite };

// Truncates and writes the target itself, for a directory that refuses new
// files while its files stay writable.
ReplaceFailure WriteInPlace(const std::string& path, std::string_view contents,
                            FileAccess access) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK,
                     ModeFor(access)));
  if (fd.get() < 0) {
    SetLastError(errno);
    return ReplaceFailure::kOpen;
  }
  // Only the owner may change the mode; the contents go in regardless.
  if (access == FileAccess::kOwnerOnly) ::fchmod(fd.get(), 0600);
  if (!WriteAllToFd(fd.get(), contents.data(), contents.size()) || ::fsync(fd.get()) != 0 ||
      !fd.Close()) {
    SetLastError(errno);
    return ReplaceFailure::kWrite;
  }
  return ReplaceFailure::kNone;
}

ReplaceFailure ReplaceFile(const std::string& path, std::string_view contents,
                           FileAccess access, bool quiet) {
  if (Core().check_only) return ReplaceFailure::kNone;  // the check writes nothing
  std::string directory = DirectoryOf(path);
  std::string temp = directory + "/.korvd-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  UniqueFd fd(::mkstemp(name.data()));
  if (fd.get() < 0) {
    int temp_error = errno;
    SetLastError(temp_error);
    if (temp_error != EACCES && temp_error != EPERM) return ReplaceFailure::kOpen;
    ReplaceFailure result = WriteInPlace(path, contents, access);
    if (result == ReplaceFailure::kOpen) {
      int target_error = LastError();
      if (HaveLog() && !quiet)
        LogMessage(6, "Couldn't create a temporary file in %s! %s", directory.c_str(),
                   ErrorText(temp_error).c_str());
      SetLastError(target_error);
    }
    return result;
  }
  struct stat old_stat;
  // Keep the permissions of the file being replaced (mkstemp makes 0600).
  mode_t mode = ModeFor(access);
  if (access == FileAccess::kKeep && ::stat(path.c_str(), &old_stat) == 0)
    mode = old_stat.st_mode & 07777;
  bool ok = ::fchmod(fd.get(), mode) == 0 &&
            WriteAllToFd(fd.get(), contents.data(), contents.size()) && ::fsync(fd.get()) == 0;
  int saved = errno;
  if (!fd.Close() && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && ::rename(name.data(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    ::unlink(name.data());
    SetLastError(saved);
    return ReplaceFailure::kWrite;
  }
  return ReplaceFailure::kNone;
}

}  // namespace

bool ReplaceFileContents(const std::string& path, std::string_view contents, FileAccess access) {
  return ReplaceFile(path, contents, access, false) == ReplaceFailure::kNone;
}

bool ReplaceFileContentsQuietly(const std::string& path, std::string_view contents) {
  return ReplaceFile(path, contents, FileAccess::kKeep, true) == ReplaceFailure::kNone;
}

bool AppendToFile(const std::string& path, std::string_view text) {
  if (Core().check_only) return true;  // the check writes nothing
  // Non-blocking, so that a FIFO in the file's place cannot hold the daemon.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644));
  struct stat before;
  if (fd.get() < 0 || ::fstat(fd.get(), &before) != 0) {
    SetLastError(errno);
    return false;
  }
  if (!WriteAllToFd(fd.get(), text.data(), text.size())) {
    int saved = errno;
    if (::ftruncate(fd.get(), before.st_size) != 0) saved = errno;
    SetLastError(saved);
    return false;
  }
  if (!fd.Close()) {
    SetLastError(errno);
    return false;
  }
  return true;
}

namespace {

// Stores `error` as errno and the last error, for a refused open.
UniqueFd RefuseOpen(int error) {
  SetLastError(error);
  errno = error;
  return UniqueFd();
}

}  // namespace

UniqueFd OpenRegularFile(const std::string& path, std::size_t max_bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat info;
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) return RefuseOpen(errno);
  if (!S_ISREG(info.st_mode)) {
    if (HaveLog())
      LogMessage(6, "WARNING: Skipped %s, which is not a regular file.", path.c_str());
    return RefuseOpen(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  }
  if (static_cast<std::uint64_t>(info.st_size) > max_bytes) {
    if (HaveLog())
      LogMessage(6, "WARNING: Skipped %s, which is larger than %zu bytes.", path.c_str(),
                 max_bytes);
    return RefuseOpen(EFBIG);
  }
  return fd;
}

UniqueFile OpenRegularStream(const std::string& path, std::size_t max_bytes) {
  UniqueFd fd = OpenRegularFile(path, max_bytes);
  if (fd.get() < 0) return UniqueFile();
  UniqueFile file(::fdopen(fd.get(), "r"));
  if (!file) {
    FailWithErrno();
    return UniqueFile();
  }
  fd.Release();
  return file;
}

std::optional<std::string> ReadWholeFile(const std::string& path, std::size_t max_bytes) {
  UniqueFd fd = OpenRegularFile(path, max_bytes);
  if (fd.get() < 0) return std::nullopt;
  std::string data;
  char chunk[8192];
  for (;;) {
    ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      FailWithErrno();
      return std::nullopt;
    }
    if (got == 0) return data;
    // A file that grows while it is read is still cut at the cap.
    if (data.size() + static_cast<std::size_t>(got) > max_bytes) {
      SetLastError(EFBIG);
      return std::nullopt;
    }
    data.append(chunk, static_cast<std::size_t>(got));
  }
}

bool ReadStream(std::FILE* file, std::string* text) {
  struct stat st{};
  if (::fstat(::fileno(file), &st) == 0 && st.st_size > 0)
    text->reserve(text->size() + static_cast<std::size_t>(st.st_size));
  char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text->append(chunk, got);
  return std::ferror(file) == 0;
}

bool CopyFile(const std::string& source, const std::string& target) {
  UniqueFile in = OpenRegularStream(source);
  if (!in) {
    SetLastError(errno);
    if (HaveLog())
      LogMessage(6, "Couldn't open source con file! %s",
                 ErrorText(LastError()).c_str());
    return false;
  }
  std::string data;
  char chunk[8192];
  for (;;) {
    std::size_t got = std::fread(chunk, 1, sizeof chunk, in.get());
    data.append(chunk, got);
    if (got < sizeof chunk) {
      if (std::ferror(in.get())) {
        SetLastError(errno);
        if (HaveLog())
          LogMessage(6, "Couldn't read source file! %s",
                     ErrorText(LastError()).c_str());
        return false;
      }
      break;
    }
  }
  CreateFileWithDirs(target, 0);
  ReplaceFailure failure = ReplaceFile(target, data, FileAccess::kKeep, false);
  if (failure == ReplaceFailure::kOpen) {
    if (HaveLog())
      LogMessage(6, "Couldn't open target con file! %s",
                 ErrorText(LastError()).c_str());
  } else if (failure == ReplaceFailure::kWrite) {
    if (HaveLog()) LogMessage(6, "Couldn't write target file! %s", ErrorText(LastError()).c_str());
  }
  return failure == ReplaceFailure::kNone;
}

bool ReplaceLinesInFile(const std::string& path, std::string_view key, const char* replacement) {
  UniqueFile in = OpenRegularStream(path);
  if (!in) {
    SetLastError(errno);
    if (HaveLog())
      LogMessage(6, "Couldn't open %s! %s",
                 path.c_str(), ErrorText(LastError()).c_str());
    return false;
  }
  std::string out;
  std::string line;
  bool found = false;
  while (ReadLineBounded(in.get(), 1024, &line)) {
    if (line.find(key) == std::string::npos) {
      out += line;
      continue;
    }
    found = true;
    if (replacement != nullptr) {
      out += replacement;
      out += '\n';
    }
  }
  if (std::ferror(in.get())) {
    SetLastError(errno);
    if (HaveLog())
      LogMessage(6, "Couldn't read %s! %s",
                 path.c_str(), ErrorText(LastError()).c_str());
    return false;
  }
  in.reset();
  if (!found && replacement != nullptr && replacement[0] != '\0') {
    out += replacement;
    out += '\n';
  }
  if (!ReplaceFileContents(path, out)) {
    if (HaveLog())
      LogMessage(6, "Couldn't open %s! %s",
                 path.c_str(), ErrorText(LastError()).c_str());
    return false;
  }
  return true;
}

bool ReadLineBounded(std::FILE* file, std::size_t limit, std::string* line) {
  line->clear();
  if (limit < 2) return false;
  int c = 0;
  while (line->size() < limit - 1 && (c = std::fgetc(file)) != EOF) {
    line->push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !line->empty();
}
