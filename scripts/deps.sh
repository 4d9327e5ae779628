#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Safe to run again: does nothing when everything is present.
set -euo pipefail

# Host packages: compilers, build tools, libraries, and the independent
# tools the tests check our output with.
host_pkgs=(
  build-essential cmake ninja-build ccache pkg-config git
  clang-14 libclang-rt-14-dev
  googletest libbenchmark-dev nlohmann-json3-dev zlib1g-dev
  g++-arm-linux-gnueabihf qemu-user
  busybox-static ppp iproute2 bridge-utils dosfstools procps util-linux bzip2 udftools
  parted mdadm xfsprogs ntfs-3g exfatprogs mtools exfat-fuse fusefat fuse3
)
# Libraries for the 32-bit ARM board build.
armhf_pkgs=(zlib1g-dev:armhf)

missing=()
for p in "${host_pkgs[@]}" "${armhf_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "deps: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
