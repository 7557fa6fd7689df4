// Messages on standard output, each line prefixed "gamesim: ".
#include "note.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace gamesim {

namespace {

void Print(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
void Print(const char* format, va_list args) {
  std::fputs("gamesim: ", stdout);
  std::vfprintf(stdout, format, args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(format, args);
  va_end(args);
}

void Note(const char* format, ...) {
  static const bool verbose = std::getenv("GAMESIM_VERBOSE") != nullptr;
  if (!verbose) return;
  va_list args;
  va_start(args, format);
  Print(format, args);
  va_end(args);
}

}  // namespace gamesim
