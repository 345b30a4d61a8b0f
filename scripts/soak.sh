#!/usr/bin/env bash
# The soak: builds Harbix and runs the engine under mixed load for a set time (10 minutes unless
# told otherwise), in a network namespace of its own, then prints its report (tests/soak/soak.py).
#   scripts/soak.sh [--minutes N]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build harbixen harbix-reg harbixctl
python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" tests/soak/soak.py --harbixen build/engine/harbixen --harbix-reg build/tools/harbix-reg \
  --harbixctl build/tools/harbixctl "$@"
