#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Quillet need, in one go.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config clang-format \
  qt6-base-dev qt6-base-dev-tools libqt6svg6 qt6-qpa-plugins \
  qcoro-qt6-dev qtkeychain-qt6-dev libsecret-1-0 \
  libqrencode-dev libssl-dev libbenchmark-dev \
  libboost1.74-dev libqt6sql6-sqlite libqt6sql6-psql wrk \
  postgresql-15 \
  tmux fish python3 chromium fonts-noto-mono e2fsprogs dbus dbus-x11 gnome-keyring xvfb xauth \
  appstream desktop-file-utils \
  ca-certificates >/dev/null
# The passkey tests check our authenticator with an independent verifier that runs on Node.js.
if ! command -v npm >/dev/null 2>&1; then
  $SUDO apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
fi
# The verifier's own packages, pinned by its package-lock.json (works from any current directory).
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
npm ci --prefix "$repo_root/tests/support/webauthn" --no-audit --no-fund >/dev/null
# The Web Push tests read the server's messages with an independent implementation (http_ece).
npm ci --prefix "$repo_root/tests/support/webpush" --no-audit --no-fund >/dev/null
# The phone app's bundler, which the server's build runs, and the browser tests' driver.
npm ci --prefix "$repo_root/web" --no-audit --no-fund >/dev/null
npm ci --prefix "$repo_root/tests/web" --no-audit --no-fund >/dev/null
