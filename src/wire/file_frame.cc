// Packing and unpacking the file frame.
#include "wire/file_frame.h"

#include <lzo/lzo1x.h>

#include <vector>

#include "core/byte_order.h"

static_assert(kFrameWorkMemory >= LZO1X_1_MEM_COMPRESS);

namespace {

std::uint32_t Adler32(const std::uint8_t* data, std::size_t length) {
  lzo_uint32_t sum = lzo_adler32(0, nullptr, 0);
  return lzo_adler32(sum, data, static_cast<lzo_uint>(length));
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::uint64_t MaxPackedLength(std::uint64_t plain_length) {
  return plain_length + plain_length / 16 + 64 + 3;
}

bool FrameLengthsFit(std::uint32_t plain_length, std::uint32_t packed_length) {
  return plain_length <= kFrameMaxPlain && packed_length <= MaxPackedLength(plain_length);
}

bool PackFileFrame(std::span<const std::uint8_t> plain, std::uint8_t* frame, std::uint8_t* work,
                   std::size_t* size) {
  std::uint8_t* data = frame + kFrameHeaderSize;
  lzo_uint packed_length = MaxPackedLength(plain.size());
  if (lzo1x_1_compress(plain.data(), plain.size(), data, &packed_length, work) != LZO_E_OK)
    return false;
  StoreU32(frame, static_cast<std::uint32_t>(plain.size()));
  StoreU32(frame + 4, static_cast<std::uint32_t>(packed_length));
  StoreU32(frame + 8, Adler32(data, packed_length));
  *size = kFrameHeaderSize + packed_length;
  return true;
}

std::string EncodeFileFrame(std::string_view plain) {
  std::string out;
  if (plain.empty()) {
    AppendU32(out, 0);
    return out;
  }
  std::vector<std::uint8_t> frame(kFrameHeaderSize + MaxPackedLength(plain.size()));
  std::vector<std::uint8_t> work(kFrameWorkMemory);
  std::size_t size = 0;
  if (!PackFileFrame(Bytes(plain), frame.data(), work.data(), &size)) {
    AppendU32(out, kFrameAbort);
    return out;
  }
  return std::string(reinterpret_cast<const char*>(frame.data()), size);
}

FrameFault UnpackFrameData(const FrameHeader& header, std::span<const std::uint8_t> packed,
                           std::uint8_t* plain) {
  if (Adler32(packed.data(), packed.size()) != header.checksum) return FrameFault::kChecksum;
  lzo_uint out_length = header.plain_length;
  int result = lzo1x_decompress_safe(packed.data(), packed.size(), plain, &out_length, nullptr);
  if (result != LZO_E_OK || out_length != header.plain_length) return FrameFault::kData;
  return FrameFault::kNone;
}

FrameFault UnpackFrameText(const FrameHeader& header, std::string_view packed, std::string* plain) {
  plain->assign(header.plain_length, '\0');
  FrameFault fault =
      UnpackFrameData(header, Bytes(packed), reinterpret_cast<std::uint8_t*>(plain->data()));
  if (fault != FrameFault::kNone) plain->clear();
  return fault;
}
