// Status line and log excerpt.
#include "remote/status_line.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "core/helpers.h"
#include "core/log.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

void LogErrno(const char* format) {
  int code = errno;
  LogMessage(6, format, ErrorText(code).c_str());
}

}  // namespace

void WriteLogExcerpt(const std::string& path) {
  UniqueFile out(std::fopen(path.c_str(), "wb"));
  if (!out) return LogErrno("Couldn't open temp file! %s");
  UniqueFile log(std::fopen(LogFilePath().c_str(), "rb"));
  if (!log) return LogErrno("Couldn't open log file! %s");
  if (std::fseek(log.get(), 0, SEEK_END) != 0) return LogErrno("Couldn't seek log file! %s");
  long size = std::ftell(log.get());
  if (size < 0) return LogErrno("Couldn't seek log file! %s");
  long start = size > kLogExcerptSize ? size - kLogExcerptSize : 0;
  long length = size < kLogExcerptSize ? size : kLogExcerptSize;
  if (std::fseek(log.get(), start, SEEK_SET) != 0) return LogErrno("Couldn't seek log file! %s");
  std::vector<char> buffer(static_cast<std::size_t>(length));
  std::size_t got = std::fread(buffer.data(), 1, buffer.size(), log.get());
  if (got == 0) {
    if (length > 0) LogErrno("Couldn't read log file! %s");
    return;
  }
  if (std::fwrite(buffer.data(), 1, got, out.get()) == 0) LogErrno("Couldn't write temp file! %s");
}
