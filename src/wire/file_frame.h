// The file frame that carries a whole file between the daemon and its
// clients: the plain length, the packed length, the Adler-32 of the packed
// bytes (three little-endian 32-bit numbers), then the LZO1X-1 data. An
// empty file is the plain length 0 alone; 0xBEEFBABE alone aborts a
// transfer. The daemon, korvctl and korvweb all pack and unpack here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/protocol.h"

inline constexpr std::size_t kFrameHeaderSize = 12;
// Scratch memory the compressor needs.
inline constexpr std::size_t kFrameWorkMemory = 131072;

struct FrameHeader {
  std::uint32_t plain_length = 0;
  std::uint32_t packed_length = 0;
  std::uint32_t checksum = 0;
};

// Largest packed length a frame of `plain_length` bytes can need: LZO never
// expands data beyond it, so a larger one is refused before anything is
// allocated; it is also the room packing needs.
std::uint64_t MaxPackedLength(std::uint64_t plain_length);
// True when a header's lengths are possible: the plain length within
// kFrameMaxPlain and the packed length within its bound.
bool FrameLengthsFit(std::uint32_t plain_length, std::uint32_t packed_length);

// Packs `plain` (not empty) into `frame`, which has room for
// kFrameHeaderSize + MaxPackedLength bytes, with `work` of kFrameWorkMemory
// bytes as scratch; the frame's whole length goes to *size. False when the
// compressor fails.
bool PackFileFrame(std::span<const std::uint8_t> plain, std::uint8_t* frame, std::uint8_t* work,
                   std::size_t* size);
// The whole frame of `plain`: the bare length 0 for an empty text, the
// abort marker when it cannot be packed.
std::string EncodeFileFrame(std::string_view plain);

// Why packed data was refused.
enum class FrameFault { kNone, kChecksum, kData };
// Checks the packed bytes against the header's checksum and unpacks them
// into `plain`, which has room for header.plain_length bytes. kData when
// they do not unpack to exactly that length.
FrameFault UnpackFrameData(const FrameHeader& header, std::span<const std::uint8_t> packed,
                           std::uint8_t* plain);
// The same into a text; `plain` is empty unless the data was sound.
FrameFault UnpackFrameText(const FrameHeader& header, std::string_view packed, std::string* plain);
