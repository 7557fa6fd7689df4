// The daemon's files: creating them with their directories, replacing them
// atomically, appending, opening only regular files, reading, copying,
// rewriting lines, and reading one bounded line.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "core/unique_fd.h"

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

// Reads an open file to its end, appending to *text; false on a read error
// (what was read before it stays in *text).
bool ReadStream(std::FILE* file, std::string* text);

// Copies source to target (the target is replaced as ReplaceFileContents
// does). Logs its own failure messages; false on failure.
bool CopyFile(const std::string& source, const std::string& target);

// Drops every line containing `key` (case-sensitive), writing `replacement`
// in its place when not null; appends the replacement if nothing matched and
// it is not empty. Logs its own failures ("Couldn't open %s! %s" when the
// file cannot be read or rewritten); false when the file was not rewritten.
bool ReplaceLinesInFile(const std::string& path, std::string_view key,
                        const char* replacement);

// Reads one line of at most `limit - 1` characters, as fgets would (the
// newline kept when it fits). False at end of file or on a read error.
bool ReadLineBounded(std::FILE* file, std::size_t limit, std::string* line);
