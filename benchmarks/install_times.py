"""Install and build figures: the wheel against the sdist, the Zig build against GCC's.

    python benchmarks/install_times.py [--wheelhouse wheelhouse] [--quick] [--json out.json]

Takes this interpreter's x86_64 wheel and the sdist from the wheelhouse (made by
tools/build-wheels.sh) and installs each into a fresh venv, every dependency and
build requirement already downloaded (``--no-index`` from a local folder), so
that only the install itself is timed. The sdist builds with this machine's
default C++ compiler (GCC here), the wheel was built with Zig and libc++; the two
installed packages are then measured side by side, in alternating processes:
import time, composition (``_build_message`` + ``as_string()``), the native
layer (``send`` with no-op hooks) and ``send`` with only the network step
replaced. Goal: the wheel within 1.03x of the GCC build for composition and the
native layer. Informational, printed as a Markdown section.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

GOAL = 1.03
ROOT = Path(__file__).resolve().parent.parent


def _child(reps: int) -> None:
    """In the venv under test: one round of each figure, printed as JSON."""
    from brisvane.mailer import EasyMailer

    def noop(*args: object, **kwargs: object) -> None:
        return None

    args = dict(
        to="you@example.com",
        subject="Monthly report",
        cc=None,
        sender=None,
        sender_name="Reports",
        attachments=None,
        reply_to=None,
        body="Hello,\n\nplease find this month's figures below.\n\n" + "line\n" * 40,
        html="<p>Hello,</p>" + "<p>line</p>" * 40,
    )
    composer = EasyMailer("127.0.0.1", 25, "me@example.com", "pw", use_ssl=False)
    native = EasyMailer("127.0.0.1", 25, "me@example.com", "pw", use_ssl=False)
    native._build_message = noop
    native._collect_recipients = noop
    native._do_send = noop
    offline = EasyMailer("127.0.0.1", 25, "me@example.com", "pw", use_ssl=False)
    offline._do_send = noop
    stmts = {
        "compose_us": (lambda: composer._build_message(**args).as_string(), 1e6),
        "native_ns": (lambda: native.send(**args), 1e9),
        "send_offline_us": (lambda: offline.send(**args), 1e6),
    }
    out = {}
    for name, (fn, unit) in stmts.items():
        timer = timeit.Timer(fn)
        number, _ = timer.autorange()
        out[name] = min(timer.repeat(reps, number)) / number * unit
    print(json.dumps(out))


def _run(cmd: list[str], **kw: object) -> float:
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, **kw)  # type: ignore[call-overload]
    return time.perf_counter() - start


def _venv(path: Path) -> Path:
    subprocess.run([sys.executable, "-m", "venv", str(path)], check=True)
    return path / "bin" / "python"


def _import_ms(python: Path, cwd: str) -> float:
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    base = _run([str(python), "-c", "pass"], cwd=cwd, env=env)
    full = _run([str(python), "-c", "import brisvane.mailer, brisvane.template"], cwd=cwd, env=env)
    return (full - base) * 1e3


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wheelhouse", type=Path, default=ROOT / "wheelhouse")
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--json", type=Path, help="write the figures here too")
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    ns = parser.parse_args(argv)
    if ns.child:
        _child(ns.child)
        return 0

    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    wheels = sorted(ns.wheelhouse.glob(f"brisvane-*-{tag}-{tag}-*x86_64.whl"))
    sdists = sorted(ns.wheelhouse.glob("brisvane-*.tar.gz"))
    if not wheels or not sdists:
        print(
            f"no {tag} x86_64 wheel and sdist in {ns.wheelhouse}: run tools/build-wheels.sh first",
            file=sys.stderr,
        )
        return 1
    wheel, sdist = wheels[-1], sdists[-1]
    installs = 1 if ns.quick else 3
    rounds = 5 if ns.quick else 11

    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        deps = work / "deps"
        print("downloading the dependencies and build requirements once", file=sys.stderr)
        subprocess.run(
            [
                sys.executable,
                "-m",
                "pip",
                "download",
                "-q",
                "-d",
                str(deps),
                "Jinja2>=3.0",
                "scikit-build-core>=0.9",
                "pybind11>=2.12",
                "cmake>=3.18",
                "ninja",
            ],
            check=True,
        )
        local = ["--no-index", "--find-links", str(deps), "--disable-pip-version-check", "-q"]

        times: dict[str, list[float]] = {"wheel": [], "sdist": []}
        pythons: dict[str, Path] = {}
        for i in range(installs):
            for kind, target in (("wheel", wheel), ("sdist", sdist)):
                print(f"install {i + 1}/{installs} from the {kind}", file=sys.stderr)
                python = _venv(work / f"{kind}-{i}")
                times[kind].append(
                    _run([str(python), "-m", "pip", "install", *local, str(target)], cwd=tmp)
                )
                pythons[kind] = python

        figures: dict[str, dict[str, list[float]]] = {"wheel": {}, "sdist": {}}
        for r in range(rounds):
            for kind in ("wheel", "sdist") if r % 2 == 0 else ("sdist", "wheel"):
                out = subprocess.run(
                    [
                        str(pythons[kind]),
                        str(Path(__file__).resolve()),
                        "--child",
                        "3" if ns.quick else "5",
                    ],
                    cwd=tmp,
                    check=True,
                    capture_output=True,
                    text=True,
                ).stdout
                row = json.loads(out)
                row["import_ms"] = _import_ms(pythons[kind], tmp)
                for key, value in row.items():
                    figures[kind].setdefault(key, []).append(value)

    med = {k: {f: statistics.median(v) for f, v in figs.items()} for k, figs in figures.items()}
    result = {
        "python": sys.version.split()[0],
        "wheel": wheel.name,
        "sdist": sdist.name,
        "install_s": {k: statistics.median(v) for k, v in times.items()},
        "install_samples_s": times,
        "figures": med,
        "rounds": rounds,
        "goal": GOAL,
    }
    lines = [
        f"## Install and build: wheel (Zig, libc++) against sdist (GCC), CPython "
        f"{result['python']}\n",
        "| figure | wheel | sdist / GCC build | ratio | goal |",
        "| --- | ---: | ---: | ---: | --- |",
    ]
    inst = result["install_s"]
    lines.append(
        f"| `pip install` (s, fresh venv, dependencies local) | {inst['wheel']:.1f} | "
        f"{inst['sdist']:.1f} | {inst['wheel'] / inst['sdist']:.3f}× | — |"
    )
    ok = True
    for key, label, goal in (
        ("import_ms", "import both modules (ms over interpreter start)", None),
        ("compose_us", "composition: `_build_message` + `as_string()` (µs)", GOAL),
        ("native_ns", "native layer: `send`, no-op hooks (ns)", GOAL),
        ("send_offline_us", "`send`, only the network step replaced (µs)", None),
    ):
        w, g = med["wheel"][key], med["sdist"][key]
        ratio = w / g
        goal_text = "—" if goal is None else f"≤ {goal:.2f}×" + (" ✓" if ratio <= goal else " ✗")
        ok = ok and (goal is None or ratio <= goal)
        lines.append(f"| {label} | {w:.1f} | {g:.1f} | {ratio:.3f}× | {goal_text} |")
    lines.append(f"\nMedians of {rounds} alternating rounds; installs: median of {installs}.")
    print("\n".join(lines))
    if ns.json:
        ns.json.write_text(json.dumps(result, indent=2) + "\n", encoding="utf-8")
    return 0 if ok else 2


if __name__ == "__main__":
    sys.exit(main())
