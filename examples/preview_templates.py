"""Render every built-in template with sample data, to look at.

Writes NAME.LOCALE.html and NAME.LOCALE.txt for each template, in English
("en") and Chinese ("zh-CN"), into the output folder (default:
./template-preview).  Where headless Chromium is installed (Debian's
``chromium``), it also takes screenshots of each HTML page at 600 px (a
desktop mail client) and 375 px (a phone), in light and dark mode:
NAME.LOCALE.WIDTH.png and NAME.LOCALE.WIDTH-dark.png.  With Pillow installed
(``pip install pillow``) the screenshots are cut to the mail's height and
gathered into one picture per locale, width and mode, gallery.LOCALE.WIDTH.png
(and -dark.png), the pictures shown in the README.

Every sample carries a logo, an inline image (``brisvane.inline_image``)
named by the context's ``logo``; the HTML files written here show it as a
mail client does, with each ``cid:`` reference resolved to the image.

Run it with ``python examples/preview_templates.py [OUTDIR]``; add
``--stress`` to render long links, long names and Windows line ends instead
of the ordinary samples.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import zlib
from pathlib import Path
from typing import Any

from brisvane import TemplateEngine, inline_image
from brisvane.cli.templates import with_images_shown

LOCALES = ("en", "zh-CN")
WIDTHS = (600, 375)
TEMPLATES = ("notification", "verification_code", "action_link", "alert")

SAMPLES: dict[str, dict[str, dict[str, Any]]] = {
    "en": {
        "common": {
            "product_name": "Acme Cloud",
            "greeting": "Hi Zhang San,",
            "footer": "You receive this mail because you have an Acme Cloud account.",
            "occurred_at": "2026-12-09 14:03:00",
            "logo": "logo",
        },
        "notification": {
            "title": "Your export is ready",
            "message": "The export of project “Beijing office” finished.\n"
            "It holds 1,204 records.\n\nIt stays available for 7 days.",
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
    },
    "zh-CN": {
        "common": {
            "product_name": "Acme 云",
            "greeting": "张三，您好：",
            "footer": "您收到这封邮件，是因为您有一个 Acme 云账户。",
            "occurred_at": "2026-12-09 14:03:00",
            "logo": "logo",
        },
        "notification": {
            "title": "您的导出文件已准备好",
            "message": "项目“北京办公室”的导出已完成。\n共 1,204 条记录。\n\n文件保留 7 天。",
            "action_url": "https://cloud.example.com/exports/8812",
            "action_label": "下载导出文件",
        },
        "verification_code": {"code": "482913", "valid_minutes": 10, "purpose": "登录您的账户"},
        "action_link": {
            "title": "重置密码",
            "message": "有人请求重置您账户的密码。",
            "link": "https://cloud.example.com/reset/7f3a9c",
            "label": "重置密码",
            "expires": "30 分钟后",
        },
        "alert": {
            "severity": "critical",
            "summary": "db-1 磁盘空间即将用尽",
            "details": {"主机": "db-1", "卷": "/var/lib/postgresql", "使用率": "97%"},
            "source": "监控-华东",
        },
    },
}

LONG_URL = "https://cloud.example.com/exports/download?token=" + "a1b2c3d4e5f6" * 12
STRESS: dict[str, dict[str, Any]] = {
    "notification": {
        "title": "Export-" + "x" * 60,
        "message": f"Get it here: {LONG_URL}\r\nSecond line.\r\n\r\nNew paragraph.\r\rLast one.",
        "action_url": LONG_URL,
    },
    "verification_code": {"code": "4829134829134829", "valid_minutes": 10, "purpose": "x" * 80},
    "action_link": {
        "title": "Reset",
        "message": LONG_URL,
        "link": LONG_URL,
        "label": "Reset " * 12,
        "expires": "in 30 minutes",
    },
    "alert": {
        "severity": "warning",
        "summary": "Replication lag on " + "replica-" * 10,
        "details": {
            "replication_slot_name_of_the_standby_" * 2: "s" * 90,
            "lag": "812 MB",
            "url": LONG_URL,
        },
        "source": "monitor-" * 10,
    },
}


def logo_png(width: int = 60, height: int = 40) -> bytes:
    """The sample logo: three rising blue bars on white, as a PNG."""

    def chunk(kind: bytes, data: bytes) -> bytes:
        body = kind + data
        return len(data).to_bytes(4, "big") + body + zlib.crc32(body).to_bytes(4, "big")

    blue, white = bytes((29, 78, 216)), bytes((255, 255, 255))
    bars = [(6 + 18 * i, 26 - 10 * i) for i in range(3)]  # (left, top) of each bar
    rows = [
        b"\x00"
        + b"".join(
            blue if any(left <= x < left + 12 and top <= y < 36 for left, top in bars) else white
            for x in range(width)
        )
        for y in range(height)
    ]
    header = width.to_bytes(4, "big") + height.to_bytes(4, "big") + bytes([8, 2, 0, 0, 0])
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", header)
        + chunk(b"IDAT", zlib.compress(b"".join(rows)))
        + chunk(b"IEND", b"")
    )


def contexts(stress: bool) -> dict[tuple[str, str], dict[str, Any]]:
    result = {}
    for locale in LOCALES:
        for name in TEMPLATES:
            sample = SAMPLES[locale]
            extra = STRESS[name] if stress else sample[name]
            result[(name, locale)] = {**sample["common"], **sample[name], **extra, "locale": locale}
    return result


def screenshot(chromium: str, html: Path, png: Path, width: int, dark: bool) -> None:
    command = [
        chromium,
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--hide-scrollbars",
        f"--window-size={width},1600",
        f"--screenshot={png}",
    ]
    if dark:
        command.append("--force-dark-mode")
    subprocess.run(command + [html.resolve().as_uri()], check=True, capture_output=True)


def crop(png: Path) -> None:
    """Cut the screenshot below the mail (the page background to the bottom)."""
    from PIL import Image, ImageChops  # type: ignore[import-not-found, unused-ignore]

    with Image.open(png) as image:
        picture = image.convert("RGB")
    background = Image.new("RGB", picture.size, picture.getpixel((0, picture.height - 1)))
    box = ImageChops.difference(picture, background).getbbox()
    if box:
        picture.crop((0, 0, picture.width, min(picture.height, box[3] + 16))).save(png)


def gallery(pngs: list[Path], out: Path, columns: int, scale: float) -> None:
    """Lay the screenshots out in a grid, scaled down, in one small picture."""
    from PIL import Image  # type: ignore[import-not-found, unused-ignore]

    pictures = []
    for png in pngs:
        with Image.open(png) as image:
            size = (round(image.width * scale), round(image.height * scale))
            pictures.append(image.convert("RGB").resize(size, Image.Resampling.LANCZOS))
    rows = [pictures[i : i + columns] for i in range(0, len(pictures), columns)]
    cell = max(p.width for p in pictures)
    heights = [max(p.height for p in row) for row in rows]
    background = pictures[0].getpixel((0, pictures[0].height - 1))
    sheet = Image.new("RGB", (cell * columns, sum(heights)), background)
    y = 0
    for row, height in zip(rows, heights):
        for column, picture in enumerate(row):
            sheet.paste(picture, (column * cell, y))
        y += height
    sheet.quantize(colors=96, method=Image.Quantize.MEDIANCUT).save(out, optimize=True)


def main() -> None:
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    stress = "--stress" in sys.argv[1:]
    out = Path(args[0] if args else "template-preview")
    out.mkdir(parents=True, exist_ok=True)
    engine = TemplateEngine()
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    try:
        import PIL  # noqa: F401
    except ImportError:
        pillow = False
    else:
        pillow = True
    shots: dict[tuple[str, int, bool], list[Path]] = {}
    logo = inline_image(logo_png(), "logo")
    for (name, locale), context in contexts(stress).items():
        stem = f"{name}.{locale}"
        for suffix in ("html", "txt"):
            text = engine.render(f"{name}.{suffix}", context)
            assert text is not None, f"{name}.{suffix} is missing"
            if suffix == "html":
                text = with_images_shown(text, [logo])
            (out / f"{stem}.{suffix}").write_text(text, encoding="utf-8")
        if not chromium:
            print(f"{name} ({locale}): {out / stem}.html, .txt")
            continue
        for width in WIDTHS:
            for dark in (False, True):
                png = out / f"{stem}.{width}{'-dark' if dark else ''}.png"
                screenshot(chromium, out / f"{stem}.html", png, width, dark)
                if pillow:
                    crop(png)
                shots.setdefault((locale, width, dark), []).append(png)
        print(f"{name} ({locale}): {out / stem}.html, .txt and screenshots")
    if not chromium:
        print("chromium not found: no screenshots (apt-get install chromium)")
    elif not pillow:
        print("Pillow not found: screenshots not cut, no gallery (pip install pillow)")
    else:
        for (locale, width, dark), pngs in shots.items():
            target = out / f"gallery.{locale}.{width}{'-dark' if dark else ''}.png"
            gallery(
                pngs, target, columns=2 if width > 400 else 4, scale=0.7 if width > 400 else 0.6
            )
            print(f"gallery: {target}")


if __name__ == "__main__":
    main()
