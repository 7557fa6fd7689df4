// The file frame that the daemon, korvctl and korvweb pack and unpack with
// the one codec: any text packs into a frame that unpacks to it, and any
// bytes taken for a frame are refused cleanly or unpack to a text that
// packs again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "wire/file_frame.h"
#include "wire/span_reader.h"

namespace {

// A frame's text, as the daemon stores an upload; false when refused.
bool Unpack(std::string_view frame, std::string* plain) {
  SpanReader reader(frame);
  FrameHeader header;
  std::string_view packed;
  if (!reader.GetU32(&header.plain_length) || header.plain_length == 0 ||
      header.plain_length == kFrameAbort || !reader.GetU32(&header.packed_length) ||
      !reader.GetU32(&header.checksum) ||
      !FrameLengthsFit(header.plain_length, header.packed_length) ||
      !reader.GetBytes(header.packed_length, &packed) || reader.remaining() != 0)
    return false;
  return UnpackFrameText(header, packed, plain) == FrameFault::kNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string plain;
  if (!bytes.empty() && (!Unpack(EncodeFileFrame(bytes), &plain) || plain != bytes)) std::abort();
  if (Unpack(bytes, &plain)) {
    std::string again;
    if (!Unpack(EncodeFileFrame(plain), &again) || again != plain) std::abort();
  }
  return 0;
}
