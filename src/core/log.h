// The daemon's one logging entry point and the admin-action CSV.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

// Writes one message: a "%F %H:%M:%S : text\r\n" line in korvd.log (rotated
// at 512000 bytes) or the bare text to syslog, echoed on standard output in
// the foreground. Line breaks and 0x80 bytes in the text become blanks.
// When standard output is the journal (JOURNAL_STREAM), the echo is the
// text with a "<N>" priority prefix taken from how the text begins.
void LogMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same for helpers that take a format of their own and pass it on.
void LogMessageV(int level, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

// Appends one kick/ban row to adminlog.csv when -adminlog is on. Empty or
// null texts are written as "[unknown]".
void AppendAdminLog(const char* player, const char* address, const char* keyhash,
                    const char* guid, const char* admin, std::uint32_t bantime,
                    const char* map, const char* action, std::uint32_t expires,
                    const char* reason);

// Paths of the log file and the admin log for the current directories.
std::string LogFilePath();
std::string AdminLogPath();
// The directory the logs go to (server directory, or overlay path + "logs").
std::string LogDirectory();
