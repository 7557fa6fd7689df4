// The parser of a session's buffered input.
#include "remote/command_parser.h"

#include <algorithm>

#include "core/byte_order.h"
#include "wire/file_frame.h"

namespace {

std::uint32_t U32At(std::string_view input, std::size_t at) {
  return LoadU32(reinterpret_cast<const unsigned char*>(input.data() + at));
}

CommandUnit Incomplete(std::size_t needed) {
  CommandUnit unit;
  unit.needed = needed;
  return unit;
}

// Parses the frame that starts at `at`; fills unit.frame and consumed.
bool ParseFrame(std::string_view input, std::size_t at, CommandUnit* unit) {
  if (input.size() < at + 4) {
    *unit = Incomplete(0);
    return false;
  }
  std::uint32_t plain = U32At(input, at);
  std::size_t length = 4;
  if (plain != 0 && plain != kFrameAbort) {
    if (input.size() < at + kFrameHeaderSize) {
      *unit = Incomplete(0);
      return false;
    }
    std::uint32_t packed = U32At(input, at + 4);
    // Absurd lengths are refused before anything is kept.
    if (!FrameLengthsFit(plain, packed)) {
      unit->kind = UnitKind::kFrameTooLarge;
      unit->consumed = input.size();
      return false;
    }
    length = kFrameHeaderSize + packed;
  }
  if (input.size() < at + length) {
    *unit = Incomplete(at + length);
    return false;
  }
  unit->frame = input.substr(at, length);
  unit->consumed = at + length;
  return true;
}

}  // namespace

CommandUnit ParseCommandUnit(std::string_view input, std::uint32_t access) {
  if (input.size() < 4) return Incomplete(0);
  CommandUnit unit;
  unit.code = U32At(input, 0);
  unit.consumed = 4;
  const CommandRow* row = FindCommandRow(unit.code);
  if (row == nullptr) {
    unit.kind = UnitKind::kBogus;
    return unit;
  }
  if (!MaskAdmitsCommand(access, unit.code)) {
    unit.kind = UnitKind::kNoAccess;
    return unit;
  }
  if (row->text) {
    if (input.size() < 8) return Incomplete(0);
    unit.text_length = U32At(input, 4);
    if (unit.text_length > kMaxAnnouncedText) {
      unit.kind = UnitKind::kTextTooLong;
      unit.consumed = input.size();
      return unit;
    }
    std::size_t end = 8 + static_cast<std::size_t>(unit.text_length);
    if (input.size() < end) return Incomplete(end);
    std::size_t kept = std::min<std::size_t>(unit.text_length, kCommandTextSize - 1);
    unit.text.assign(input.substr(8, kept));
    unit.consumed = end;
  }
  if (row->upload && !ParseFrame(input, unit.consumed, &unit)) return unit;
  unit.kind = UnitKind::kCommand;
  return unit;
}
