#!/bin/sh
# Checks that every #include "folder/..." in src/ points to the including
# file's own folder or to one below it in src/LAYERS. Prints each upward
# or unknown include, and every call of a section's Mutable accessor outside
# the folder that owns it, and exits 1 when there is any.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
layers="$root/src/LAYERS"
grep -v '^#' "$layers" | grep -v '^$' > /dev/null || { echo "no layers in $layers" >&2; exit 2; }
violations=0
for file in $(find "$root/src" -name '*.h' -o -name '*.cc' | sort); do
  rel=${file#"$root"/src/}
  folder=${rel%%/*}
  own=$(grep -v '^#' "$layers" | grep -n -x "$folder" | cut -d: -f1)
  if [ -z "$own" ]; then
    echo "src/$rel: folder '$folder' is not in src/LAYERS"
    violations=$((violations + 1))
    continue
  fi
  # Every quoted include that names a folder.
  for target in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^/"]*\)\/.*/\1/p' "$file"); do
    level=$(grep -v '^#' "$layers" | grep -n -x "$target" | cut -d: -f1)
    if [ -z "$level" ]; then
      echo "src/$rel: includes from '$target', which is not in src/LAYERS"
      violations=$((violations + 1))
    elif [ "$level" -gt "$own" ]; then
      echo "src/$rel: $folder includes $target, which is above it"
      violations=$((violations + 1))
    fi
  done
done
# Every MutableX() is written only by the folder that defines it (tests and
# the state record's reset in daemon/manager_state.cc excepted).
for def in $(grep -rhoE '^[A-Za-z]+& Mutable[A-Za-z]+\(\) \{' "$root/src" --include='*.cc' | sed -E 's/.*(Mutable[A-Za-z]+).*/\1/' | sort -u); do
  owner=$(grep -rlE "^[A-Za-z]+& $def\(\) \{" "$root/src" --include='*.cc' | head -n 1)
  owner=${owner#"$root"/src/}
  owner=${owner%%/*}
  for hit in $(grep -rnE "\b$def\(\)" "$root/src" --include='*.cc' --include='*.h' | cut -d: -f1,2); do
    rel=${hit#"$root"/src/}
    folder=${rel%%/*}
    [ "$folder" = "$owner" ] && continue
    [ "${rel%%:*}" = "daemon/manager_state.cc" ] && continue
    case "$rel" in */*_state.h:* | core/server_state.h:* | core/tick_state.h:*) continue ;; esac
    echo "src/$rel: $folder calls $def(), which only $owner may call"
    violations=$((violations + 1))
  done
done
# The state record over all sections is the top's: below daemon, and in the
# daemon outside the record itself, code goes through the section accessors.
for hit in $(grep -rnE '\bg_manager\b' "$root/src" --include='*.cc' --include='*.h' | cut -d: -f1,2); do
  rel=${hit#"$root"/src/}
  case "${rel%%:*}" in daemon/manager_state.cc | daemon/manager_state.h) continue ;; esac
  echo "src/$rel: uses g_manager; go through the section accessors"
  violations=$((violations + 1))
done
if [ "$violations" -ne 0 ]; then
  echo "$violations include(s) or write(s) break the layer order or section ownership"
  exit 1
fi
