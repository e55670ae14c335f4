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
  # The Windows build and its tests: the cross compilers (POSIX-thread
  # flavour), GoogleTest's sources, Wine to run the programs, Xvfb for a
  # desktop that shows the message box, and tar with xz for Boost's sources.
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  googletest
  wine64
  xvfb
  tar xz-utils
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

# The Windows build compiles Boost.Thread from Debian's source package
# (apt-get source), which needs a deb-src entry.
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "install-deps: adding Debian's source packages to apt's lists" >&2
  $sudo tee /etc/apt/sources.list.d/tolvarine-deb-src.sources >/dev/null <<'EOF_SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF_SOURCES
fi

echo "install-deps: updating the package lists" >&2
$sudo apt-get update -qq
if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}" >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "install-deps: all packages present" >&2
fi
