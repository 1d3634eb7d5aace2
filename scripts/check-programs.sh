#!/usr/bin/env bash
# Names every program of scripts/programs.txt that is not on this machine, and fails if there is
# one, so that a missing install step shows at once and by name instead of as a test that fails
# half an hour later.
set -euo pipefail
cd "$(dirname "$0")"

# Programs in sbin (logrotate) are on root's PATH, not always on a user's.
PATH="$PATH:/usr/sbin:/sbin"
missing=()
while read -r program package _; do
  command -v "$program" >/dev/null || missing+=("$program (package $package)")
done < <(grep -v -e '^#' -e '^[[:space:]]*$' programs.txt)

if [ ${#missing[@]} -gt 0 ]; then
  echo "check-programs: missing: ${missing[*]}; scripts/install-deps.sh installs them" >&2
  exit 1
fi
