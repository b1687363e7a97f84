#!/usr/bin/env bash
# Runs a command in an environment that has CPython 3.14, NumPy, numba, pytest,
# hypothesis, Dask's distributed scheduler, CMake, Ninja and a C++ compiler.
#
#   tools/env.sh COMMAND [ARG...]
#
# When the host already has python3.14 with NumPy and a C++ compiler, the
# command runs on the host directly. Otherwise it runs inside a Debian sid root
# file system that this script creates on first use (as root, with debootstrap)
# and reuses afterwards; the root is keyed by a hash of its package list, so a
# changed list builds a new one and an unchanged list costs nothing.
#
# ORVANTA_ENV=host forces the host, ORVANTA_ENV=sid forces the root file system.
# ORVANTA_SYSROOT_DIR sets where root file systems are kept.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
  python3.14 python3.14-dev python3.14-venv python3-dev python3-pip
  python3-numpy python3-numba python3-scipy
  python3-pytest python3-hypothesis python3-scikit-build-core
  python3-statsmodels python3-filterpy python3-matplotlib libopenblas0
  python3-distributed
  g++ cmake ninja-build libgtest-dev
)

host_is_ready() {
  command -v python3.14 >/dev/null 2>&1 &&
    python3.14 -c 'import numpy' >/dev/null 2>&1 &&
    command -v c++ >/dev/null 2>&1
}

mode=${ORVANTA_ENV:-auto}
if [ "$mode" = host ] || { [ "$mode" = auto ] && host_is_ready; }; then
  cd "$repo"
  exec "$@"
fi

key=$(printf '%s\n' "${packages[@]}" | sha256sum | cut -c1-16)
store=${ORVANTA_SYSROOT_DIR:-/var/cache/orvanta}
root="$store/sid-$key"
mirror=http://deb.debian.org/debian

create_root() {
  echo "tools/env.sh: creating a Debian sid root in $root (first use only)" >&2
  if ! command -v debootstrap >/dev/null 2>&1; then
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >&2
  fi
  rm -rf "$root.partial"
  local list
  list=$(IFS=,; echo "${packages[*]}")
  debootstrap --variant=minbase --include="$list" sid "$root.partial" "$mirror" >&2
  cp /etc/resolv.conf "$root.partial/etc/resolv.conf"
  chroot "$root.partial" python3 -c 'import numpy, numba, pytest, hypothesis, distributed' >&2
  mv "$root.partial" "$root"
}

if [ ! -d "$root" ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "tools/env.sh: no python3.14 with NumPy here, and building the sid root needs root" >&2
    exit 2
  fi
  mkdir -p "$store"
  exec 9>"$store/.lock"
  flock 9
  [ -d "$root" ] || create_root
  flock -u 9
fi

mkdir -p "$root$repo"
# The bind mounts live in a private mount namespace and vanish with it, so an
# interrupted command leaves nothing mounted.
quoted=$(printf '%q ' "$@")
exec unshare --mount --propagation private sh -c '
  set -e
  mount --bind "$1" "$2$1"
  mount -t proc proc "$2/proc"
  mount --bind /dev "$2/dev"
  exec chroot "$2" env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin \
    LANG=C.UTF-8 CI="${CI:-}" TERM="${TERM:-dumb}" \
    sh -c "cd \"\$0\" && exec $3" "$1"
' sh "$repo" "$root" "$quoted"
