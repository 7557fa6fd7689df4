// Loading libpq by name at run time.
#include "fleet/pq_library.h"

#include <dlfcn.h>

namespace {
PqLibrary g_pq;
bool g_loaded = false;
}  // namespace

const PqLibrary* LoadPq(std::string* error, const char* file) {
  if (g_loaded) return &g_pq;
  void* handle = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    *error = "Couldn't load ";
    *error += why != nullptr ? why : file;
    *error += '.';
    return nullptr;
  }
  PqLibrary pq;
  const char* missing = nullptr;
#define KORV_PQ_LOAD(name)                                                              \
  pq.name = reinterpret_cast<decltype(pq.name)>(::dlsym(handle, #name));                \
  if (pq.name == nullptr && missing == nullptr) missing = #name;
  KORV_PQ_FUNCTIONS(KORV_PQ_LOAD)
#undef KORV_PQ_LOAD
  if (missing != nullptr) {
    ::dlclose(handle);
    *error = std::string(file) + " has no " + missing + '.';
    return nullptr;
  }
  g_pq = pq;
  g_loaded = true;
  return &g_pq;
}

const PqLibrary& Pq() { return g_pq; }
