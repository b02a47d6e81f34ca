#!/bin/bash
# apt-get update, tried three times 30 s apart: a mirror caught mid-sync
# fails one index ("File has unexpected size") and is right again soon.
# After the third failure the index is used as it is, and what cannot be
# installed from it is named by whoever installs.
set -uo pipefail
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
err=$(mktemp)
for try in 1 2 3; do
  if $sudo apt-get update -qq 2>"$err"; then
    rm -f "$err"
    exit 0
  fi
  echo "apt-get update failed (try $try of 3): $(grep -E '^(E|W):' "$err" | tail -1)"
  [ "$try" -lt 3 ] && sleep "${TREVASK_APT_RETRY_SECONDS:-30}"
done
rm -f "$err"
echo "going on with the package index as it is"
exit 0
