#!/usr/bin/env bash
# Installs what is missing, builds Harbix and runs the whole test suite: the normal build, the
# unit tests again in a Release build (what packagers build) and under AddressSanitizer +
# UndefinedBehaviorSanitizer, and the whole suite under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
run_suite() {  # build-dir, extra cmake args..., then ctest label filter in $label
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600 ${label:+-L "$label"}
}

label= run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
label=unit run_suite build-release -DCMAKE_BUILD_TYPE=Release
label=unit run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DHARBIX_SANITIZE=address,undefined
label= run_suite build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHARBIX_SANITIZE=thread
echo "test.sh: all suites passed"
