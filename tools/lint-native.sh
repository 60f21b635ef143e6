#!/usr/bin/env bash
# Lint the native sources: clang-tidy with the checks of .clang-tidy (any
# finding fails) and clang-format (any change fails).  The build is
# configured out of the source tree, only for its compile database; clang-tidy
# and clang-format are installed through apt when they are missing.
#
#   tools/lint-native.sh [PYTHON]     PYTHON: an interpreter with pybind11
#                                     installed (default: python3)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}

missing=()
command -v clang-tidy >/dev/null 2>&1 || missing+=(clang-tidy)
command -v clang-format >/dev/null 2>&1 || missing+=(clang-format)
if [ "${#missing[@]}" -gt 0 ]; then
    echo "lint-native: installing ${missing[*]} through apt"
    apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if ! pybind11_dir=$("$python" -m pybind11 --cmakedir 2>/dev/null); then
    echo "lint-native: $python has no pybind11 (pip install pybind11)" >&2
    exit 1
fi

build=$(mktemp -d "${TMPDIR:-/tmp}/brisvane-lint.XXXXXX")
trap 'rm -rf "$build"' EXIT
# Precompiled headers are GCC's, which clang-tidy cannot read: off here.
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON \
    -DPython_EXECUTABLE="$(command -v "$python")" -Dpybind11_DIR="$pybind11_dir" \
    >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }

mapfile -t sources < <(find src/native -name '*.cpp' | sort)
mapfile -t headers < <(find src/native -name '*.hpp' | sort)

status=0
echo "lint-native: clang-tidy over ${#sources[@]} files"
# One file per process, two at a time; the findings of the headers are
# reported through the files that include them (HeaderFilterRegex).
printf '%s\n' "${sources[@]}" |
    xargs -P "$(nproc 2>/dev/null || echo 2)" -n 1 \
        clang-tidy -p "$build" --quiet --warnings-as-errors='*' >"$build/tidy.log" 2>&1 ||
    status=1
grep -E '(warning|error):' "$build/tidy.log" | sort -u || true
[ "$status" -eq 0 ] || echo "lint-native: clang-tidy found the faults above" >&2

echo "lint-native: clang-format over $((${#sources[@]} + ${#headers[@]})) files"
clang-format --dry-run -Werror "${sources[@]}" "${headers[@]}" || status=1

[ "$status" -eq 0 ] && echo "lint-native: clean"
exit "$status"
