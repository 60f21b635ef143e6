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
    assert len(found) == 11
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
    assert subjects[:6] == ["你好", "季度报告", "本周报告", "评审会邀请", "欢迎，张三", "导出完成"]
    assert subjects[6] == "[CRITICAL] Disk almost full on db-1"
    assert subjects[7:] == ["Hello"] * 5 + ["Welcome"]
    pictures, invitation, builtin = (smtp_ssl.messages[i] for i in (2, 3, 5))
    assert [(i.cid, i.filename) for i in pictures.inline_images] == [
        ("logo", "logo.png"),
        ("chart", "图表.png"),
    ]
    assert [a.filename for a in pictures.attachments] == ["报告.pdf"]
    assert invitation.message.get_body(("calendar",)).get_param("method") == "REQUEST"
    assert 'src="cid:logo"' in builtin.html and builtin.inline_images[0].cid == "logo"
    report = smtp_ssl.messages[1].message
    assert sorted(p.get_filename() for p in report.iter_attachments()) == [
        "chart.png",
        "data.csv",
        "报告.pdf",
    ]


def test_readmes_agree_on_code():
    assert blocks("README.md") == blocks("README.zh-CN.md")
