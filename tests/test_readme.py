"""Every Python block of both READMEs runs, in order, against the loopback
servers, with only the host, port and account replaced."""

import re
import socket
from pathlib import Path

import pytest
from helpers import PASSWORD, USERNAME

ROOT = Path(__file__).resolve().parent.parent


def blocks(readme):
    return re.findall(r"```python\n(.*?)```", (ROOT / readme).read_text(encoding="utf-8"), re.S)


@pytest.mark.parametrize("readme", ["README.md", "README.zh-CN.md"])
def test_readme_blocks_run(readme, smtp_ssl, smtp_starttls, trust_ca, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    smtp_ssl.messages.clear()
    replacements = {
        '"smtp.example.com", 465': f'"127.0.0.1", {smtp_ssl.port}',
        '"smtp.example.com", 587': f'"127.0.0.1", {smtp_starttls.port}',
        '"me@example.com", "app-password"': f'"{USERNAME}", "{PASSWORD}"',
    }
    found = blocks(readme)
    assert len(found) == 8
    namespace = {}
    timeout = socket.getdefaulttimeout()
    try:
        for number, code in enumerate(found):
            for old, new in replacements.items():
                code = code.replace(old, new)
            exec(compile(code, f"{readme} block {number + 1}", "exec"), namespace)
    finally:
        socket.setdefaulttimeout(timeout)
    subjects = [m.message["Subject"] for m in smtp_ssl.messages]
    assert subjects[:3] == ["你好", "季度报告", "欢迎，张三"]
    assert subjects[3] == "[CRITICAL] Disk almost full on db-1"
    assert subjects[4:] == ["Hello"] * 5 + ["Welcome"]
    report = smtp_ssl.messages[1].message
    assert sorted(p.get_filename() for p in report.iter_attachments()) == [
        "chart.png",
        "data.csv",
        "报告.pdf",
    ]


def test_readmes_agree_on_code():
    assert blocks("README.md") == blocks("README.zh-CN.md")
