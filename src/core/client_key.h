// The 1024-byte key shared by the daemon and every remote client program.
// Its bytes come from src/remote/client.key, embedded at build time into
// the core library.
#pragma once
#include <cstddef>

inline constexpr std::size_t kClientKeySize = 1024;
extern const unsigned char kClientKey[kClientKeySize];
