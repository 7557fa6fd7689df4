// Fields of the ban lists: what the expiry check remembers of the list it
// last read.
#pragma once

#include <cstddef>
#include <cstdint>

struct BansState {
  /* Expiry check: the list as last read, and its earliest expiry */
  bool list_known = false;
  std::int64_t list_mtime_ns = 0;
  std::int64_t list_size = -1;
  std::uint64_t list_inode = 0;
  std::uint64_t next_expiry = 0;  // 0 = no timed ban in that list

  /* A mass expiry, slice by slice: the due bans the next slice passes
     over, because the stores refused them earlier in the same round */
  std::size_t expiry_skip = 0;
};

// The ban lists' section of the daemon's state (the one instance).
const BansState& Bans();
// Written only inside src/bans/.
BansState& MutableBans();
