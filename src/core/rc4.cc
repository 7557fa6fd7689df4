// The RC4 stream cipher.
#include "core/rc4.h"

#include <utility>

void Rc4Crypt(unsigned char* data, std::size_t length, const unsigned char* key,
              std::size_t key_length) {
  if (data == nullptr || length == 0 || key == nullptr || key_length == 0) return;
  unsigned char state[256];
  for (int i = 0; i < 256; ++i) state[i] = static_cast<unsigned char>(i);
  unsigned j = 0;
  for (unsigned i = 0; i < 256; ++i) {
    j = (j + state[i] + key[i % key_length]) & 0xFF;
    std::swap(state[i], state[j]);
  }
  unsigned x = 0;
  unsigned y = 0;
  for (std::size_t n = 0; n < length; ++n) {
    x = (x + 1) & 0xFF;
    y = (y + state[x]) & 0xFF;
    std::swap(state[x], state[y]);
    data[n] ^= state[(state[x] + state[y]) & 0xFF];
  }
}
