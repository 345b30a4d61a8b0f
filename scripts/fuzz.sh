#!/usr/bin/env bash
# Fuzzes the decoders of outside bytes with libFuzzer (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer): every target, or the ones named, for a set time each, a few at a
# time. Findings (crash-*, leak-*, timeout-*) and the inputs a run found go to fuzz-out/<target>/;
# the checked-in seeds in tests/fuzz/corpus/<target>/ are read, never written.
#   scripts/fuzz.sh [--seconds N] [--jobs J] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
jobs=2
targets=()
while (($#)); do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
bash scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHARBIX_FUZZ=ON >/dev/null
ninja -C build-fuzz
if ((${#targets[@]} == 0)); then
  for seeds in tests/fuzz/corpus/*/; do targets+=("$(basename "$seeds")"); done
fi

fuzz_one() {
  local target=$1 out=fuzz-out/$1
  mkdir -p "$out/corpus"
  "build-fuzz/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/" \
    -rss_limit_mb=2048 "$out/corpus" "tests/fuzz/corpus/$target" >"$out/log" 2>&1 || true
  local runs cov findings
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$out/log" | tail -1 | cut -d' ' -f2)
  findings=$(find "$out" -maxdepth 1 -name 'crash-*' -o -maxdepth 1 -name 'leak-*' -o -maxdepth 1 -name 'timeout-*' -o -maxdepth 1 -name 'oom-*' | wc -l)
  printf '%-18s %12s executions  coverage %6s  findings %s\n' "$target" "${runs:-?}" "${cov:-?}" "$findings"
}

echo "fuzz: ${#targets[@]} targets, ${seconds} s each, ${jobs} at a time"
running=0
for target in "${targets[@]}"; do
  fuzz_one "$target" &
  running=$((running + 1))
  if ((running >= jobs)); then
    wait -n
    running=$((running - 1))
  fi
done
wait
if find fuzz-out -maxdepth 2 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | grep -q .; then
  echo "fuzz: findings in fuzz-out/ (see each target's log)"
  exit 1
fi
echo "fuzz: no findings"
