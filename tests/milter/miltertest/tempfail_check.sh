#!/usr/bin/env bash
# Exactly one error line, naming the path, with the -a policy text.
set -euo pipefail
errors=$(grep ' ERROR - ' "$QUORVANE_LOG")
suffix=" Quorvane(mlfi_eom): ERROR - Could not open file '$QUORVANE_TEST_DIR/missing/mbox'. (errno: 2:No such file or directory). Mail returned to sender."
[[ $(printf '%s\n' "$errors" | wc -l) == 1 && ${errors:24} == "$suffix" ]] || {
  echo "unexpected error lines: $errors" >&2
  exit 1
}
