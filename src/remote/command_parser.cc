// The parser of a session's buffered input, through the bounded reader:
// a unit is taken only once all of its bytes are there.
#include "remote/command_parser.h"

#include "wire/file_frame.h"
#include "wire/span_reader.h"

namespace {

CommandUnit Incomplete(std::size_t needed) {
  CommandUnit unit;
  unit.needed = needed;
  return unit;
}

// The bytes of `input` the reader has taken.
std::size_t Used(std::string_view input, const SpanReader& in) {
  return input.size() - in.remaining();
}

// Takes the frame at the reader; fills unit.frame and consumed.
bool ParseFrame(std::string_view input, SpanReader& in, CommandUnit* unit) {
  SpanReader header = in;  // the lengths are looked at before the frame is taken whole
  std::uint32_t plain = 0, packed = 0, checksum = 0;
  if (!header.GetU32(&plain)) {
    *unit = Incomplete(0);
    return false;
  }
  std::size_t length = 4;
  if (plain != 0 && plain != kFrameAbort) {
    if (!header.GetU32(&packed) || !header.GetU32(&checksum)) {
      *unit = Incomplete(0);
      return false;
    }
    // Absurd lengths are refused before anything is kept.
    if (!FrameLengthsFit(plain, packed)) {
      unit->kind = UnitKind::kFrameTooLarge;
      unit->consumed = input.size();
      return false;
    }
    length = kFrameHeaderSize + packed;
  }
  if (!in.GetBytes(length, &unit->frame)) {
    *unit = Incomplete(Used(input, in) + length);
    return false;
  }
  unit->consumed = Used(input, in);
  return true;
}

}  // namespace

CommandUnit ParseCommandUnit(std::string_view input, std::uint32_t access) {
  SpanReader in(input);
  CommandUnit unit;
  if (!in.GetU32(&unit.code)) return Incomplete(0);
  unit.consumed = Used(input, in);
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
    std::string_view text;
    if (!in.GetU32(&unit.text_length)) return Incomplete(0);
    if (unit.text_length > kMaxAnnouncedText) {
      unit.kind = UnitKind::kTextTooLong;
      unit.consumed = input.size();
      return unit;
    }
    if (!in.GetBytes(unit.text_length, &text)) return Incomplete(Used(input, in) + unit.text_length);
    unit.text.assign(text.substr(0, kCommandTextSize - 1));
    unit.consumed = Used(input, in);
  }
  if (row->upload && !ParseFrame(input, in, &unit)) return unit;
  unit.kind = UnitKind::kCommand;
  return unit;
}
