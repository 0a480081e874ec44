#!/usr/bin/env bash
# Runs the built fuzz targets for a bounded time in all, shared equally
# between them, from the seeds beside this script. Builds nothing. Exits
# non-zero when a target finds a failure.
#
#   tests/fuzz/run.sh BUILD_DIR/bin [SECONDS]
#
# New inputs go to a scratch folder, so the seed corpus stays as checked in;
# a failing input is kept under $FUZZ_ARTIFACTS (default: the scratch folder,
# which is then not removed).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
bin="${1:?usage: run.sh FUZZ_BIN_DIR [SECONDS]}"
seconds=$(( ${2:-${FUZZ_SECONDS:-60}} / 4 ))
scratch="$(mktemp -d)"
artifacts="${FUZZ_ARTIFACTS:-$scratch/artifacts}"

# fuzz TARGET [SEED_DIR] [OPTION...]
fuzz() {
  local target="$1"
  shift
  mkdir -p "$scratch/$target" "$artifacts"
  "$bin/$target" "$scratch/$target" "$@" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$target-" || {
    local status=$?
    echo "run.sh: $target failed (status $status); inputs kept in $artifacts" >&2
    exit "$status"
  }
  echo "run.sh: $target ran ${seconds}s without a failure"
}

fuzz lookup_fuzz "$here/corpus" -dict="$here/lookup.dict" -max_len=1100
fuzz md5_fuzz -max_len=4096
fuzz multipart_fuzz "$here/multipart-corpus" -max_len=2048
fuzz archive_fuzz "$here/archive-corpus" -max_len=65536
rm -rf "$scratch"
