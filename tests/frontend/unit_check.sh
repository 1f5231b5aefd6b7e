#!/bin/sh
# Verifies the systemd unit that is installed, with its ExecStart pointed at
# the daemon just built (systemd-analyze checks that the program exists).
# Usage: unit_check.sh UNIT DAEMON. Exit 77 (skip) without systemd-analyze.
set -u
unit=$1
daemon=$2
command -v systemd-analyze >/dev/null 2>&1 || { echo "SKIP: systemd-analyze is not installed"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sed "s#^ExecStart=[^ ]*/quorvane #ExecStart=$daemon #" "$unit" >"$scratch/quorvane.service"
grep -q "^ExecStart=$daemon " "$scratch/quorvane.service" || { echo "FAIL: no ExecStart running quorvane"; exit 1; }
for setting in NoNewPrivileges=yes ProtectSystem=strict ReadWritePaths= RuntimeDirectory=quorvane \
  'ExecStart=.* -r /run/quorvane/quorvane.pid' 'ExecStart=.* -l /var/log/quorvane/quorvane.log' \
  'ExecReload=/bin/kill -USR1 $MAINPID$'; do
  grep -q "^$setting" "$scratch/quorvane.service" || { echo "FAIL: the unit lacks $setting"; exit 1; }
done
report=$(systemd-analyze verify --man=no "$scratch/quorvane.service" 2>&1)
status=$?
if [ "$status" -ne 0 ] || [ -n "$report" ]; then
  echo "FAIL: systemd-analyze verify:"
  echo "$report"
  exit 1
fi
echo "systemd unit verified"
