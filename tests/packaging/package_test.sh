#!/bin/sh
# Installs the built Debian package on this machine, runs what it installed,
# then removes and purges it and checks that nothing of it is left. Also
# checks that a changed conffile survives a reinstall, and that purging
# keeps mail stored in /var/lib/quorvane together with the user owning it.
# Usage: package_test.sh DEB. Needs root; exit 77 (skip) without it, or
# when quorvane is installed here already (the test would purge it).
set -u
deb=$1
fail() {
  echo "FAIL: $*"
  exit 1
}
skip() {
  echo "SKIP: $*"
  exit 77
}
installed() { dpkg-query -W -f='${Status}' quorvane 2>/dev/null | grep -q 'install ok installed'; }

[ "$(id -u)" = 0 ] || skip "dpkg -i needs root"
dpkg-query -W quorvane >/dev/null 2>&1 && skip "a quorvane package is on this machine already"
getent passwd quorvane >/dev/null && skip "a quorvane user exists already"
[ -e /var/lib/quorvane ] && skip "/var/lib/quorvane exists already"
[ -f "$deb" ] || fail "no package at $deb"

scratch=$(mktemp -d)
# Leaves the machine as it was found: none of the above existed.
cleanup() {
  dpkg-query -W quorvane >/dev/null 2>&1 && dpkg --purge quorvane >/dev/null 2>&1
  rm -rf /var/lib/quorvane /var/log/quorvane "$scratch"
  getent passwd quorvane >/dev/null && deluser --system --quiet quorvane >/dev/null 2>&1
  getent group quorvane >/dev/null && delgroup --system --quiet quorvane >/dev/null 2>&1
}
trap cleanup EXIT
# dpkg_quiet ARGS: runs dpkg, showing its output only when it fails.
dpkg_quiet() {
  dpkg "$@" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg $*"; }
}

wants=/etc/systemd/system/multi-user.target.wants/quorvane.service
conffiles='/etc/default/quorvane
/etc/logrotate.d/quorvane
/etc/quorvane/rules.conf'

# Installed: files where Debian wants them, the conffiles, the system user.
dpkg_quiet -i "$deb"
installed || fail "not installed after dpkg -i"
dpkg -L quorvane >"$scratch/files"
unit=$(grep -Ex '(/usr)?/lib/systemd/system/quorvane\.service' "$scratch/files") ||
  fail "no unit in /lib/systemd/system or /usr/lib/systemd/system"
if grep '^/usr/local' "$scratch/files"; then fail "files under /usr/local"; fi
grep -qx 'QUORVANE_RULES=/etc/quorvane/rules.conf' /etc/default/quorvane ||
  fail "/etc/default/quorvane does not name /etc/quorvane/rules.conf"
[ "$(dpkg-query -W -f='${Conffiles}' quorvane | awk 'NF { print $1 }' | sort)" = "$conffiles" ] ||
  fail "conffiles are not: $conffiles"
IFS=: read -r _ _ uid gid _ home shell <<EOT
$(getent passwd quorvane)
EOT
[ -n "$uid" ] && [ "$uid" -lt 1000 ] || fail "no system user quorvane (uid '$uid')"
[ "$(getent group quorvane | cut -d: -f3)" = "$gid" ] || fail "quorvane's group is not quorvane"
[ "$home:$shell" = /var/lib/quorvane:/usr/sbin/nologin ] || fail "quorvane's home and shell: $home:$shell"
# debhelper's part of the scripts enables the service (and starts it where
# systemd runs): it is added only for a unit where dh_installsystemd looks.
[ -L $wants ] || fail "the service is not enabled ($wants)"

# The installed programs, by their installed paths.
out=$(/usr/sbin/quorvane -n -f /etc/quorvane/rules.conf 2>&1) || fail "quorvane -n on the shipped rules: $out"
[ -z "$out" ] || fail "the shipped rule file holds rules: $out"
examples=/usr/share/doc/quorvane/examples/rules.conf
out=$(/usr/sbin/quorvane -n -f $examples 2>&1) || fail "quorvane -n on $examples: $out"
printf 'From: billing@example.org\nTo: ann@example.org\nSubject: invoice\n\nTotal: 10\n' >"$scratch/message"
out=$(/usr/bin/quorvane-test -f /etc/quorvane/rules.conf "$scratch/message" 2>&1) || fail "quorvane-test: $out"
case $out in *"rule "*) fail "quorvane-test found rules in the shipped file: $out" ;; esac
out=$(/usr/bin/quorvane-test -f $examples --from billing@example.org --to ann@example.org "$scratch/message" 2>&1) ||
  fail "quorvane-test on $examples: $out"
printf '%s\n' "$out" | grep -qx 'rule 1: matched' || fail "quorvane-test on $examples: $out"

# Where a plain unit does not verify cleanly either, systemd-analyze cannot
# run here (some containers): that part is left out.
printf '[Service]\nExecStart=/bin/true\n' >"$scratch/probe.service"
if command -v systemd-analyze >/dev/null 2>&1 &&
  [ -z "$(systemd-analyze verify --man=no "$scratch/probe.service" 2>&1)" ]; then
  if ! report=$(systemd-analyze verify --man=no "$unit" 2>&1) || [ -n "$report" ]; then
    fail "systemd-analyze verify $unit: $report"
  fi
else
  echo "systemd-analyze cannot run here: unit not verified"
fi
if command -v man >/dev/null 2>&1; then
  for page in 8/quorvane 5/quorvane.rules 1/quorvane-test; do
    man -w "${page%/*}" "${page#*/}" >/dev/null 2>&1 || fail "man -w finds no ${page#*/}(${page%/*})"
  done
fi

# Reinstalled over a changed conffile: the change stays, and the scripts
# cope with the user that exists now.
echo "# changed here" >>/etc/quorvane/rules.conf
dpkg_quiet -i "$deb"
grep -qx '# changed here' /etc/quorvane/rules.conf || fail "reinstalling replaced the changed rule file"

# Removed: the programs go, the configuration and the user stay.
mkdir -p /var/log/quorvane && touch /var/log/quorvane/quorvane.log
dpkg_quiet -r quorvane
[ ! -e /usr/sbin/quorvane ] || fail "/usr/sbin/quorvane left after dpkg -r"
[ -f /etc/quorvane/rules.conf ] || fail "dpkg -r removed the rule file"
getent passwd quorvane >/dev/null || fail "dpkg -r removed the user"

# Purged: nothing left.
dpkg_quiet --purge quorvane
while read -r path; do
  # Directories such as /usr/bin are shared; the package's own are checked below.
  [ -d "$path" ] && continue
  if [ -e "$path" ] || [ -L "$path" ]; then fail "$path left after purge"; fi
done <"$scratch/files"
for path in /etc/quorvane /usr/share/doc/quorvane /var/log/quorvane /var/lib/quorvane $wants \
  /var/lib/systemd/deb-systemd-helper-enabled/quorvane.service; do
  [ ! -e "$path" ] || fail "$path left after purge"
done
getent passwd quorvane >/dev/null && fail "user quorvane left after purge"
getent group quorvane >/dev/null && fail "group quorvane left after purge"

# Purged with mail kept in the state directory: the mail and its owner stay.
dpkg_quiet -i "$deb"
mkdir -p /var/lib/quorvane && echo mail >/var/lib/quorvane/all && chown -R quorvane:quorvane /var/lib/quorvane
dpkg_quiet --purge quorvane
[ -f /var/lib/quorvane/all ] || fail "purge removed stored mail"
[ "$(stat -c %U /var/lib/quorvane/all)" = quorvane ] || fail "purge removed the user owning stored mail"

echo "package installs, runs, removes and purges cleanly"
