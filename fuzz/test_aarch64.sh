#!/usr/bin/env bash
# The engine on 64-bit ARM with musl: builds the engine and the fuzz replay
# program for aarch64-linux-musl with zig's clang, statically linked, with
# liblzf compiled from the sources that liblzf-dev ships; runs it under
# qemu-user over the real files and fuzz/regressions; and diffs each input's
# digest (outcome, layout, report, decoded records, written bytes) with the
# native build's.
#
#   fuzz/test_aarch64.sh PYTHON NATIVE_REPLAY [WERROR]
#
# PYTHON has ziglang installed; NATIVE_REPLAY is this machine's fuzz_load_replay.
set -euo pipefail
python=$1
native=$2
werror=${3:-OFF}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/aarch64
start=$(date +%s)

mkdir -p "$build/bin" "$build/include"
for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" -m ziglang %s -target aarch64-linux-musl "$@"\n' "$python" "$tool" > "$build/bin/$tool"
  chmod +x "$build/bin/$tool"
done
# fast_float alone: the host's include folder would shadow musl's headers.
rm -rf "$build/include/fast_float" && cp -r /usr/include/fast_float "$build/include/"
# liblzf's CMake files name its sources; a cross build does not look in the host's folders.
lzf_config=$(dirname "$(dpkg -L liblzf-dev | grep 'liblzf-config.cmake$')")

cmake -S "$root" -B "$build/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
  -DCMAKE_C_COMPILER="$build/bin/cc" -DCMAKE_CXX_COMPILER="$build/bin/c++" \
  -DCMAKE_EXE_LINKER_FLAGS=-static -DVANTREL_EMBED_LZF=ON -DVANTREL_FAST_FLOAT_INCLUDE="$build/include" \
  -Dliblzf_DIR="$lzf_config" -DVANTREL_WERROR="$werror" > "$build/configure.log"
cmake --build "$build/cmake" --target fuzz_load_replay
program=$build/cmake/fuzz_load_replay
# An AArch64 program with no program interpreter: statically linked.
readelf -h "$program" | grep -q "Machine:.*AArch64" || { readelf -h "$program"; exit 1; }
if readelf -l "$program" | grep -q INTERP; then echo "$program is not statically linked" >&2; exit 1; fi

cd "$root"
inputs=(tests/data/written fuzz/regressions)
"$native" --digest "${inputs[@]}" > "$build/native.txt"
qemu-aarch64-static "$program" --digest "${inputs[@]}" > "$build/aarch64.txt"
diff -u "$build/native.txt" "$build/aarch64.txt"
echo "aarch64-linux-musl: $(tail -1 "$build/aarch64.txt"), every digest the same as x86-64's, in $(($(date +%s) - start)) s"
