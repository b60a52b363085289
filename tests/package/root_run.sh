#!/usr/bin/env bash
# A command in a throw-away copy of a release's build root: the root is the
# lower layer of an overlay whose changes vanish with the mount namespace;
# this directory, the project's slapd helper and DEB_DIR appear read-only
# in /orvanta-test. apt's downloads go to the root's own archive, so that
# what the tests install is downloaded once.
#
#   root_run.sh RELEASE DEB_DIR COMMAND...   (COMMAND runs chrooted)
#
# Holds the root's lock shared: scripts/package changes a root under the
# same lock held alone. Skips (77) without root or where no namespaces can
# be made; the root itself is made by scripts/package (package_build).
set -euo pipefail

release=$1
deb_dir=$(realpath -- "$2")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)

if [[ $(id -u) != 0 ]]; then
  echo "SKIP: the roots need root"
  exit 77
fi
if ! unshare --mount --pid --fork true 2>/dev/null; then
  echo "SKIP: no mount and process namespaces can be made here"
  exit 77
fi
root=$("$project/scripts/package" --root "$release")
if [[ ! -x $root/usr/bin/apt-get ]]; then
  echo "FAIL: no build root $root (scripts/package $release makes it)"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
exec 9>"$root.lock"
flock -s 9

unshare --mount --pid --fork --propagation private -- /bin/bash -c '
  set -e
  root=$1 work=$2 here=$3 project=$4 deb_dir=$5
  shift 5
  merged=$work/merged
  mkdir "$work/upper" "$work/work" "$merged"
  mount -t overlay overlay -o "lowerdir=$root,upperdir=$work/upper,workdir=$work/work" "$merged"
  mount -t proc proc "$merged/proc"
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$merged/dev/pts"
  for dir in dev/shm tmp run; do mount -t tmpfs tmpfs "$merged/$dir"; done
  mount --bind "$root/var/cache/apt/archives" "$merged/var/cache/apt/archives"
  read_only() {
    mkdir -p "$2"
    mount --bind "$1" "$2"
    mount -o remount,bind,ro "$2"
  }
  read_only "$here" "$merged/orvanta-test/tests"
  read_only "$project/scripts/serve.d" "$merged/orvanta-test/serve.d"
  read_only "$deb_dir" "$merged/orvanta-test/debs"
  cp /etc/resolv.conf "$merged/etc/resolv.conf"
  exec chroot "$merged" /usr/bin/env -i HOME=/root LC_ALL=C.UTF-8 \
    PATH=/usr/sbin:/usr/bin:/sbin:/bin /bin/sh -c "cd /orvanta-test && exec \"\$@\"" sh "$@"
' sh "$root" "$work" "$here" "$project" "$deb_dir" "$@"
