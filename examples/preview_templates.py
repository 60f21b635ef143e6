"""Render every built-in template with sample data, to look at.

Writes NAME.html and NAME.txt for each template into the output folder
(default: ./template-preview) and, where headless Chromium is installed
(Debian's ``chromium``), a NAME.png screenshot of the HTML in light and dark
mode.  Run it with ``python examples/preview_templates.py [OUTDIR]``.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any

from brisvane import TemplateEngine

COMMON: dict[str, Any] = {
    "product_name": "Acme Cloud",
    "greeting": "Hi Zhang San,",
    "footer": "You receive this mail because you have an Acme Cloud account.",
    "occurred_at": "2026-12-09 14:03:00",
}
SAMPLES: dict[str, dict[str, Any]] = {
    "notification": {
        "title": "Your export is ready",
        "message": "The export of project “北京办公室” finished.\n\nIt holds 1,204 records.",
        "action_url": "https://cloud.example.com/exports/8812",
        "action_label": "Download export",
    },
    "verification_code": {"code": "482913", "valid_minutes": 10, "purpose": "sign in"},
    "action_link": {
        "title": "Reset your password",
        "message": "Someone asked to reset the password of your account.",
        "link": "https://cloud.example.com/reset/7f3a9c",
        "label": "Reset password",
        "expires": "in 30 minutes",
    },
    "alert": {
        "severity": "critical",
        "summary": "Disk almost full on db-1",
        "details": {"host": "db-1", "volume": "/var/lib/postgresql", "usage": "97%"},
        "source": "monitor-eu",
    },
}


def screenshot(chromium: str, html: Path, png: Path, dark: bool) -> None:
    command = [
        chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
        "--window-size=700,900", f"--screenshot={png}",
    ]
    if dark:
        command.append("--force-dark-mode")
    subprocess.run(command + [html.resolve().as_uri()], check=True, capture_output=True)


def main() -> None:
    out = Path(sys.argv[1] if len(sys.argv) > 1 else "template-preview")
    out.mkdir(parents=True, exist_ok=True)
    engine = TemplateEngine()
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    for name, sample in SAMPLES.items():
        context = {**COMMON, **sample}
        for suffix in ("html", "txt"):
            text = engine.render(f"{name}.{suffix}", context)
            assert text is not None, f"{name}.{suffix} is missing"
            (out / f"{name}.{suffix}").write_text(text, encoding="utf-8")
        if chromium:
            screenshot(chromium, out / f"{name}.html", out / f"{name}.png", dark=False)
            screenshot(chromium, out / f"{name}.html", out / f"{name}-dark.png", dark=True)
        print(f"{name}: {out / name}.html, .txt" + (", .png, -dark.png" if chromium else ""))
    if not chromium:
        print("chromium not found: no screenshots (apt-get install chromium)")


if __name__ == "__main__":
    main()
