// SendAll/ReceiveAll and the LZO file frame.
#include "remote/transport.h"

#include <sys/stat.h>

#include <arpa/inet.h>
#include <sys/select.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "core/byte_order.h"
#include "core/files.h"
#include "core/ids.h"
#include "core/last_error.h"
#include "core/unique_fd.h"
#include "core/socket_io.h"
#include "core/log.h"
#include "remote/connection.h"
#include "wire/file_frame.h"
#include "wire/span_reader.h"

namespace {

std::string PeerAddress(int socket, bool* ok) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  *ok = ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
  if (!*ok) return "0.0.0.0";
  return FormatDottedIp(ntohl(peer.sin_addr.s_addr));
}

// A block of memory for a frame or a file, mapped for the one transfer and
// unmapped at its end, so that a large transfer leaves nothing resident
// behind. Large blocks ask for huge pages: touching megabytes of fresh 4 KiB
// pages one fault at a time costs several times the decompression itself.
class Block {
 public:
  Block() = default;
  explicit Block(std::size_t size) {
    std::size_t mapped = size == 0 ? 1 : size;
    void* address =
        ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED) return;
    if (mapped >= kHugePageSize) ::madvise(address, mapped, MADV_HUGEPAGE);
    bytes_ = static_cast<unsigned char*>(address);
    size_ = mapped;
  }
  Block(Block&& other) noexcept
      : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  Block& operator=(Block&& other) noexcept {
    if (this != &other) {
      reset();
      bytes_ = std::exchange(other.bytes_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() { reset(); }

  void reset() {
    if (bytes_ != nullptr) ::munmap(bytes_, size_);
    bytes_ = nullptr;
    size_ = 0;
  }
  unsigned char* get() const { return bytes_; }
  explicit operator bool() const { return bytes_ != nullptr; }

 private:
  static constexpr std::size_t kHugePageSize = 2u << 20;
  unsigned char* bytes_ = nullptr;
  std::size_t size_ = 0;
};

Block Allocate(std::size_t size) {
  Block block(size);
  if (!block) SetLastError(ENOMEM);
  return block;
}

// A compressed frame: the 12 header bytes followed by the LZO1X-1 data.
struct Packed {
  Block bytes;
  std::size_t size = 0;
};

// Compresses `length` bytes into a frame; false with the last error set
// (12 without memory, 30012 on a compression error).
bool PackFrame(const unsigned char* plain, std::size_t length, Packed* out) {
  out->bytes = Allocate(kFrameHeaderSize + MaxPackedLength(length));
  Block work = Allocate(kFrameWorkMemory);
  if (!out->bytes || !work) return false;
  if (!PackFileFrame({plain, length}, out->bytes.get(), work.get(), &out->size)) {
    SetLastError(kErrFrame12);
    return false;
  }
  return true;
}

bool FailSend(const std::string& path, const std::string& peer) {
  LogMessage(6, "Couldn't send %s to peer at %s! %s", path.c_str(), peer.c_str(),
             ErrorText(LastError()).c_str());
  return false;
}

bool FailReceive(const std::string& path, const std::string& peer) {
  LogMessage(6, "Couldn't receive %s from peer at %s! %s", path.c_str(), peer.c_str(),
             ErrorText(LastError()).c_str());
  return false;
}

void SendAbort(int socket) {
  int saved = LastError();
  SendU32(socket, kFrameAbort);
  SetLastError(saved);
}

// Reads the whole file in one piece, its length measured by seeking to its
// end; files beyond the frame limit are refused (EFBIG). `*length` is the
// number of bytes actually read.
Block ReadFrameSource(const std::string& path, std::size_t* length) {
  UniqueFile file = OpenRegularStream(path);
  if (!file) {
    FailWithErrno();
    return Block();
  }
  long size = std::fseek(file.get(), 0, SEEK_END) == 0 ? std::ftell(file.get()) : -1;
  if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
    FailWithErrno();
    return Block();
  }
  if (static_cast<unsigned long>(size) > kFrameMaxPlain) {
    SetLastError(EFBIG);
    return Block();
  }
  Block data = Allocate(static_cast<std::size_t>(size) + 1);
  if (!data) return Block();
  *length = std::fread(data.get(), 1, static_cast<std::size_t>(size), file.get());
  if (std::ferror(file.get())) {
    FailWithErrno();
    return Block();
  }
  return data;
}

// Shuts the connection and throws away what it still holds, so that the
// main loop finds it at its end and closes the client.
void EndConnection(int socket) {
  ::shutdown(socket, SHUT_RDWR);
  char discard[4096];
  for (int i = 0; i < 256; ++i) {
    if (::recv(socket, discard, sizeof discard, MSG_DONTWAIT) <= 0) break;
  }
}

}  // namespace

namespace {

// A large file is compressed once while it stays unchanged: the last
// large frame sent is kept with the identity of its file (device, inode,
// size and modification time to the nanosecond), so that clients fetching
// a big ban list again and again do not make the loop compress it each time.
constexpr std::size_t kCachedFrameMin = 256 * 1024;

struct FileIdentity {
  bool cacheable = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  bool operator==(const FileIdentity& other) const {
    return cacheable == other.cacheable && device == other.device && inode == other.inode &&
           size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec;
  }
};

struct CachedFrame {
  FileIdentity identity;
  SharedBytes bytes;  // shared with the connections still sending it
};
CachedFrame g_last_frame;

FileIdentity IdentityOf(const std::string& path) {
  FileIdentity identity;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return identity;
  identity.cacheable = static_cast<std::size_t>(info.st_size) >= kCachedFrameMin;
  identity.device = info.st_dev;
  identity.inode = info.st_ino;
  identity.size = info.st_size;
  identity.modified = info.st_mtim;
  return identity;
}

// The frame of the file at `path` through `send` (SendAll, or the
// session's output buffer): compressed once, handed over in one piece; a
// kept frame goes through `send_shared`, which need not copy it.
template <typename Send, typename SendShared>
bool SendFileThrough(const std::string& path, int socket, Send send, SendShared send_shared) {
  auto abort = [&] {
    int saved = LastError();
    unsigned char marker[4];
    StoreU32(marker, kFrameAbort);
    send(marker, 4);
    SetLastError(saved);
  };
  bool have_peer = false;
  std::string peer = PeerAddress(socket, &have_peer);
  if (!have_peer) {
    SetLastError(errno);
    abort();
    return FailSend(path, peer);
  }
  FileIdentity identity = IdentityOf(path);
  if (identity.cacheable && identity == g_last_frame.identity) {
    if (!send_shared(g_last_frame.bytes)) return FailSend(path, peer);
    return true;
  }
  std::size_t length = 0;
  Block plain = ReadFrameSource(path, &length);
  if (!plain) {
    abort();
    return FailSend(path, peer);
  }
  if (length == 0) {
    SetLastError(0);
    unsigned char empty[4] = {};
    return send(empty, 4) || FailSend(path, peer);
  }
  Packed packed;
  if (!PackFrame(plain.get(), length, &packed)) {
    abort();
    return FailSend(path, peer);
  }
  plain.reset();
  // The file may have changed while it was read: kept only when it did not.
  if (identity.cacheable && identity == IdentityOf(path) && static_cast<std::size_t>(identity.size) == length) {
    g_last_frame.identity = identity;
    g_last_frame.bytes = std::make_shared<const std::vector<unsigned char>>(
        packed.bytes.get(), packed.bytes.get() + packed.size);
    if (!send_shared(g_last_frame.bytes)) return FailSend(path, peer);
    return true;
  }
  if (!send(packed.bytes.get(), packed.size)) return FailSend(path, peer);
  return true;
}

// Checks and unpacks a frame's packed bytes; false with the last error set.
Block UnpackPacked(const FrameHeader& header, const unsigned char* packed) {
  Block plain = Allocate(header.plain_length);
  if (!plain) return plain;
  FrameFault fault = UnpackFrameData(header, {packed, header.packed_length}, plain.get());
  if (fault != FrameFault::kNone) {
    SetLastError(fault == FrameFault::kChecksum ? kErrFrame13 : kErrFrame12);
    return Block();
  }
  return plain;
}

// Checks and unpacks a frame's packed bytes into the file at `path`.
bool StorePacked(const std::string& path, const std::string& peer, const FrameHeader& header,
                 const unsigned char* packed, FileAccess access) {
  Block plain = UnpackPacked(header, packed);
  if (!plain) return FailReceive(path, peer);
  CreateFileWithDirs(path, 0);
  std::string_view contents(reinterpret_cast<const char*>(plain.get()), header.plain_length);
  if (!ReplaceFileContents(path, contents, access)) return FailReceive(path, peer);
  return true;
}

bool StoreEmpty(const std::string& path, FileAccess access) {
  CreateFileWithDirs(path, 0);
  return ReplaceFileContents(path, "", access);
}

}  // namespace

bool SendFile(const std::string& path, int socket) {
  return SendFileThrough(
      path, socket,
      [socket](const void* data, std::size_t length) { return SendAll(socket, data, length); },
      [socket](const SharedBytes& bytes) { return SendAll(socket, bytes->data(), bytes->size()); });
}

bool QueueFile(const std::string& path, int socket) {
  return SendFileThrough(
      path, socket,
      [socket](const void* data, std::size_t length) {
        return QueueClientOutput(socket, data, length);
      },
      [socket](const SharedBytes& bytes) { return QueueClientBytes(socket, bytes); });
}

namespace {

// The header of a whole frame taken from a session's input and its packed
// bytes; false with the last error set when the frame is no good.
bool SplitFrame(std::string_view frame, FrameHeader* header, std::string_view* packed) {
  SpanReader reader(frame);
  if (!reader.GetU32(&header->plain_length)) {  // a frame header refused before its bytes were kept
    SetLastError(ENOMEM);
    return false;
  }
  if (header->plain_length == kFrameAbort) {
    SetLastError(kErrFrame14);
    return false;
  }
  if (header->plain_length == 0) return true;
  if (!reader.GetU32(&header->packed_length) || !reader.GetU32(&header->checksum) ||
      !reader.GetBytes(header->packed_length, packed) || reader.remaining() != 0) {
    SetLastError(kErrFrame12);
    return false;
  }
  return true;
}

}  // namespace

bool StoreFileFrame(const std::string& path, std::string_view frame, int socket,
                    FileAccess access) {
  bool have_peer = false;
  std::string peer = PeerAddress(socket, &have_peer);
  FrameHeader header;
  std::string_view packed;
  if (!SplitFrame(frame, &header, &packed)) return FailReceive(path, peer);
  if (header.plain_length == 0) return StoreEmpty(path, access);
  return StorePacked(path, peer, header, reinterpret_cast<const unsigned char*>(packed.data()),
                     access);
}

bool TakeFileFrame(const std::string& name, std::string_view frame, int socket, std::string* text) {
  bool have_peer = false;
  std::string peer = PeerAddress(socket, &have_peer);
  FrameHeader header;
  std::string_view packed;
  if (!SplitFrame(frame, &header, &packed)) return FailReceive(name, peer);
  text->clear();
  if (header.plain_length == 0) return true;
  Block plain = UnpackPacked(header, reinterpret_cast<const unsigned char*>(packed.data()));
  if (!plain) return FailReceive(name, peer);
  text->assign(reinterpret_cast<const char*>(plain.get()), header.plain_length);
  return true;
}

bool QueueText(const std::string& name, std::string_view text, int socket) {
  bool have_peer = false;
  std::string peer = PeerAddress(socket, &have_peer);
  unsigned char marker[4] = {};
  if (text.empty()) return QueueClientOutput(socket, marker, 4) || FailSend(name, peer);
  Packed packed;
  if (!PackFrame(reinterpret_cast<const unsigned char*>(text.data()), text.size(), &packed)) {
    int saved = LastError();
    StoreU32(marker, kFrameAbort);
    QueueClientOutput(socket, marker, 4);
    SetLastError(saved);
    return FailSend(name, peer);
  }
  return QueueClientOutput(socket, packed.bytes.get(), packed.size) || FailSend(name, peer);
}

bool ReceiveFile(const std::string& path, int socket) {
  bool have_peer = false;
  std::string peer = PeerAddress(socket, &have_peer);
  if (!have_peer) {
    SetLastError(errno);
    SendAbort(socket);
    return FailReceive(path, peer);
  }
  FrameHeader header;
  if (!ReceiveU32(socket, &header.plain_length)) return FailReceive(path, peer);
  if (header.plain_length == kFrameAbort) {
    SetLastError(kErrFrame14);
    return FailReceive(path, peer);
  }
  if (header.plain_length == 0) return StoreEmpty(path, FileAccess::kKeep);
  if (!ReceiveU32(socket, &header.packed_length) || !ReceiveU32(socket, &header.checksum))
    return FailReceive(path, peer);
  // Absurd lengths are refused before any allocation: nothing this daemon
  // exchanges comes near them.
  if (!FrameLengthsFit(header.plain_length, header.packed_length)) {
    // The rest of such a frame cannot be skipped safely; ending the
    // connection keeps its bytes from being read as commands.
    EndConnection(socket);
    SetLastError(ENOMEM);
    return FailReceive(path, peer);
  }
  Block packed = Allocate(header.packed_length);
  if (!packed) return FailReceive(path, peer);
  if (!ReceiveAll(socket, packed.get(), header.packed_length)) return FailReceive(path, peer);
  return StorePacked(path, peer, header, packed.get(), FileAccess::kKeep);
}

void ForgetCachedFrame() { g_last_frame = CachedFrame{}; }
