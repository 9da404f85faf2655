#!/usr/bin/env bash
# The aarch64 wheel in the arm64 root under qemu: installed into a venv of
# Debian's python3.11 (with Debian's NumPy), then load_pcd, read_pcd and
# write_pcd round trips of every encoding, whose digests (the files written,
# the values read) must equal this machine's build's line for line.
#
#   packaging/test_aarch64_wheel.sh HOST_PYTHON ROOT WHEEL
set -euo pipefail
python=$1
root=$(cd "$2" && pwd)
wheel=$3
here=$(cd "$(dirname "$0")/.." && pwd)
work=$here/build/aarch64-wheel
sudo=$([ "$(id -u)" = 0 ] || echo sudo)
start=$(date +%s)
# The root is the machine's, shared by every clone: a folder of this run's own in it.
test=/tmp/vantrel-test-$$
trap '$sudo rm -rf "$root$test"' EXIT
$sudo rm -rf "$root$test" && $sudo mkdir -p "$root$test"
$sudo cp "$wheel" "$here/packaging/roundtrip.py" "$root$test/"
$sudo chroot "$root" /bin/sh -c "cd $test && python3.11 -m venv --system-site-packages venv \
  && venv/bin/pip install -q --no-index --no-deps ./$(basename "$wheel") \
  && venv/bin/python -c 'import platform, numpy, vantrel; print(platform.machine(), numpy.__version__, vantrel.__version__)' \
  && venv/bin/python roundtrip.py out" > "$work/aarch64.txt"
head -1 "$work/aarch64.txt"
"$python" "$here/packaging/roundtrip.py" "$work/native-out" > "$work/native.txt"
diff -u "$work/native.txt" <(tail -n +2 "$work/aarch64.txt")
grep -q "values equal" "$work/native.txt" && ! grep -q DIFFER "$work/native.txt"
echo "aarch64 wheel: $(wc -l < "$work/native.txt") round trips, every digest the same as x86-64's, in $(($(date +%s) - start)) s"
