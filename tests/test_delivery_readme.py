"""The README's delivery blocks run, in order, against loopback servers: a
TLS server that refuses a recipient, a relay without AUTH, an XOAUTH2 server."""

import re
from pathlib import Path

import pytest
from helpers import PASSWORD, TOKEN, USERNAME

ROOT = Path(__file__).resolve().parent.parent


def blocks(readme):
    text = (ROOT / readme).read_text(encoding="utf-8")
    return re.findall(r"```python delivery\n(.*?)```", text, re.S)


def test_readmes_agree_on_delivery_code():
    assert blocks("README.md") == blocks("README.zh-CN.md")
    assert len(blocks("README.md")) == 4


@pytest.mark.parametrize("readme", ["README.md", "README.zh-CN.md"])
def test_delivery_blocks_run(readme, start_server, capsys):
    servers = {
        "smtp": start_server("ssl"),
        "relay": start_server("plain", auth=False),
        "oauth": start_server("starttls", xoauth2_token=TOKEN),
    }
    servers["smtp"].refuse_recipients("nobody@example.com", text="5.1.1 no such user")
    replacements = {
        '"smtp.example.com", 465': f'"127.0.0.1", {servers["smtp"].port}',
        '"relay.example.com", 25': f'"127.0.0.1", {servers["relay"].port}',
        '"smtp.office365.com", 587': f'"127.0.0.1", {servers["oauth"].port}',
        '"me@example.com", "app-password"': f'"{USERNAME}", "{PASSWORD}"',
    }
    namespace = {"get_token": lambda: TOKEN}
    for number, code in enumerate(blocks(readme)):
        for old, new in replacements.items():
            code = code.replace(old, new)
        exec(compile(code, f"{readme} delivery block {number + 1}", "exec"), namespace)
    out = capsys.readouterr().out
    assert "nobody@example.com refused: {'nobody@example.com': (550," in out
    assert out.rstrip().endswith("True False")
    assert len(servers["smtp"].messages) == 3 and len(servers["smtp"].sessions) == 1
    (nightly,) = servers["relay"].messages
    assert nightly.message["Message-ID"].endswith("@example.com>")
    (hello,) = servers["oauth"].messages
    assert str(hello.message["Subject"]) == "Hello"
