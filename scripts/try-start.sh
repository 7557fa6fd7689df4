# The start the try-* scripts share, sourced with `name` set and the
# script's arguments: root and mmdebstrap are checked, a work directory is
# made (removed on exit), and `deb` is the package given or one built now.
[ "$(id -u)" = 0 ] || { echo "$name: needs root (chroot, namespaces)" >&2; exit 1; }
command -v mmdebstrap >/dev/null || { echo "$name: apt-get install mmdebstrap" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
deb=${1:-}
[ -n "$deb" ] || deb=$(scripts/build-deb.sh "$work/dist" | tail -1)
root=$work/root
