"""The FastAPI example for real: its app in FastAPI's TestClient, its mailer
configured from the environment and sending to SMTPTestServer through the
pool its lifespan opens."""

import importlib
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from helpers import PASSWORD, USERNAME

pytest.importorskip("fastapi", reason="FastAPI is not installed (pip install fastapi httpx)")
pytest.importorskip("httpx", reason="FastAPI's TestClient needs httpx")
pytest.importorskip(
    "aiosmtplib", reason="aiosmtplib is not installed (pip install 'brisvane[async]')"
)
from fastapi.testclient import TestClient  # noqa: E402

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture
def example(monkeypatch):
    """example(server, **environment): the example's module, imported afresh
    with its mailer pointed at `server`."""

    def load(server, **environment):
        settings = {
            "BRISVANE_HOST": server.host,
            "BRISVANE_PORT": str(server.port),
            "BRISVANE_MODE": server.mode,
            "BRISVANE_USER": USERNAME,
            "BRISVANE_PASSWORD": PASSWORD,
            **environment,
        }
        for name, value in settings.items():
            monkeypatch.setenv(name, value)
        monkeypatch.syspath_prepend(str(EXAMPLES))
        sys.modules.pop("fastapi_app", None)
        return importlib.import_module("fastapi_app")

    yield load
    sys.modules.pop("fastapi_app", None)


def code_of(mail):
    return re.search(r"^\s+(\d{6})$", mail.text, re.M).group(1)


@pytest.mark.parametrize("mode", ["ssl", "starttls", "plain"])
def test_concurrent_signups_share_the_pool_and_their_codes_verify(mode, start_server, example):
    server = start_server(mode)
    addresses = [f"user{n}@example.com" for n in range(8)]
    with TestClient(example(server).app) as client:
        with ThreadPoolExecutor(4) as threads:
            answers = list(
                threads.map(lambda a: client.post("/signup", json={"email": a}), addresses)
            )
        assert [a.status_code for a in answers] == [202] * len(addresses)
        mails = {m.rcpt_tos[0]: m for m in server.messages}
        assert sorted(mails) == addresses
        for address, mail in mails.items():
            assert mail.subject == "Your verification code"
            assert [t.address for t in mail.to] == [address]
            assert code_of(mail) in mail.html and "finish signing up" in mail.html
        address, mail = next(iter(mails.items()))
        wrong = f"{(int(code_of(mail)) + 1) % 10**6:06d}"
        verify = [{"email": address, "code": c} for c in (wrong, code_of(mail), code_of(mail))]
        assert [client.post("/verify", json=v).status_code for v in verify] == [400, 200, 400]
    # the lifespan's pool: at most two connections for every mail, each logged
    # in once and closed with QUIT when the app stopped
    assert 1 <= len(server.sessions) <= 2
    assert len(server.logins) == len(server.sessions)
    assert all(session[-1].verb == "QUIT" for session in server.sessions)


@pytest.mark.parametrize(
    ("fault", "status"),
    [("refused", 422), ("stalled", 503), ("dropped while idle", 202)],
)
def test_faults_are_answered_and_the_pool_goes_on(fault, status, start_server, example):
    server = start_server("ssl")
    app = example(server, BRISVANE_TIMEOUT="0.5", BRISVANE_CONNECTIONS="1").app
    first, second, last = (f"{n}@example.com" for n in ("first", "second", "last"))
    with TestClient(app) as client:
        assert client.post("/signup", json={"email": first}).status_code == 202
        if fault == "refused":
            server.refuse_recipients(second)
        elif fault == "stalled":
            server.stall("DATA", 1.5, times=1)
        else:
            server.drop("MAIL", times=1)  # the pool opens its connection again, once
        assert client.post("/signup", json={"email": second}).status_code == status
        # a code is kept only for a mail that went
        code = code_of(server.messages[-1]) if status == 202 else "000000"
        stored = client.post("/verify", json={"email": second, "code": code}).status_code
        assert stored == (200 if status == 202 else 400)
        assert client.post("/signup", json={"email": last}).status_code == 202
    delivered = [m.rcpt_tos[0] for m in server.messages]
    assert delivered == [first, *([second] if status == 202 else []), last]


def test_the_example_passes_strict_checking(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--cache-dir",
            str(tmp_path / "cache"),
            str(EXAMPLES / "fastapi_app.py"),
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
