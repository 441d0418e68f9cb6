#!/bin/bash
# Builds the libFuzzer targets with clang in build/fuzz, gathers their seeds and
# runs each for SECONDS (default 600), N at a time (-j N or FUZZ_JOBS, default 1).
#   scripts/fuzz.sh [-j N] [SECONDS] [target...]
# Corpora grow in build/fuzz/corpus/<target>; logs and findings (crash-*, leak-*,
# timeout-*, oom-*) go to FUZZ_LOGS (default /work/fuzzlogs)/<target>/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
logs=${FUZZ_LOGS:-/work/fuzzlogs}
jobs=${FUZZ_JOBS:-1}
if [[ ${1:-} == -j ]]; then jobs=$2; shift 2; fi
seconds=${1:-600}
shift || true

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DBUILD_FUZZERS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" --target fuzzers
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  mapfile -t targets < <(find "$build/fuzz" -maxdepth 1 -type f -executable -name 'fuzz_*' -printf '%f\n' |
    sed 's/^fuzz_//' | sort)
fi

# Seeds: generated and real ones, the hand-made ones in fuzz/seeds, and every stored finding.
rm -rf "$build/seeds"
/usr/bin/python3 "$root/fuzz/seeds.py" "$build/seeds" "$root" "$root/../shared/realdata"
for t in "${targets[@]}"; do
  mkdir -p "$build/seeds/$t" "$build/corpus/$t" "$logs/$t"
  for extra in "$root/fuzz/seeds/$t" "$root/tests/fuzz/inputs/$t"; do
    [[ -d $extra ]] && cp "$extra"/* "$build/seeds/$t/" 2>/dev/null || true
  done
done

run() {
  local t=$1 dir=$logs/$1
  rm -f "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-*
  (cd "$dir" && nice -n 19 "$build/fuzz/fuzz_$t" "$build/corpus/$t" "$build/seeds/$t" -max_len=65536 -timeout=25 \
    -rss_limit_mb=4096 -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/" >"$dir/log" 2>&1) || true
  local execs findings
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  findings=$(cd "$dir" && ls crash-* leak-* timeout-* oom-* 2>/dev/null | tr '\n' ' ' || true)
  printf '%-11s executions %-10s corpus %-5s findings: %s\n' "$t" "${execs:-?}" \
    "$(ls "$build/corpus/$t" | wc -l)" "${findings:-none}"
}

running=0
for t in "${targets[@]}"; do
  run "$t" &
  if ((++running >= jobs)); then
    wait -n || true
    ((running--))
  fi
done
wait
