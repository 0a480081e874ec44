#!/usr/bin/env bash
# Runs a built fuzz target for a bounded time from the seed corpus beside this
# script. Builds nothing. Exits non-zero when the target finds a crash.
#
#   tests/fuzz/run.sh BUILD_DIR/tests/fuzz/lookup_fuzz [SECONDS]
#
# New inputs go to a scratch folder, so the seed corpus stays as checked in;
# a crashing input is kept under $FUZZ_ARTIFACTS (default: the scratch folder,
# which is then not removed).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
target="${1:?usage: run.sh FUZZ_TARGET [SECONDS]}"
seconds="${2:-${FUZZ_SECONDS:-60}}"

if [ ! -x "$target" ]; then
  echo "run.sh: no fuzz target at $target (build the fuzz preset first)" >&2
  exit 2
fi

scratch="$(mktemp -d)"
artifacts="${FUZZ_ARTIFACTS:-$scratch/artifacts}"
mkdir -p "$scratch/corpus" "$artifacts"

status=0
"$target" "$scratch/corpus" "$here/corpus" \
  -dict="$here/lookup.dict" \
  -max_total_time="$seconds" -max_len=1100 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" || status=$?

if [ "$status" -ne 0 ]; then
  echo "run.sh: $(basename "$target") failed (status $status); inputs kept in $artifacts" >&2
  ls -l "$artifacts" >&2 || true
  exit "$status"
fi
rm -rf "$scratch"
echo "run.sh: $(basename "$target") ran ${seconds}s without a failure"
