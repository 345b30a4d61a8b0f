#!/usr/bin/env bash
# The benchmark harness in one command: installs the peers (squid, tinyproxy, dante, microsocks,
# ftp-proxy, dnsmasq, and dnsperf to drive it) from Debian, builds Harbix and the load tool, and
# runs every scenario against Harbix
# and the peers on a private loopback. Prints the table; raw figures go to bench/out/.
#   bench/run.sh [--rounds N] [--rate-seconds S] [--throughput-seconds S] [--tunnels N]
#                [--targets direct,harbix,...] [--scenarios tunnel,http,cache,socks,dns] [--pull-mib N]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

peers=(squid tinyproxy dante-server microsocks ftp-proxy dnsmasq-base dnsperf)
missing=()
for p in "${peers[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The packages start their system services; the harness runs its own instances.
for s in squid tinyproxy danted microsocks ftp-proxy; do
  service "$s" stop >/dev/null 2>&1 || true
done

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build harbixen harbix-reg harbix-bench harbix-pull-bench
exec unshare --net python3 bench/run.py --build build "$@"
