#!/usr/bin/env bash
# Installs the Debian packages that building and testing Harbix need.
# Idempotent: asks apt only for what is missing, so a second run is quick and offline.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config ccache
  libgtest-dev libgmock-dev libsqlite3-dev
  # the manager: Qt 6 Widgets with QTest and the offscreen platform the GUI tests run on;
  # xdg-utils opens the hosts file with the desktop's default handler; the pictures of the pages
  # need a font
  qt6-base-dev qt6-qpa-plugins xdg-utils fonts-dejavu-core
  # run time: the HTTP cache's Content-Type for a file extension comes from /etc/mime.types
  media-types
  # fuzzing (scripts/fuzz.sh): clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
  # end-to-end tests: real clients and servers, namespaces
  python3 iproute2 util-linux procps
  curl telnet socat nginx openssl dnsutils chromium python3-websockets
  # the SOCKS tests' UDP client
  python3-socks
  # the FTP proxy's tests: a real server and client
  vsftpd lftp
  # the DNS proxy's tests: an upstream server (dnsmasq-base: the program without the system
  # service, which would take the machine's port 53) and a load tool; dig comes with dnsutils
  dnsmasq-base dnsperf
)

missing=()
for p in "${packages[@]}"; do
  # "install ok installed" is the only state in which the package is really there.
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Debian starts nginx on install where an init system runs; the tests start their own instances.
if command -v service >/dev/null 2>&1 && pgrep -x nginx >/dev/null 2>&1 && [ -f /run/nginx.pid ]; then
  service nginx stop >/dev/null 2>&1 || true
fi
# vsftpd starts its system service on install; the tests run their own with configs they write.
if command -v service >/dev/null 2>&1 && pgrep -x vsftpd >/dev/null 2>&1; then
  service vsftpd stop >/dev/null 2>&1 || true
fi
if command -v systemctl >/dev/null 2>&1; then
  systemctl disable vsftpd >/dev/null 2>&1 || true
fi
exit 0
