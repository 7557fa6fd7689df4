// The page's own files (HTML, CSS, JavaScript), embedded at build time
// from tools/korvweb/page.
#pragma once

#include <cstddef>
#include <string_view>

namespace korvweb {

struct PageFile {
  const char* path;    // "/app.js"
  const char* hashed;  // "/app.1a2b3c4d5e6f.js"; the HTML files keep their path
  const unsigned char* data;
  std::size_t size;
};

extern const PageFile kPageFiles[];
extern const std::size_t kPageFileCount;

// The file served at `path`, its own or its hashed name ("/" is
// index.html); nullptr when none.
const PageFile* FindPageFile(std::string_view path);
// The Cache-Control for `path`: a hashed name never changes its bytes.
const char* CacheControlOf(const PageFile& file, std::string_view path);
// The content type for a path by its extension.
const char* ContentTypeOf(std::string_view path);

}  // namespace korvweb
