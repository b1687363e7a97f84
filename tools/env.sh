#!/usr/bin/env bash
# Runs a command in an environment that has CPython 3.14, NumPy, numba, pytest,
# hypothesis, Dask's distributed scheduler, CMake, Ninja and a C++ compiler,
# plus the packages of tools/requirements-index.txt (emcee, JAX, PyMC, ArviZ)
# and the dependencies of theirs that Debian carries.
#
#   tools/env.sh COMMAND [ARG...]
#
# When the host already has python3.14 with NumPy and a C++ compiler, the
# command runs on the host directly. Otherwise it runs inside a Debian sid root
# file system that this script creates on first use (as root, with debootstrap)
# and reuses afterwards; the root is keyed by a hash of its package lists, so a
# changed list builds a new one and an unchanged list costs nothing.
#
# ORVANTA_ENV=host forces the host, ORVANTA_ENV=sid forces the root file system.
# ORVANTA_SYSROOT_DIR sets where root file systems are kept.
# ORVANTA_DEBIAN_MIRROR sets the Debian archive to build the root from; by
# default it is the one the host's own apt sources use.
# ORVANTA_INDEX_PACKAGES=later lets a command that needs none of the index's
# packages (the demonstration) run without waiting for them: a root made then
# is marked, and the next command that does not say so installs them first.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
requirements="$repo/tools/requirements-index.txt"

packages=(
  python3.14 python3.14-dev python3.14-venv python3-dev python3-pip
  python3-numpy python3-numba python3-scipy python3-mpmath
  python3-pytest python3-pytest-xdist python3-hypothesis python3-scikit-build-core
  python3-statsmodels python3-filterpy python3-matplotlib libopenblas0
  python3-distributed ca-certificates
  g++ cmake ninja-build libgtest-dev
  # What the index packages of PyMC, ArviZ and the JAX samplers import, where
  # Debian carries it.
  python3-xarray python3-rich python3-threadpoolctl python3-filelock
  python3-typing-extensions python3-joblib python3-lazy-loader python3-pydantic
  python3-setuptools python3-cloudpickle python3-absl python3-six python3-tqdm
  python3-dm-tree python3-multipledispatch python3-gast python3-decorator
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

key=$({ printf '%s\n' "${packages[@]}"; cat "$requirements"; } | sha256sum | cut -c1-16)
store=${ORVANTA_SYSROOT_DIR:-/var/cache/orvanta}
root="$store/sid-$key"
# Inside the root: present when the package index could not be reached while
# the root was made; the tests that need its packages skip, giving its text.
unreachable_marker=/etc/orvanta/index-unreachable
# Inside the root: present while its index packages wait for a command that
# needs them (ORVANTA_INDEX_PACKAGES=later).
pending_marker=/etc/orvanta/index-pending
index_packages_later() { [ "${ORVANTA_INDEX_PACKAGES:-}" = later ]; }
# Whether the root at $1 still lacks its index packages, for this command.
index_packages_missing() {
  [ -e "$1$unreachable_marker" ] || { [ -e "$1$pending_marker" ] && ! index_packages_later; }
}

# The first archive URI of the host's apt sources that serves a main suite
# (not -security or -updates), in deb822 (*.sources) or one-line form.
host_debian_mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '
      /^[[:space:]]*#/ { next }
      /^[[:space:]]*$/ { if (uri != "" && main) { print uri; exit } uri = ""; main = 0; next }
      tolower($1) == "uris:" { uri = $2 }
      tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i !~ /-/) main = 1 }
      END { if (uri != "" && main) print uri }
    ' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '$1 == "deb" {
      i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
      if ($(i + 1) !~ /-/) print $i
    }' "$f"
  done
}

debian_mirror() {
  if [ -n "${ORVANTA_DEBIAN_MIRROR:-}" ]; then
    echo "$ORVANTA_DEBIAN_MIRROR"
    return
  fi
  local uri
  uri=$(host_debian_mirror | head -n 1)
  if [ -z "$uri" ]; then
    echo "tools/env.sh: no Debian archive in the host's apt sources; set ORVANTA_DEBIAN_MIRROR" >&2
    return 1
  fi
  echo "$uri"
}

# Runs COMMAND [ARG...] inside the root file system at $1, with the repository
# bound at its own path and /proc and /dev mounted. The mounts live in a
# private mount namespace and vanish with it, so an interrupted command leaves
# nothing mounted.
in_root() {
  local root_dir=$1
  shift
  mkdir -p "$root_dir$repo"
  local quoted
  quoted=$(printf '%q ' "$@")
  unshare --mount --propagation private sh -c '
    set -e
    mount --bind "$1" "$2$1"
    mount -t proc proc "$2/proc"
    mount --bind /dev "$2/dev"
    exec chroot "$2" env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin \
      LANG=C.UTF-8 CI="${CI:-}" TERM="${TERM:-dumb}" \
      sh -c "cd \"\$0\" && exec $3" "$1"
  ' sh "$repo" "$root_dir" "$quoted"
}

# Installs the pinned index packages into the root at $1, where its python3
# finds them (/usr/local). If the index cannot be reached at all, the root is
# kept without them and marked; any other failure fails.
install_index_packages() {
  local root_dir=$1 log pip_cert=()
  log=$(mktemp)
  # The host's trust store: where the host reaches the index through a proxy
  # of its own, only the host's bundle carries that proxy's authority.
  local host_bundle=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
  if [ -f "$host_bundle" ]; then
    mkdir -p "$root_dir/etc/orvanta"
    cp "$host_bundle" "$root_dir/etc/orvanta/host-ca-certificates.crt"
    pip_cert=(--cert /etc/orvanta/host-ca-certificates.crt)
  fi
  if in_root "$root_dir" python3 -m pip install --quiet --require-hashes --no-deps \
      --break-system-packages --root-user-action=ignore "${pip_cert[@]}" \
      -r "$requirements" >"$log" 2>&1; then
    rm -f "$root_dir$unreachable_marker" "$root_dir$pending_marker" "$log"
    return 0
  fi
  if in_root "$root_dir" python3 -m pip download --quiet --no-deps --timeout 10 --retries 1 \
      "${pip_cert[@]}" --dest /tmp/orvanta-index-probe pip >/dev/null 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "tools/env.sh: installing $requirements failed, though the package index answers" >&2
    return 1
  fi
  echo "tools/env.sh: the package index cannot be reached; its packages are left out" >&2
  mkdir -p "$(dirname "$root_dir$unreachable_marker")"
  { echo "the Python package index could not be reached when the environment was built:"
    tail -n 1 "$log"; } >"$root_dir$unreachable_marker"
  rm -f "$log"
}

create_root() {
  echo "tools/env.sh: creating a Debian sid root in $root (first use only)" >&2
  if ! command -v debootstrap >/dev/null 2>&1; then
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >&2
  fi
  local partial="$root.partial" mirror list
  mirror=$(debian_mirror)
  rm -rf "$partial"
  # A creation that fails or is interrupted leaves no half-made root.
  trap "rm -rf $(printf '%q' "$partial")" EXIT
  list=$(IFS=,; echo "${packages[*]}")
  debootstrap --variant=minbase --include="$list" sid "$partial" "$mirror" >&2
  cp /etc/resolv.conf "$partial/etc/resolv.conf"
  if index_packages_later; then
    mkdir -p "$(dirname "$partial$pending_marker")"
    echo "the index packages are installed by the next command that needs them" \
      >"$partial$pending_marker"
  else
    install_index_packages "$partial"
  fi
  # Checked the way every later command runs, /proc included: importing
  # distributed reads /proc/meminfo.
  in_root "$partial" python3 -c 'import numpy, numba, pytest, hypothesis, distributed' >&2
  mv "$partial" "$root"
  trap - EXIT
}

if [ ! -d "$root" ] || index_packages_missing "$root"; then
  if [ "$(id -u)" != 0 ]; then
    echo "tools/env.sh: no python3.14 with NumPy here, and building the sid root needs root" >&2
    exit 2
  fi
  mkdir -p "$store"
  exec 9>"$store/.lock"
  flock 9
  if [ ! -d "$root" ]; then
    create_root
  elif index_packages_missing "$root"; then
    install_index_packages "$root"
  fi
  flock -u 9
fi

in_root "$root" "$@"
