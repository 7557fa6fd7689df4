// Small file and text procedures shared by the whole daemon: error texts,
// file creation and copying, atomic replacement, line rewriting, dotted
// addresses, hex checks, choice lists, integer formatting, case and RC4.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/status_report.h"  // StatusValue

// The daemon's own error codes, stored in the last error beside errno values.
enum DaemonError : std::int32_t {
  kErrProtocolVersion = 30001,
  kErrBadAuthCode = 30002,
  kErrBadUserName = 30003,
  kErrBadPassword = 30004,
  kErrAccountDisabled = 30005,
  kErrNoAccounts = 30006,
  kErrClientSync = 30007,
  kErrConsoleLogin = 30008,
  kErrStatusPort = 30009,
  kErrServerSettings = 30010,
  kErrPlayerList = 30011,
  kErrFrame12 = 30012,
  kErrFrame13 = 30013,
  kErrFrame14 = 30014,
  kErrNoMaps = 30015,
  kErrKeyhashLength = 30016,
  kErrKeyhashDigits = 30017,
};

// Owns an open descriptor (or none, -1) and closes it when dropped.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  // Gives the descriptor up without closing it.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor, if any, and holds `fd` instead.
  void Reset(int fd = -1);
  // Closes now; false with errno set when close() reports an error (a
  // write that was delayed until then may have failed).
  bool Close();

 private:
  int fd_ = -1;
};

// Owns an open FILE* and closes it when dropped.
struct FileCloser {
  void operator()(std::FILE* file) const;
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// The last error of the calling procedure (an errno value or a daemon code).
void SetLastError(std::int32_t code);
std::int32_t LastError();
// Stores errno as the last error and returns false, for `return Fail();`.
bool FailWithErrno();

// Text for an errno value or a daemon error code.
std::string ErrorText(std::int32_t code);

// 1 unless opening the file fails with ENOENT (a null path gives false).
bool FileExists(const char* path);
inline bool FileExists(const std::string& path) { return FileExists(path.c_str()); }

// Who may read a file the daemon writes. Files that hold passwords are
// owner-only: created 0600, and tightened to 0600 whenever rewritten.
// Other files are created 0644 and keep their mode when rewritten.
enum class FileAccess { kKeep, kOwnerOnly };

// Creates the missing directories of an absolute path, then the file:
// mode 1 creates it if missing, 2 creates or truncates it, other modes only
// make directories. With kOwnerOnly the file is made 0600, also when mode 1
// finds it. False when the file could not be opened (last error set).
bool CreateFileWithDirs(const std::string& path, int mode,
                        FileAccess access = FileAccess::kKeep);

// Replaces the file at `path` with `contents` atomically: a temporary file in
// the same directory is written, synced and renamed over the target, so a
// crash or full disk never leaves a half-written file. When the directory
// refuses the temporary file (no write permission) the target is truncated
// and written in place instead; if that fails too, "Couldn't create a
// temporary file in %s! %s" is logged for the directory. False with the last
// error set (from the target when it was tried); the temporary is removed.
bool ReplaceFileContents(const std::string& path, std::string_view contents,
                         FileAccess access = FileAccess::kKeep);
// The same without the line about the temporary file, for a writer that
// logs its failures itself and would otherwise repeat that line.
bool ReplaceFileContentsQuietly(const std::string& path, std::string_view contents);

// Appends `text` to the file at `path` (created when missing). A write that
// fails part-way (a full disk) cuts the file back to its old length, so the
// file never ends in half a line. False with the last error set.
bool AppendToFile(const std::string& path, std::string_view text);

// The most bytes a daemon file is read to, unless its reader says otherwise.
inline constexpr std::size_t kMaxReadBytes = 64u << 20;

// Opens a file the daemon reads. The open does not block, so that a FIFO in
// the file's place cannot hold the daemon, and only a regular file of at
// most `max_bytes` is taken; anything else is closed again with
// "WARNING: Skipped %s, which is not a regular file." or "WARNING: Skipped
// %s, which is larger than %zu bytes." logged. Empty on failure, with errno
// and the last error set (EISDIR for a directory, EINVAL for a FIFO, device
// or socket, EFBIG for a file too large, else the open's own error).
UniqueFd OpenRegularFile(const std::string& path, std::size_t max_bytes = kMaxReadBytes);
// The same as a stream, for the readers that take a file line by line.
UniqueFile OpenRegularStream(const std::string& path, std::size_t max_bytes = kMaxReadBytes);

// Reads a whole file, refusing files larger than `max_bytes` (EFBIG) and
// anything but a regular file, as OpenRegularFile does.
std::optional<std::string> ReadWholeFile(const std::string& path,
                                         std::size_t max_bytes = kMaxReadBytes);

// Copies source to target (the target is replaced as ReplaceFileContents
// does). Logs its own failure messages; false on failure.
bool CopyFile(const std::string& source, const std::string& target);

// Drops every line containing `key` (case-sensitive), writing `replacement`
// in its place when not null; appends the replacement if nothing matched and
// it is not empty. Logs its own failures ("Couldn't open %s! %s" when the
// file cannot be read or rewritten); false when the file was not rewritten.
bool ReplaceLinesInFile(const std::string& path, std::string_view key,
                        const char* replacement);

// Dotted IPv4 text to a host-order address: at most 15 characters, up to
// four parts, missing parts 0, parts above 255 become 0.
std::uint32_t ParseDottedIp(const char* text);
std::string FormatDottedIp(std::uint32_t address);

// True for exactly 32 hex digits; else false with 30016 or 30017.
bool CheckKeyhash(std::string_view text);
// True when every character is a hex digit (an empty text is true).
bool IsHexString(std::string_view text);

// Choice lists are "value/label,value/label,...".
// ChoiceValue gives the value of the n-th pair (1-based).
std::optional<std::string> ChoiceValue(std::string_view list, int n);
// ChoiceLabel gives the label of the first pair whose value equals `value`
// without regard to case; none when no match or the match has no label.
std::optional<std::string> ChoiceLabel(std::string_view list, std::string_view value);

// Equal texts without regard to case.
bool EqualNoCase(std::string_view a, std::string_view b);

// Text as it may safely reach a file or a terminal: line breaks and 0x80
// (the game's blank) become blanks, tab stays, every other control
// character is shown as \xHH. At most `max_length` characters, never half
// an escape.
std::string EscapeControlText(std::string_view text,
                              std::size_t max_length = std::string_view::npos);

// Signed value in any base from 2 (digits above 9 are lower-case letters).
std::string FormatInteger(std::int32_t value, int base);

// In-place case conversion; a null text is left alone.
char* UpperCase(char* text);
char* LowerCase(char* text);
void UpperCase(std::string& text);
void LowerCase(std::string& text);

// RC4 in place; does nothing when any argument is null or zero.
void Rc4Crypt(unsigned char* data, std::size_t length, const unsigned char* key,
              std::size_t key_length);

// atoi/atol as the C library reads them (leading blanks, optional sign,
// digits until the first other character, 0 when none), without overflow:
// values beyond the range saturate.
std::int32_t ParseInt(std::string_view text);
std::int64_t ParseLong(std::string_view text);

// Little-endian 32-bit words as the wire and the archives carry them.
inline std::uint32_t LoadU32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}
inline void StoreU32(unsigned char* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}
inline void AppendU32(std::string& out, std::uint32_t value) {
  unsigned char bytes[4];
  StoreU32(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), 4);
}
// A text on the wire: its length with the ending zero, the text, the zero.
inline void AppendCountedText(std::string& out, std::string_view text) {
  AppendU32(out, static_cast<std::uint32_t>(text.size() + 1));
  out.append(text);
  out.push_back('\0');
}

// Copies at most `max_chars` characters of `text` (cut to fit a buffer).
std::string CutText(std::string_view text, std::size_t max_chars);

// Removes one trailing "\n" and "\r" pair or either alone.
void TrimLineEnd(std::string& line);

// Reads one line of at most `limit - 1` characters, as fgets would (the
// newline kept when it fits). False at end of file or on a read error.
bool ReadLineBounded(std::FILE* file, std::size_t limit, std::string* line);
