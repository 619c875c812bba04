#!/usr/bin/env bash
# Installs the Debian packages quarnel builds and tests with, when they are missing: ICU only as the
# tests' oracle for the character tables, dpkg-dev to unpack the libdivsufsort source the wheels
# link in, qemu-user to test the aarch64 wheels.
set -euo pipefail
packages=(g++ make pkg-config libdivsufsort-dev unicode-data libicu-dev libgtest-dev ccache clang-format
          dpkg-dev qemu-user)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "quarnel needs these Debian packages: ${missing[*]}" >&2
  echo "Install them as root: apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "Installing ${missing[*]} ..."
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
