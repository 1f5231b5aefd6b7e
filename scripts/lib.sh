# shellcheck shell=bash
# Shared by scripts/run and scripts/test (sourced, not run).
#
# ensure_packages installs, with apt-get as root, whichever of the Debian
# packages the build and the tests need are missing; nothing when all are
# there. configure_build and build_targets drive CMake in a build directory
# under the repository root.

QUORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export QUORVANE_ROOT

QUORVANE_PACKAGES=(cmake g++ make libgtest-dev libgmock-dev libmilter-dev miltertest libbenchmark-dev libre2-dev)

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
  local sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo > /dev/null || { echo "missing packages (run as root): ${missing[*]}" >&2; return 1; }
    sudo=(sudo)
  fi
  "${sudo[@]}" apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
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
