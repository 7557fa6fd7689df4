#!/usr/bin/env bash
# Builds a container image of korvd from the Debian package, offline from
# any container registry: the base is a bookworm root made with mmdebstrap
# (from the Debian mirror) with the package installed, imported with
# podman import; buildah sets the image's configuration. The image runs one
# korvd on the game server directory mounted at /srv/korvd/server, as user
# korvd (uid and gid 990), in the foreground with its log on standard
# output; its health check is `korvctl health` (set KORV_USER and
# KORV_PASSWORD in the container, or mount a credentials file at
# /srv/korvd/.config/korvctl/credentials).
#
#   scripts/build-image.sh [--deb korvd_VERSION_ARCH.deb] [--tag NAME] [--archive FILE]
#
# Without --deb it builds the package (scripts/build-deb.sh, a few
# minutes). The image goes into podman's storage as NAME (default
# localhost/korvd:VERSION); --archive also writes it to FILE as an OCI
# archive (podman load -i FILE, or skopeo, to move it to another host).
# KORV_IMAGE_STORAGE=DIR keeps the image in storage of its own below DIR
# (vfs driver) instead of the machine's. Needs root and mmdebstrap, podman
# and buildah.
set -euo pipefail
cd "$(dirname "$0")/.."

deb="" tag="" archive=""
while [ $# -gt 0 ]; do
  case $1 in
    --deb) deb=$2; shift ;;
    --tag) tag=$2; shift ;;
    --archive) archive=$2; shift ;;
    *) echo "usage: scripts/build-image.sh [--deb FILE] [--tag NAME] [--archive FILE]" >&2; exit 2 ;;
  esac
  shift
done
[ "$(id -u)" = 0 ] || { echo "build-image: needs root (mmdebstrap, podman)" >&2; exit 1; }
for tool in mmdebstrap podman buildah; do
  command -v $tool >/dev/null || { echo "build-image: apt-get install $tool" >&2; exit 1; }
done
storage=()
if [ -n "${KORV_IMAGE_STORAGE:-}" ]; then
  storage=(--root "$KORV_IMAGE_STORAGE/root" --runroot "$KORV_IMAGE_STORAGE/run" --storage-driver vfs)
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$deb" ]; then
  deb=$(scripts/build-deb.sh "$work/dist" | tail -1)
fi
version=$(dpkg-deb -f "$deb" Version)
tag=${tag:-localhost/korvd:$version}
cp "$deb" "$work/korvd.deb"

echo "build-image: a bookworm root with $(basename "$deb")" >&2
# The service user gets a fixed id, so that a volume can be made its own
# before the first start: chown -R 990:990 DIR.
mmdebstrap --quiet --variant=minbase \
  --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  --customize-hook="copy-in $work/korvd.deb /tmp" \
  --customize-hook='chroot "$1" addgroup --quiet --system --gid 990 korvd' \
  --customize-hook='chroot "$1" adduser --quiet --system --uid 990 --ingroup korvd --home /srv/korvd --no-create-home korvd' \
  --customize-hook='chroot "$1" env DEBIAN_FRONTEND=noninteractive apt-get -qq -y install /tmp/korvd.deb >/dev/null' \
  --customize-hook='rm "$1/tmp/korvd.deb"' \
  --customize-hook='install -d -o 990 -g 990 -m 0750 "$1/srv/korvd/server" "$1/srv/korvd/.config"' \
  bookworm "$work/root.tar"

echo "build-image: $tag" >&2
podman "${storage[@]}" import --quiet "$work/root.tar" "localhost/korvd-base:$version" >/dev/null
# The health check travels in the docker format only; podman and Docker
# run it, Kubernetes and Nomad take their own checks (docs/fleet.md).
export BUILDAH_FORMAT=docker
container=$(buildah "${storage[@]}" from --quiet "localhost/korvd-base:$version")
buildah "${storage[@]}" config \
  --user korvd --workingdir /srv/korvd/server --env HOME=/srv/korvd \
  --volume /srv/korvd/server \
  --port 14667/tcp --port 14567/udp --port 23000/udp --port 22000/udp --port 14690/udp \
  --entrypoint '["/usr/sbin/korvd", "-path", "/srv/korvd/server"]' \
  --cmd '-start -restart -exit' \
  --stop-signal SIGTERM \
  --healthcheck 'CMD korvctl -t 5 health' --healthcheck-interval 30s \
  --healthcheck-timeout 10s --healthcheck-start-period 60s --healthcheck-retries 3 \
  --label org.opencontainers.image.title=korvd \
  --label org.opencontainers.image.version="$version" \
  "$container"
buildah "${storage[@]}" commit --quiet --format docker --rm "$container" "$tag" >/dev/null
podman "${storage[@]}" untag "localhost/korvd-base:$version"
if [ -n "$archive" ]; then
  podman "${storage[@]}" save --quiet --format oci-archive -o "$archive" "$tag"
fi
podman "${storage[@]}" images --format '{{.Repository}}:{{.Tag}} {{.Size}}' "$tag"
