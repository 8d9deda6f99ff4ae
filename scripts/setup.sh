#!/usr/bin/env bash
# Installs the Debian packages this project builds, tests and demonstrates with,
# only those that are missing; refreshes the package lists only when it must install.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config git
  libwebsockets-dev libjson-c-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  ffmpeg python3 curl iproute2 util-linux
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
