#!/usr/bin/env bash
# Every check the code is held to: ruff (lint and format) over the Python
# code, mypy --strict over the package, clang-tidy and clang-format over the
# native sources.  Run it after `pip install -r tools/lint-requirements.txt`;
# PYTHON names the interpreter that has them (default: python3).
# `tools/lint.sh python` or `tools/lint.sh native` runs one half.
set -uo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
what=${1:-all}
status=0
step() {
    echo "lint: $*"
    "$@" || status=1
}
if [ "$what" != native ]; then
    step "$python" -m ruff check .
    step "$python" -m ruff format --check .
    step "$python" -m mypy
fi
if [ "$what" != python ]; then
    # the compile database needs CMake and pybind11, from the same environment
    PATH="$(dirname "$(command -v "$python")"):$PATH" step bash tools/lint-native.sh "$python"
fi
exit "$status"
