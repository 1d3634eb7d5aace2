#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UBSan) in build-fuzz/ and runs each
# on its seed corpus.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]   each target for SECONDS (default 300); the inputs it
#                                           finds are kept in $DRVNT_FUZZ_WORK/<target>/ (default
#                                           build-fuzz/found/), outside git, and fed back next time
#   scripts/fuzz.sh --quick                 what ./test.sh runs: 15 s each on a scratch copy that
#                                           is thrown away; skipped when clang++ is missing
#
# The committed corpus in tests/fuzz/corpus/ is only copied from. An input that crashes a target (a
# sanitizer report, a broken invariant, a hang of more than 10 s or one allocation of more than
# 64 MiB) is kept in build-fuzz/crashes/ and the script fails. Replay one with
#   build-fuzz/fuzz/<target> build-fuzz/crashes/<file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=300
quick=0
targets=()
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1; seconds=15 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    [0-9]*) seconds="$arg" ;;
    *) targets+=("$arg") ;;
  esac
done

if ! command -v clang++ >/dev/null; then
  if [ "$quick" -eq 1 ]; then
    echo "fuzz: clang++ not found, fuzz targets skipped"
    exit 0
  fi
  echo "fuzz: clang++ not found (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B build-fuzz -G Ninja -DDRVNT_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DDRVNT_WERROR="${DRVNT_WERROR:-OFF}" "${launcher[@]}" >/dev/null
cmake --build build-fuzz -j2

if [ "$quick" -eq 1 ]; then
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
else
  work="${DRVNT_FUZZ_WORK:-build-fuzz/found}"
fi
crashes="build-fuzz/crashes"
mkdir -p "$work/tmp" "$crashes"
# Scratch files of the targets (the spool target's directory) stay in the work directory.
export TMPDIR="$(cd "$work/tmp" && pwd)"

if [ ${#targets[@]} -eq 0 ]; then
  for corpus in tests/fuzz/corpus/*/; do targets+=("$(basename "$corpus")"); done
fi

failed=()
for t in "${targets[@]}"; do
  mkdir -p "$work/$t"
  log="$work/$t.log"
  # The run works on a copy of the seeds: libFuzzer adds what it finds to its corpus directory and
  # deletes the inputs it shortens there.
  cp tests/fuzz/corpus/"$t"/* "$work/$t/"
  if "build-fuzz/fuzz/$t" "$work/$t" -max_total_time="$seconds" \
      -timeout=10 -malloc_limit_mb=64 -rss_limit_mb=2048 -artifact_prefix="$crashes/$t-" \
      >"$log" 2>&1; then
    runs="$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' "$log")"
    echo "fuzz: $t passed (${runs:-no summary})"
  else
    echo "fuzz: $t FAILED, input kept in $crashes/" >&2
    tail -n 40 "$log" >&2
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
