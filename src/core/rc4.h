// The RC4 stream cipher.
#pragma once

#include <cstddef>

// RC4 in place; does nothing when any argument is null or zero.
void Rc4Crypt(unsigned char* data, std::size_t length, const unsigned char* key,
              std::size_t key_length);
