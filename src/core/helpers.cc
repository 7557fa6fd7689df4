// The daemon's small file and text procedures.
#include "core/helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/core_state.h"
#include "core/log.h"

// The file helpers report failures in the daemon's log. The tools link these
// helpers without the log and the daemon's state: the weak reference pulls
// no log into them, and there the messages are dropped.
#pragma weak LogMessage

namespace {

bool HaveLog() { return &LogMessage != nullptr; }

// The last error of the calling procedure.
std::int32_t g_last_error = 0;

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

// Splits a choice list at every '/' and ','.
std::vector<std::string_view> ChoiceTokens(std::string_view list) {
  std::vector<std::string_view> tokens;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= list.size(); ++i) {
    if (i == list.size() || list[i] == '/' || list[i] == ',') {
      if (i > start) tokens.push_back(list.substr(start, i - start));
      start = i + 1;
    }
  }
  return tokens;
}

}  // namespace

std::string EscapeControlText(std::string_view text, std::size_t max_length) {
  std::string out;
  for (char c : text) {
    if (out.size() >= max_length) break;
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte == '\r' || byte == '\n' || byte == 0x80) {
      out += ' ';
    } else if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
      if (out.size() + 4 > max_length) break;
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

void SetLastError(std::int32_t code) { g_last_error = code; }
std::int32_t LastError() { return g_last_error; }
bool FailWithErrno() {
  SetLastError(errno);
  return false;
}

std::string ErrorText(std::int32_t code) {
  switch (code) {
    case 30001:
      return "Client and server are using different protocol versions.\n"
             "Always use the same version of Korvane and Tillora.";
    case 30002:
      return "The server did not respond with a valid authentication code.\n"
             "Ensure you are using the correct IP and port address to connect with Korvane.";
    case 30003:
      return "The specified username is invalid. Verify the username is correct and then try again.";
    case 30004:
      return "The specified password is invalid. Verify the password is correct and then try again.";
    case 30005:
      return "The specified user account is disabled. Ask your server administrator to enable "
             "your account.";
    case 30006:
      return "No user accounts exist. At least one user account must exist to connect with "
             "Korvane.";
    case 30007: return "Tillora couldn't synchronise with Korvane.";
    case 30008: return "The Remote Console username and/or password is invalid.";
    case 30009: return "Korvane could not identify the server's status port.";
    case 30010: return "Korvane couldn't get the settings from the server.";
    case 30011: return "Korvane couldn't get the player list from the server.";
    case 30015: return "There are no maps available to play with the current mod/game mode.";
    case 30016: return "The keyhash is not 32 characters in length.";
    case 30017: return "The keyhash is not a valid hexadecimal number.";
    default: break;
  }
  char text[1024];
  if (code >= 30001) {
    std::snprintf(text, sizeof text, "An unknown error has occured. (%d)", code);
  } else {
    std::snprintf(text, sizeof text, "%s (%u)", std::strerror(code),
                  static_cast<unsigned>(code));
  }
  return text;
}

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool UniqueFd::Close() {
  return ::close(Release()) == 0;
}

void FileCloser::operator()(std::FILE* file) const { std::fclose(file); }

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

std::uint32_t ParseDottedIp(const char* text) {
  if (text == nullptr) return 0;
  std::string_view view(text, strnlen(text, 15));
  std::uint32_t parts[4] = {0, 0, 0, 0};
  std::size_t start = 0;
  for (int i = 0; i < 4 && start <= view.size(); ++i) {
    std::size_t dot = view.find('.', start);
    std::string_view part =
        view.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    std::int32_t value = ParseInt(part);
    parts[i] = (value < 0 || value > 255) ? 0 : static_cast<std::uint32_t>(value);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
}

std::string FormatDottedIp(std::uint32_t address) {
  char text[sizeof "255.255.255.255"];
  std::snprintf(text, sizeof text, "%i.%i.%i.%i", static_cast<int>(address >> 24),
                static_cast<int>((address >> 16) & 0xFF), static_cast<int>((address >> 8) & 0xFF),
                static_cast<int>(address & 0xFF));
  return text;
}

bool IsHexString(std::string_view text) {
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool CheckKeyhash(std::string_view text) {
  if (text.size() != 32) {
    SetLastError(kErrKeyhashLength);
    return false;
  }
  if (!IsHexString(text)) {
    SetLastError(kErrKeyhashDigits);
    return false;
  }
  return true;
}

std::optional<std::string> ChoiceValue(std::string_view list, int n) {
  std::vector<std::string_view> tokens = ChoiceTokens(list);
  if (n < 1) return std::nullopt;
  std::size_t index = 2 * static_cast<std::size_t>(n) - 2;
  if (index >= tokens.size()) return std::nullopt;
  return std::string(tokens[index]);
}

std::optional<std::string> ChoiceLabel(std::string_view list, std::string_view value) {
  std::vector<std::string_view> tokens = ChoiceTokens(list);
  for (std::size_t i = 0; i < tokens.size(); i += 2) {
    if (EqualNoCase(tokens[i], value)) {
      if (i + 1 < tokens.size()) return std::string(tokens[i + 1]);
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::string FormatInteger(std::int32_t value, int base) {
  if (base < 2) base = 10;
  std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value)
                                      : static_cast<std::uint32_t>(value);
  std::string digits;
  do {
    std::uint32_t digit = magnitude % static_cast<std::uint32_t>(base);
    digits += static_cast<char>(digit > 9 ? 'a' + (digit - 10) : '0' + digit);
    magnitude /= static_cast<std::uint32_t>(base);
  } while (magnitude != 0);
  if (value < 0) digits += '-';
  return std::string(digits.rbegin(), digits.rend());
}

char* UpperCase(char* text) {
  for (char* p = text; p != nullptr && *p != '\0'; ++p)
    *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  return text;
}

char* LowerCase(char* text) {
  for (char* p = text; p != nullptr && *p != '\0'; ++p)
    *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  return text;
}

void UpperCase(std::string& text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

void LowerCase(std::string& text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

void Rc4Crypt(unsigned char* data, std::size_t length, const unsigned char* key,
              std::size_t key_length) {
  if (data == nullptr || length == 0 || key == nullptr || key_length == 0) return;
  unsigned char state[256];
  for (int i = 0; i < 256; ++i) state[i] = static_cast<unsigned char>(i);
  unsigned j = 0;
  for (unsigned i = 0; i < 256; ++i) {
    j = (j + state[i] + key[i % key_length]) & 0xFF;
    std::swap(state[i], state[j]);
  }
  unsigned x = 0;
  unsigned y = 0;
  for (std::size_t n = 0; n < length; ++n) {
    x = (x + 1) & 0xFF;
    y = (y + state[x]) & 0xFF;
    std::swap(state[x], state[y]);
    data[n] ^= state[(state[x] + state[y]) & 0xFF];
  }
}

std::int64_t ParseLong(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    int digit = text[i] - '0';
    if (value > (INT64_MAX - digit) / 10) return negative ? INT64_MIN : INT64_MAX;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

std::int32_t ParseInt(std::string_view text) {
  std::int64_t value = ParseLong(text);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

std::string CutText(std::string_view text, std::size_t max_chars) {
  return std::string(text.substr(0, max_chars));
}

void TrimLineEnd(std::string& line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
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
