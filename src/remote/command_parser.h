// Cutting a session's input into whole commands: the code, the text of a
// text command and the file frame of an upload, parsed from whatever bytes
// have arrived so far. Nothing here reads a socket, so a command is run only
// once all of it is in the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/protocol.h"

enum class UnitKind {
  kIncomplete,     // more bytes are needed
  kCommand,        // a whole command, its text and frame included
  kBogus,          // a code outside the table (4 bytes consumed)
  kNoAccess,       // a code the session may not send (4 bytes consumed)
  kTextTooLong,    // an absurd text length: the session ends
  kFrameTooLarge,  // an absurd frame header: the session ends
};

struct CommandUnit {
  UnitKind kind = UnitKind::kIncomplete;
  std::uint32_t code = 0;
  // The text as the command queue keeps it: at most 255 bytes, the excess
  // of a longer text dropped.
  std::string text;
  std::uint32_t text_length = 0;  // the announced length
  // The whole frame of an upload (header and packed bytes), a view into the
  // parsed input.
  std::string_view frame;
  std::size_t consumed = 0;  // bytes of input the unit takes
  // While incomplete: the bytes the unit needs in all, once its lengths are
  // known (0 before).
  std::size_t needed = 0;
};

// The first unit of `input` from a session whose account mask is `access`.
CommandUnit ParseCommandUnit(std::string_view input, std::uint32_t access);
