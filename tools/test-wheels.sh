#!/usr/bin/env bash
# The wheels in wheelhouse/ tested as users get them.
#
# x86_64: for each CPython, a fresh venv on a PATH where no compiler can be
# found (CC and CXX point nowhere too), the package installed from its wheel
# only, and the test suite run from a copy outside the checkout, so that the
# source tree cannot be imported.
#
# aarch64 (with ARM64=1, needs root): an arm64 Debian root made by debootstrap,
# run under qemu-user-static; its python3 (3.11) installs the 3.11 wheel and
# runs the quickstart, which sends a mail to an SMTP server inside that root,
# then (with ARM64_SUITE=1) the test suite.
#
# Environment: PYTHONS="3.11 3.13" narrows the x86_64 runs (PYTHONS= skips
# them); SUITE_MARKS="not slow" selects tests by marker; WHEELHOUSE=dir;
# ARM64_ROOT=dir keeps the arm64 root between runs.
set -euo pipefail
# Read whole before it runs, so that editing the file cannot change a run.
{

root=$(cd "$(dirname "$0")/.." && pwd)
wheelhouse=$(cd "${WHEELHOUSE:-$root/wheelhouse}" && pwd)
pythons=${PYTHONS-3.9 3.10 3.11 3.12 3.13}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
say() { printf 'test-wheels: %s\n' "$*"; }
fail() { printf 'test-wheels: %s\n' "$*" >&2; exit 1; }

version=$(find "$wheelhouse" -name 'brisvane-*.whl' | head -n 1 | sed -E 's@.*/brisvane-([^-]+)-.*@\1@')
[ -n "$version" ] || fail "no wheel in $wheelhouse"

# What the tests read besides themselves: the READMEs, the examples, the source.
suite=$work/suite
mkdir "$suite"
cp -r "$root/tests" "$root/examples" "$root/README.md" "$root/README.zh-CN.md" "$suite/"
# One test reads the package's Python source as text; it is not importable from
# there (the package is imported from the venv, as checked below).
mkdir "$suite/src"
cp -r "$root/src/brisvane" "$suite/src/"
find "$suite" -name __pycache__ -prune -exec rm -rf {} +

# ---- x86_64: no compiler anywhere --------------------------------------------

# Every directory of PATH mirrored by links to its programs, less the compilers.
nocc=""
i=0
IFS=: read -ra dirs <<<"$PATH"
for dir in "${dirs[@]}"; do
    [ -d "$dir" ] || continue
    i=$((i + 1))
    mkdir -p "$work/path/$i"
    for program in "$dir"/*; do
        [ -x "$program" ] && [ ! -d "$program" ] || continue
        case ${program##*/} in
        cc | c++ | c89* | c99* | cpp* | gcc* | g++* | clang* | *-gcc | *-gcc-* | *-g++ | *-g++-* | \
            *-cc | *-c++ | tcc | zig | icx | icpx) continue ;;
        esac
        ln -s "$program" "$work/path/$i/"
    done
    nocc=${nocc:+$nocc:}$work/path/$i
done

failed=()
for series in $pythons; do
    python=$(ls -d "$(pyenv root)"/versions/"$series".* | grep -E "/$series\.[0-9]+$" |
        sort -t. -k3,3n | tail -n 1)/bin/python$series
    venv=$work/venv-$series
    say "CPython $series ($("$python" -c 'import platform; print(platform.python_version())'))"
    set +e
    (
        set -e
        export PATH="$venv/bin:$nocc" CC=/nonexistent/cc CXX=/nonexistent/c++
        for compiler in gcc g++ cc c++ clang clang++; do
            if command -v "$compiler" >/dev/null; then
                echo "$compiler is still on PATH"
                exit 1
            fi
        done
        "$python" -m venv "$venv"
        # The package from the wheelhouse alone, then its test tools (wheels only):
        # no index is asked for the package itself.
        pip install -q --no-index --no-deps --find-links "$wheelhouse" "brisvane==$version"
        pip install -q --only-binary=:all: --find-links "$wheelhouse" "brisvane[test]==$version"
        cd "$suite"
        python - <<'EOF2'
import brisvane, brisvane.mailer
where = brisvane.mailer.__file__
assert "site-packages" in where, where
print(f"brisvane {brisvane.__version__} from {where}")
EOF2
        python -m pytest -q -p no:cacheprovider -ra -m "${SUITE_MARKS:-}" tests
    ) >"$work/suite-$series.log" 2>&1
    status=$?
    set -e
    grep -E '^(brisvane .* from|FAILED|ERROR)|(passed|failed).* in ' "$work/suite-$series.log" || true
    if [ "$status" -ne 0 ]; then
        grep -q ' in [0-9.]*s' "$work/suite-$series.log" || tail -n 30 "$work/suite-$series.log"
        failed+=("$series")
    fi
done
[ "${#failed[@]}" -eq 0 ] || fail "failed on CPython ${failed[*]}"

# ---- aarch64 under emulation ------------------------------------------------

[ "${ARM64:-0}" = 1 ] || exit 0
wheel=$(ls "$wheelhouse"/brisvane-"$version"-cp311-cp311-*manylinux_2_17_aarch64*.whl)
arm=${ARM64_ROOT:-$work/arm64}
if [ ! -x "$arm/usr/bin/python3" ]; then
    say "making an arm64 Debian root"
    missing=()
    for package in qemu-user-static debootstrap binfmt-support; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        { apt-get update -qq && apt-get install -y -qq "${missing[@]}"; } >/dev/null
    fi
    debootstrap --arch=arm64 --variant=minbase \
        --include=python3,python3-venv,python3-cffi-backend,python3-jinja2,python3-aiosmtpd,python3-trustme,python3-pytest,python3-hypothesis \
        bookworm "$arm" >"$work/debootstrap.log" 2>&1 ||
        { tail -n 20 "$work/debootstrap.log" >&2; fail "debootstrap failed"; }
fi
# The kernel runs arm64 programs through qemu once binfmt_misc knows it.
[ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount binfmt_misc -t binfmt_misc /proc/sys/fs/binfmt_misc
update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
mounted=()
cleanup_arm() {
    for m in "${mounted[@]}"; do umount "$m" || true; done
}
trap 'cleanup_arm; rm -rf "$work"' EXIT
mount -t proc proc "$arm/proc" && mounted+=("$arm/proc")
mount --bind /dev "$arm/dev" && mounted+=("$arm/dev")
rm -rf "$arm/opt/brisvane"
mkdir -p "$arm/opt/brisvane"
cp "$wheel" "$arm/opt/brisvane/"
cp -r "$suite" "$arm/opt/brisvane/suite"
say "arm64: $(chroot "$arm" uname -m), $(chroot "$arm" python3 --version)"
chroot "$arm" /bin/sh -ec '
    cd /opt/brisvane
    python3 -m venv --system-site-packages venv
    venv/bin/pip install -q --no-index --no-deps ./*.whl
    cd suite
    ../venv/bin/python -c "import brisvane.mailer as m, platform; print(platform.machine(), m.__file__)"
    ../venv/bin/python examples/quickstart.py
'
if [ "${ARM64_SUITE:-0}" = 1 ]; then
    chroot "$arm" /bin/sh -ec 'cd /opt/brisvane/suite && ../venv/bin/python -m pytest -q -p no:cacheprovider -ra tests'
fi
exit
}
