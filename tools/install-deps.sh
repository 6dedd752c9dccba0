#!/usr/bin/env bash
# Installs every Debian package that building, running and testing ZelkorH needs.
# Idempotent; run as root on Debian 12. This is the one list of system packages.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential cmake pkg-config ccache clang libclang-rt-14-dev
  # libraries the service and the provider library link
  libssl-dev libevent-dev libtinyxml2-dev libsqlite3-dev liblzma-dev
  libp11-dev libp11-kit-dev libcurl4
  # libcurl's header only: the service opens libcurl.so.4 at run time
  libcurl4-openssl-dev
  # the tray icon (opened at run time) and the desktop dialogs
  libayatana-appindicator3-1 zenity
  # tests and benchmarks
  googletest libgtest-dev openssl sqlite3 xz-utils lzma-alone xxd
  libnss3-tools softhsm2 curl wrk python3
  # a second verifier and signer beside openssl and NSS: GnuTLS's certtool
  gnutls-bin
  # the Java key store tests read and write with keytool, independent of our reader
  openjdk-17-jre-headless
  # key files made by other tools in the tests: certtool (pk12util is in libnss3-tools)
  gnutls-bin
  # the tray test: a virtual display with a system tray, clicks and screenshots
  xvfb trayer xdotool x11-apps
  # browser tests (page side, driven by puppeteer-core from npm): Chromium
  # over the DevTools protocol, Firefox ESR over WebDriver BiDi
  chromium firefox-esr
  # the Debian package and the systemd user unit: built, checked, verified
  dpkg-dev lintian systemd
)

export DEBIAN_FRONTEND=noninteractive
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js with npm: the machine's own when present, else Debian's.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
if ((${#missing[@]})); then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
