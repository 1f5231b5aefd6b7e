#!/bin/bash
# Installs what the end-to-end tests and the benchmarks need: Postfix (with
# its load tools smtp-source and smtp-sink), swaks, and Dovecot's core and
# LMTP server, through apt, only when they are missing. Postfix is installed
# with "No configuration", so the machine's own mail setup stays empty; the
# tests run private instances of both. A Dovecot installed here is kept from
# starting as the system's service (policy-rc.d while apt runs, and stopped
# and disabled afterwards should it have started all the same).
#
# Source it and call e2e_install_packages, or run it. Returns 0 when
# everything is present afterwards, 1 when it is not (not root, apt failed).

e2e_install_packages() {
  local missing=()
  command -v postfix >/dev/null 2>&1 || [ -x /usr/sbin/postfix ] || missing+=(postfix)
  command -v swaks >/dev/null 2>&1 || missing+=(swaks)
  [ -x /usr/sbin/dovecot ] || missing+=(dovecot-core)
  [ -x /usr/lib/dovecot/lmtp ] || missing+=(dovecot-lmtpd)
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "e2e: ${missing[*]} missing and not root: cannot install" >&2
    return 1
  fi
  echo "e2e: installing ${missing[*]}" >&2
  # Without this, the postfix package asks which mail setup to make.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2 || return 1
  local policy=/usr/sbin/policy-rc.d made_policy=0 status=0
  if [ ! -e $policy ]; then
    # invoke-rc.d asks this before starting a service: 101 means "not now".
    printf '#!/bin/sh\nexit 101\n' >$policy && chmod 755 $policy && made_policy=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2 ||
    status=1
  [ $made_policy = 1 ] && rm -f $policy
  case " ${missing[*]} " in
    *" dovecot-core "*) e2e_quiet_system_dovecot ;;
  esac
  return $status
}

# The tests run their own Dovecot; the system's one, freshly installed and
# unconfigured, would only hold the IMAP and POP ports.
e2e_quiet_system_dovecot() {
  if [ -d /run/systemd/system ]; then
    systemctl disable --now dovecot.service dovecot.socket >/dev/null 2>&1
  else
    service dovecot stop >/dev/null 2>&1
    update-rc.d dovecot disable >/dev/null 2>&1
  fi
  return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  e2e_install_packages
fi
