#!/usr/bin/env bash
# Whole-file digest speed of brantwicker-md5 against md5sum, and its peak
# memory.
#
#   bench/compare_md5sum.sh [PATH/TO/brantwicker-md5] [RUNS] [SIZE_MIB]
#
# Writes a file of random bytes under /tmp (1 GiB by default), reads it once
# so that both programs find it in the page cache, checks that they agree on
# the digest, then times them in alternating turns. It prints the best and
# the median wall time of each, their ratios (below 1 means brantwicker-md5
# is faster) and the CPU-time ratio, which a busy machine disturbs less. Peak
# resident memory is measured on the big file and on a 1 MiB one, to show that
# it does not grow with the input. The files are removed on exit.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tool=${1:-$here/../build/dev/bin/brantwicker-md5}
runs=${2:-7}
size_mib=${3:-1024}

[ -x "$tool" ] || { echo "compare_md5sum: no program at $tool" >&2; exit 2; }
command -v md5sum >/dev/null || { echo "compare_md5sum: md5sum not found" >&2; exit 2; }

big=$(mktemp /tmp/brantwicker-md5-bench.XXXXXX)
small=$(mktemp /tmp/brantwicker-md5-bench.XXXXXX)
trap 'rm -f "$big" "$small"' EXIT
head -c $((size_mib * 1048576)) /dev/urandom >"$big"
head -c 1048576 /dev/urandom >"$small"
cat "$big" "$small" >/dev/null

ours=$("$tool" "$big")
theirs=$(md5sum <"$big" | cut -d' ' -f1)
if [ "$ours" != "$theirs" ]; then
  echo "compare_md5sum: digests differ: $ours vs $theirs" >&2
  exit 1
fi

# Prints "wall_seconds cpu_seconds" for one run of the command.
measure() {
  python3 - "$@" <<'EOF'
import os, resource, subprocess, sys, time
before = resource.getrusage(resource.RUSAGE_CHILDREN)
start = time.perf_counter()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
wall = time.perf_counter() - start
after = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
print(f"{wall:.4f} {cpu:.4f}")
EOF
}

# Peak resident set of one run, in KiB. Without GNU time, the high-water mark
# is sampled from /proc while the program runs; getrusage would count the
# launcher's own pages from before the exec.
peak_rss_kib() {
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1
    return
  fi
  python3 - "$@" <<'EOF'
import subprocess, sys, time
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
peak = 0
while child.poll() is None:
    try:
        with open(f"/proc/{child.pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    peak = max(peak, int(line.split()[1]))
    except OSError:
        pass
    time.sleep(0.005)
print(peak)
EOF
}

ours_wall=() ours_cpu=() sum_wall=() sum_cpu=()
for ((i = 0; i < runs; i++)); do
  if ((i % 2 == 0)); then
    read -r w c < <(measure "$tool" "$big"); ours_wall+=("$w"); ours_cpu+=("$c")
    read -r w c < <(measure md5sum "$big"); sum_wall+=("$w"); sum_cpu+=("$c")
  else
    read -r w c < <(measure md5sum "$big"); sum_wall+=("$w"); sum_cpu+=("$c")
    read -r w c < <(measure "$tool" "$big"); ours_wall+=("$w"); ours_cpu+=("$c")
  fi
done

stats() {  # best median
  printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1}
    END {m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f %.3f", v[1], m}'
}
read -r ow_best ow_med <<<"$(stats "${ours_wall[@]}")"
read -r sw_best sw_med <<<"$(stats "${sum_wall[@]}")"
read -r oc_best oc_med <<<"$(stats "${ours_cpu[@]}")"
read -r sc_best sc_med <<<"$(stats "${sum_cpu[@]}")"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }

echo "file: ${size_mib} MiB in the page cache; $runs runs each, alternating"
printf 'wall  brantwicker-md5 best %ss median %ss | md5sum best %ss median %ss\n' \
  "$ow_best" "$ow_med" "$sw_best" "$sw_med"
printf 'cpu   brantwicker-md5 best %ss median %ss | md5sum best %ss median %ss\n' \
  "$oc_best" "$oc_med" "$sc_best" "$sc_med"
echo "time ratio brantwicker-md5 / md5sum: wall best $(ratio "$ow_best" "$sw_best")x" \
  "median $(ratio "$ow_med" "$sw_med")x; cpu best $(ratio "$oc_best" "$sc_best")x" \
  "median $(ratio "$oc_med" "$sc_med")x"
echo "peak RSS brantwicker-md5: $(peak_rss_kib "$tool" "$big") KiB on ${size_mib} MiB," \
  "$(peak_rss_kib "$tool" "$small") KiB on 1 MiB" \
  "(md5sum: $(peak_rss_kib md5sum "$big") KiB)"
