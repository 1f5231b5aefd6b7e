# shellcheck shell=bash
# Shared by scripts/run, scripts/test and scripts/package (sourced, not run).
#
# ensure_packages installs, with apt-get as root, whichever of the Debian
# packages the build and the tests need are missing; nothing when all are
# there. ensure_build_deps does the same for the build dependencies named in
# debian/control. configure_build and build_targets drive CMake in a build
# directory under the repository root.

QUORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export QUORVANE_ROOT

# prometheus: its promtool checks the metrics file in the reload test.
QUORVANE_PACKAGES=(cmake g++ make libgtest-dev libgmock-dev libmilter-dev miltertest libbenchmark-dev libre2-dev prometheus strace)

say() { printf '==> %s\n' "$*"; }

# Installs the missing ones of the given packages (default: QUORVANE_PACKAGES).
ensure_packages() {
  local wanted=("$@")
  [[ ${#wanted[@]} -gt 0 ]] || wanted=("${QUORVANE_PACKAGES[@]}")
  local missing=() package
  for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  say "installing ${missing[*]}"
  as_root apt-get update || return 1
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

# Installs what the Debian source tree in the repository lacks to build:
# its Build-Depends and build-essential (needs dpkg-dev).
ensure_build_deps() {
  dpkg-checkbuilddeps "$QUORVANE_ROOT/debian/control" 2> /dev/null && return 0
  say "installing the build dependencies of debian/control"
  as_root apt-get update || return 1
  as_root env DEBIAN_FRONTEND=noninteractive apt-get build-dep -y --no-install-recommends "$QUORVANE_ROOT"
}

# Runs a command as root: directly, or through sudo.
as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  elif command -v sudo > /dev/null; then
    sudo "$@"
  else
    echo "needs root: $*" >&2
    return 1
  fi
}

# configure_build <dir> [cmake options...]: configures <dir> (relative to the
# repository root) with warnings as errors.
configure_build() {
  local dir=$1
  shift
  cmake -S "$QUORVANE_ROOT" -B "$QUORVANE_ROOT/$dir" -DQUORVANE_WERROR=ON "$@"
}

# build_targets <dir> [targets...]: builds everything, or the given targets.
build_targets() {
  local dir=$1
  shift
  local targets=()
  [[ $# -gt 0 ]] && targets=(--target "$@")
  cmake --build "$QUORVANE_ROOT/$dir" -j"$(nproc)" "${targets[@]}"
}
