#!/usr/bin/env bash
# Builds the container image (scripts/build-image.sh) in storage of its own,
# lays out the demo server in a volume with the image's own script, runs one
# instance on it and waits until its health check (korvctl health) passes;
# then asks it for its status from outside with korvctl, stops it with
# SIGTERM (podman stop) and shows how it ended.
#
#   scripts/try-image.sh [korvd_VERSION_ARCH.deb]
#
# Needs root, mmdebstrap, podman, buildah and the Debian mirror. It runs in
# private mount and network namespaces, so the game's fixed ports touch
# nothing outside. Where the kernel has cgroups v1 beside a v2 hierarchy
# (hybrid), crun refuses to start; the script unmounts the v2 hierarchy in
# its own mount namespace and runs the container without cgroups and with
# lower limits (--cgroups=disabled, --ulimit), as a sandbox without those
# rights needs; podman has no systemd here to run the health check on its
# timer, so the script runs it (podman healthcheck run). The figures it prints: the image's size and the seconds from
# `podman run` to the first passing health check.
set -euo pipefail
cd "$(dirname "$0")/.."

name=try-image
source scripts/try-start.sh "$@"
# KORV_IMAGE_STORAGE=DIR keeps the storage (and the image) for a rerun.
export KORV_IMAGE_STORAGE=${KORV_IMAGE_STORAGE:-$work/storage}
storage=$KORV_IMAGE_STORAGE
if ! podman --root "$storage/root" --runroot "$storage/run" --storage-driver vfs \
     image exists localhost/korvd:try; then
  start=$(date +%s)
  scripts/build-image.sh --deb "$deb" --tag localhost/korvd:try --archive "$work/korvd.oci.tar"
  echo "try-image: built in $(($(date +%s) - start)) s; the OCI archive is $(du -h "$work/korvd.oci.tar" | cut -f1)"
fi
mkdir "$work/server"
chown 990:990 "$work/server"
korvctl=$PWD/build/korvctl
[ -x "$korvctl" ] || korvctl=$(command -v korvctl)

cat >"$work/inside.sh" <<'INSIDE'
set -euo pipefail
work=$1 storage=$2 korvctl=$3
ip link set lo up
if mountpoint -q /sys/fs/cgroup/unified; then umount /sys/fs/cgroup/unified; fi
podman() {
  command podman --root "$storage/root" --runroot "$storage/run" --storage-driver vfs "$@" </dev/null
}
limits=(--network=host --cgroups=disabled --ulimit nofile=4096:4096 --ulimit nproc=4096:4096)
echo "try-image: lay out the demo server in the volume"
podman run --rm --no-healthcheck "${limits[@]}" -v "$work/server:/srv/korvd/server" \
  --entrypoint /usr/share/korvd/make_demo_server.sh localhost/korvd:try /srv/korvd/server >/dev/null
echo "try-image: run it"
begin=$(date +%s%N)
podman run -d --name korvd-try "${limits[@]}" -v "$work/server:/srv/korvd/server" \
  -e KORV_USER=admin -e KORV_PASSWORD=changeme localhost/korvd:try >/dev/null
healthy=""
for _ in $(seq 120); do
  if podman healthcheck run korvd-try >/dev/null 2>&1; then healthy=yes; break; fi
  sleep 0.5
done
if [ -n "$healthy" ]; then
  echo "try-image: healthy $(( ($(date +%s%N) - begin) / 1000000 )) ms after podman run"
else
  echo "try-image: never healthy"; podman logs korvd-try | tail -20
fi
podman exec korvd-try korvctl health || true
KORV_PASSWORD=changeme "$korvctl" -u admin status | head -8
podman inspect --format 'health: {{.State.Health.Status}}; user {{.Config.User}}; volumes {{.Config.Volumes}}' korvd-try
echo "try-image: stop it (SIGTERM)"
podman stop -t 30 korvd-try >/dev/null
podman inspect --format 'exit status {{.State.ExitCode}}' korvd-try
podman logs korvd-try 2>&1 | tail -4
podman rm korvd-try >/dev/null
ls "$work/server" | head -20 | tr '\n' ' '; echo
[ -n "$healthy" ]
INSIDE
unshare --mount --net bash "$work/inside.sh" "$work" "$storage" "$korvctl"
