#!/usr/bin/env bash
# Installs what chunkup needs to build, test and run on Debian 12, or the
# packages named on the command line. Idempotent: packages already present
# are not fetched again.
#   usage: scripts/install-deps.sh [PACKAGE...]
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libcurl4-openssl-dev libjsoncpp-dev uuid-dev
  libcpp-httplib-dev libssl-dev libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  curl openssl tmux
  chromium
)
if [ $# -gt 0 ]; then packages=("$@"); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
