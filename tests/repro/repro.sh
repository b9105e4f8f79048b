#!/bin/sh
# Two clean builds of the stub Varnex32.exe and of varnex-pack, from the same sources,
# in fresh build directories at different paths, must give the same bytes: nothing in
# either file may depend on the time of the build or on where it ran.
# Usage: tests/repro/repro.sh   (JOBS sets the parallel jobs per build, default 2)
set -eu
src=$(cd "$(dirname "$0")/../.." && pwd)
jobs=${JOBS:-2}
work=$(mktemp -d "${TMPDIR:-/tmp}/varnex-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT

build_once() {
    cmake -S "$src" -B "$1/w32" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" >/dev/null
    ninja -C "$1/w32" -j"$jobs" VarnexImage >/dev/null
    cmake -S "$src" -B "$1/host" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVARNEX_STUB="$1/w32/Varnex32.exe" >/dev/null
    ninja -C "$1/host" -j"$jobs" varnex-pack >/dev/null
}

# The second directory has a longer name at another depth, so a path that leaks into
# an image changes its length as well as its bytes.
build_once "$work/a"
sleep 1   # a time stamp at one-second resolution must differ too
build_once "$work/second-build/b"

status=0
for f in w32/Varnex32.exe host/varnex-pack; do
    one=$(sha256sum <"$work/a/$f" | cut -d' ' -f1)
    two=$(sha256sum <"$work/second-build/b/$f" | cut -d' ' -f1)
    echo "$f: $one $two"
    if [ "$one" != "$two" ]; then
        echo "$f differs between the two builds:" >&2
        cmp -l "$work/a/$f" "$work/second-build/b/$f" | head -20 >&2 || true
        status=1
    fi
done
# A path of either build in the stub (e.g. from an assertion or a debug record).
for d in "$work/a" "$work/second-build/b" "$src"; do
    if grep -q -F "$d" "$work/a/w32/Varnex32.exe" "$work/second-build/b/w32/Varnex32.exe"; then
        echo "the stub contains the path $d" >&2
        status=1
    fi
done
exit $status
