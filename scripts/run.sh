#!/usr/bin/env bash
# Installs what is missing, builds Harbix and runs the engine in the foreground. With an empty
# configuration store every service starts on its default port (HARBIX_HOME picks the store).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build harbixen harbix-reg
exec ./build/engine/harbixen "$@"
