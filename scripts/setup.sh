#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run again: it only calls
# apt-get when something is missing, and refreshes the package lists first then.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

wanted=()
for list in "$here/packages.txt" "$here"/packages.d/*.txt; do
  [ -f "$list" ] || continue
  while read -r name _; do
    case "$name" in ""|\#*) continue ;; esac
    wanted+=("$name")
  done <"$list"
done

missing=()
for name in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$name")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#wanted[@]} packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "setup: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
