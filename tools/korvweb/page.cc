// Looking up the embedded page files.
#include "korvweb/page.h"

namespace korvweb {

const PageFile* FindPageFile(std::string_view path) {
  if (path == "/") path = "/index.html";
  for (std::size_t i = 0; i < kPageFileCount; ++i)
    if (path == kPageFiles[i].path || path == kPageFiles[i].hashed) return &kPageFiles[i];
  return nullptr;
}

const char* CacheControlOf(const PageFile& file, std::string_view path) {
  if (path == file.hashed && path != file.path) return "public, max-age=31536000, immutable";
  return "no-cache";
}

const char* ContentTypeOf(std::string_view path) {
  if (path == "/" || path.ends_with(".html")) return "text/html; charset=utf-8";
  if (path.ends_with(".css")) return "text/css; charset=utf-8";
  if (path.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (path.ends_with(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

}  // namespace korvweb
