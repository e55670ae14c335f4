#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run its demo.
# Safe to run again: apt-get leaves installed packages alone. Needs root (or sudo).
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libboost-dev libboost-thread-dev
  libgtest-dev libgmock-dev
  omniidl libomniorb4-dev omniorb-nameserver omniorb
  nlohmann-json3-dev libcli11-dev
  gnuplot-nox
  g++-mingw-w64-i686
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
  sudo="sudo"
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

echo "install-deps: updating the package lists" >&2
$sudo apt-get update -qq
if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}" >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "install-deps: all packages present" >&2
fi
