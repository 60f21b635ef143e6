"""The Celery example for real: Debian's redis-server and a Celery worker
process on loopback, 100 templated mails, some answered 451 at first; each
must arrive exactly once."""

import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
from helpers import PASSWORD, USERNAME, free_port

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
REDIS = shutil.which("redis-server")

pytestmark = [
    pytest.mark.skipif(
        REDIS is None, reason="redis-server is not installed (Debian: redis-server)"
    ),
]
celery = pytest.importorskip(
    "celery", reason="celery is not installed (pip install 'brisvane[queue]')"
)
pytest.importorskip(
    "redis", reason="the redis client is not installed (pip install 'brisvane[queue]')"
)


def wait_for_port(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            time.sleep(0.05)
    raise TimeoutError(f"nothing listens on port {port}")


@pytest.fixture
def redis_url(tmp_path):
    port = free_port()
    process = subprocess.Popen(
        [
            REDIS,
            "--port",
            str(port),
            "--bind",
            "127.0.0.1",
            "--save",
            "",
            "--appendonly",
            "no",
            "--dir",
            str(tmp_path),
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        wait_for_port(port)
        yield f"redis://127.0.0.1:{port}/0"
    finally:
        process.terminate()
        process.wait(timeout=10)


def test_every_mail_arrives_exactly_once(start_server, redis_url, tmp_path, monkeypatch):
    server = start_server("plain")
    server.defer("[flaky]", 2)
    (tmp_path / "hello.txt").write_text("Hello {{ name }}\n")
    env = dict(
        os.environ,
        CELERY_BROKER_URL=redis_url,
        SMTP_HOST=server.host,
        SMTP_PORT=str(server.port),
        SMTP_MODE="plain",
        SMTP_USERNAME=USERNAME,
        SMTP_PASSWORD=PASSWORD,
        SMTP_TIMEOUT="10",
        MAIL_TEMPLATES=str(tmp_path),
        MAIL_RETRY_DELAY="0.2",
        PYTHONPATH=str(EXAMPLES),
    )
    worker = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "celery",
            "-A",
            "celery_app",
            "worker",
            "--concurrency=2",
            "--loglevel=WARNING",
            "--without-gossip",
            "--without-mingle",
            "--without-heartbeat",
        ],
        cwd=tmp_path,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    try:
        monkeypatch.setenv("CELERY_BROKER_URL", redis_url)
        monkeypatch.syspath_prepend(str(EXAMPLES))
        sys.modules.pop("celery_app", None)
        import celery_app

        expected = []
        for n in range(100):
            subject = f"Hello {n}" + (" [flaky]" if n % 10 == 0 else "")
            expected.append(subject)
            celery_app.send_template.delay(f"user{n}@example.com", subject, "hello", {"name": n})

        deadline = time.monotonic() + 45
        while len(server.messages) < 100 and time.monotonic() < deadline and worker.poll() is None:
            time.sleep(0.1)
        time.sleep(0.5)  # a duplicate would arrive now
        subjects = sorted(str(m.message["Subject"]) for m in server.messages)
        assert subjects == sorted(expected), (
            worker.stdout.read() if worker.poll() is not None else ""
        )
        flaky = {s: n for s, n in server.attempts.items()}
        assert len(flaky) == 10 and set(flaky.values()) == {3}
        assert all(m.message["Message-ID"] for m in server.messages)
    finally:
        worker.terminate()
        try:
            worker.wait(timeout=15)
        except subprocess.TimeoutExpired:
            worker.kill()
            worker.wait()
        server.stop()
        sys.modules.pop("celery_app", None)
