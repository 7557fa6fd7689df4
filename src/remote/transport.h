// Exact-length transfers over non-blocking sockets and the compressed,
// checksummed file frame that carries whole files to and from clients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/files.h"
#include "core/protocol.h"
#include "core/socket_io.h"
#include "wire/file_frame.h"

// Sends the file at `path` as one frame (an abort marker when it cannot be
// read). Logs "Couldn't send ..." and returns false on failure.
bool SendFile(const std::string& path, int socket);
// Receives one frame into `path`, replacing the file only when the whole
// frame arrived intact. Logs "Couldn't receive ..." and returns false on
// failure, leaving the file as it was.
bool ReceiveFile(const std::string& path, int socket);

// As SendFile through the session's output buffer: the frame is compressed
// once and drains between other work.
bool QueueFile(const std::string& path, int socket);
// Stores a whole frame taken from a session's input into `path`, with the
// same checks and log lines as ReceiveFile; a frame shorter than 4 bytes
// stands for a header refused for its absurd lengths. A file that holds
// passwords is stored with kOwnerOnly.
bool StoreFileFrame(const std::string& path, std::string_view frame, int socket,
                    FileAccess access = FileAccess::kKeep);

// As StoreFileFrame into *text, for an upload the daemon takes in without
// a file between (`name` stands for it in the log lines).
bool TakeFileFrame(const std::string& name, std::string_view frame, int socket, std::string* text);
// As QueueFile for a text the daemon builds itself: no file is written to
// be read back (`name` stands for it in the log lines).
bool QueueText(const std::string& name, std::string_view text, int socket);

// Drops the frame kept of the last large file sent (the state record's
// reset).
void ForgetCachedFrame();

// The byte layout of a frame for `data` (for clients and tests).
inline std::string EncodeFrame(const std::string& data) { return EncodeFileFrame(data); }
