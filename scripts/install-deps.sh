#!/usr/bin/env bash
# Installs the Debian 12 packages Zimblo builds with, if any is missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libgtest-dev libbenchmark-dev
  libsndfile1-dev
  libtomlplusplus-dev libsmf-dev python3-mido python3-numpy
  libasound2-dev
  libmpfr-dev
  g++-aarch64-linux-gnu qemu-user
  emscripten node-acorn chromium
)
# The WebAssembly build and the browser test run on node and npm; a machine whose node
# came from elsewhere keeps it.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
