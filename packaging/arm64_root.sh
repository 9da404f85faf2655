#!/usr/bin/env bash
# An arm64 Debian root (bookworm, as this machine) for the aarch64 wheel: Debian's
# python3.11, python3-numpy and the Python headers, made with debootstrap and run
# under qemu-user through binfmt_misc (registered here when it is not yet).
#
#   packaging/arm64_root.sh ROOT
set -euo pipefail
root=$1
sudo=$([ "$(id -u)" = 0 ] || echo sudo)
command -v debootstrap > /dev/null || $sudo apt-get install -y -qq debootstrap
command -v qemu-aarch64-static > /dev/null || $sudo apt-get install -y -qq qemu-user-static
command -v aarch64-linux-gnu-g++ > /dev/null || $sudo apt-get install -y -qq g++-aarch64-linux-gnu
binfmt=/proc/sys/fs/binfmt_misc
[ -e $binfmt/register ] || $sudo mount -t binfmt_misc binfmt_misc $binfmt
if [ ! -e $binfmt/qemu-aarch64 ]; then
  # F: the interpreter is opened now, so it runs inside the root too.
  printf '%s' ':qemu-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-aarch64-static:F' \
    | $sudo tee $binfmt/register > /dev/null
fi
if [ ! -x "$root/usr/bin/python3.11" ]; then
  rm -rf "$root.partial" && mkdir -p "$(dirname "$root")"
  $sudo debootstrap --arch=arm64 --variant=minbase \
    --include=python3,python3-numpy,python3-venv,libpython3.11-dev bookworm "$root.partial" http://deb.debian.org/debian
  mv "$root.partial" "$root"
fi
