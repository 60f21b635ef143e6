#!/usr/bin/env bash
# Compile the native sources for macOS (arm64) and Windows (x86_64,
# MinGW) with Zig's Clang, warnings as errors, to catch POSIX-only and
# GCC-only code before a real macOS or Windows runner sees it.  The objects
# are compiled and thrown away (nothing is linked): the interpreter's headers
# are this machine's, which is enough for the compiler to judge our own code.
#
#   tools/cross-compile-check.sh [PYTHON]   PYTHON: an interpreter with
#                                           pybind11 and ziglang installed
#                                           (default: python3)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}

for module in pybind11 ziglang; do
    if ! "$python" -c "import $module" 2>/dev/null; then
        echo "cross-compile-check: $python lacks $module (pip install $module)" >&2
        exit 1
    fi
done
python_include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
pybind11_include=$("$python" -c 'import pybind11; print(pybind11.get_include())')

mapfile -t sources < <(find src/native -name '*.cpp' | sort)
# (x86_64 macOS has the same headers and code paths as arm64: one macOS is enough)
targets=(aarch64-macos x86_64-windows-gnu)
out=$(mktemp -d "${TMPDIR:-/tmp}/brisvane-cross.XXXXXX")
trap 'rm -rf "$out"' EXIT
flags=(-std=c++20 -c -Wall -Wextra -Wsign-conversion -Werror -Isrc/native
       -isystem "$pybind11_include" -DPYBIND11_SIMPLE_GIL_MANAGEMENT)

# This machine's pyconfig.h describes Linux.  For Windows, a copy of the
# headers whose pyconfig.h drops the POSIX features (HAVE_*) and gives the
# sizes and thread kind of Windows; macOS takes the POSIX one as it is.
windows_include=$out/include-windows
cp -r "$python_include" "$windows_include"
sed -E '/^#define (HAVE_|SIZEOF_LONG |SIZEOF_SIZE_T |SIZEOF_WCHAR_T |WITH_PYMALLOC)/d' \
    "$python_include/pyconfig.h" >"$windows_include/pyconfig.h"
cat >>"$windows_include/pyconfig.h" <<'PYCONFIG'
#define SIZEOF_LONG 4
#define SIZEOF_SIZE_T 8
#define SIZEOF_WCHAR_T 2
#define NT_THREADS 1
PYCONFIG

status=0
for target in "${targets[@]}"; do
    case $target in
        *windows*) include=$windows_include ;;
        *) include=$python_include ;;
    esac
    failed=0
    for source in "${sources[@]}"; do
        object="$out/$target-$(basename "$source" .cpp).o"
        if ! "$python" -m ziglang c++ -target "$target" "${flags[@]}" -isystem "$include" \
            -o "$object" "$source"; then
            echo "cross-compile-check: $source does not compile for $target" >&2
            failed=1
        fi
    done
    if [ "$failed" -eq 0 ]; then
        echo "cross-compile-check: $target: ${#sources[@]} files clean"
    else
        status=1
    fi
done
exit "$status"
