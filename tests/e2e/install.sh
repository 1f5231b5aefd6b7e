#!/bin/bash
# Installs what the end-to-end tests and the benchmarks need: Postfix (with
# its load tools smtp-source and smtp-sink) and swaks, through apt, only when
# they are missing. Postfix is installed with "No configuration", so the
# machine's own mail setup stays empty; the tests run private instances.
#
# Source it and call e2e_install_packages, or run it. Returns 0 when
# everything is present afterwards, 1 when it is not (not root, apt failed).

e2e_install_packages() {
  local missing=()
  command -v postfix >/dev/null 2>&1 || [ -x /usr/sbin/postfix ] || missing+=(postfix)
  command -v swaks >/dev/null 2>&1 || missing+=(swaks)
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "e2e: ${missing[*]} missing and not root: cannot install" >&2
    return 1
  fi
  echo "e2e: installing ${missing[*]}" >&2
  # Without this, the postfix package asks which mail setup to make.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2 || return 1
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2 ||
    return 1
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  e2e_install_packages
fi
