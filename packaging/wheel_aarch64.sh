#!/usr/bin/env bash
# A CPython 3.11 manylinux wheel for aarch64, cross-compiled by Debian's
# g++-aarch64-linux-gnu against the arm64 root's Python headers, with liblzf's
# sources compiled in (so the wheel needs no library beyond the C and C++
# runtimes), then checked and tagged by auditwheel.
#
#   packaging/wheel_aarch64.sh PYTHON3.11 TOOLS_PYTHON ROOT DIST [WERROR]
#
# PYTHON3.11 is this machine's CPython 3.11 with scikit-build-core and pybind11;
# TOOLS_PYTHON one with auditwheel; ROOT the arm64 root (packaging/arm64_root.sh);
# the wheel goes to DIST.
set -euo pipefail
python=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
tools=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
root=$(cd "$3" && pwd)
dist=$4
werror=${5:-OFF}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$here/build/aarch64-wheel
mkdir -p "$work/include" "$dist"
# fast_float alone: the host's include folder would shadow the target's C library.
rm -rf "$work/include/fast_float" && cp -r /usr/include/fast_float "$work/include/"
lzf_config=$(dirname "$(dpkg -L liblzf-dev | grep 'liblzf-config.cmake$')")
suffix=.cpython-311-aarch64-linux-gnu.so
rm -rf "$work/raw"
cd "$here"
_PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=$suffix \
  "$python" -m pip wheel -q --no-build-isolation --no-deps . -w "$work/raw" \
  -C cmake.define.CMAKE_SYSTEM_NAME=Linux -C cmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64 \
  -C cmake.define.CMAKE_C_COMPILER=aarch64-linux-gnu-gcc -C cmake.define.CMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
  -C cmake.define.CMAKE_CXX_FLAGS="-idirafter $root/usr/include" \
  -C cmake.define.Python_INCLUDE_DIR="$root/usr/include/python3.11" \
  -C cmake.define.PYTHON_MODULE_EXTENSION=$suffix \
  -C cmake.define.VANTREL_EMBED_LZF=ON -C cmake.define.VANTREL_FAST_FLOAT_INCLUDE="$work/include" \
  -C cmake.define.liblzf_DIR="$lzf_config" -C cmake.define.VANTREL_WERROR="$werror"
wheel=$(ls "$work"/raw/vantrel-*-cp311-cp311-linux_aarch64.whl)
module=$(cd "$work" && rm -rf unpacked && mkdir unpacked && cd unpacked && "$tools" -m zipfile -e "$wheel" . && ls vantrel/*.so)
readelf -h "$work/unpacked/$module" | grep -q "Machine:.*AArch64" || { echo "$module is not an AArch64 module" >&2; exit 1; }
# auditwheel finds the target's C and C++ runtimes in the root.
rm -f "$dist"/vantrel-*-cp311-cp311-*aarch64.whl
PATH=$(dirname "$tools"):$PATH LD_LIBRARY_PATH=$root/usr/lib/aarch64-linux-gnu:$root/lib/aarch64-linux-gnu \
  "$tools" -m auditwheel repair -w "$dist" "$wheel"
ls -l "$dist"/vantrel-*-cp311-cp311-*aarch64.whl
