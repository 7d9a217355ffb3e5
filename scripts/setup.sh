#!/bin/sh
# Installs the Debian packages the build and the tests need. Quiet and quick
# when everything is already there; uses sudo when not run as root.
set -e
PKGS="cmake ninja-build g++ pkg-config make zlib1g-dev liblzma-dev libsquashfs-dev liblzo2-dev libzstd-dev \
qtbase5-dev libgtest-dev googletest util-linux-extra squashfs-tools squashfs-tools-ng attr xvfb x11-apps x11-utils imagemagick python3-pytest libfuse3-dev fuse3 rsync \
mtd-utils genromfs qemu-system-x86 linux-image-amd64 busybox-static cpio \
linux-headers-amd64 linux-source-6.1 libarchive-dev libedit-dev u-boot-tools libdeflate-dev"
[ "${1:-}" = "--fuzz" ] && PKGS="$PKGS clang libclang-rt-14-dev"

missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
