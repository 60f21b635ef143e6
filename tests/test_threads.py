"""One EasyMailer shared by 8 threads, 100 sends each, to an SMTP server
running in another process: every message arrives exactly once, no thread
fails, and no descriptor stays open."""

import json
import socket
import subprocess
import sys
import threading
import time

import pytest
from helpers import PASSWORD, USERNAME, free_port, open_fds

from brisvane import EasyMailer

THREADS = 8
SENDS = 100
TIMEOUT = 120  # seconds for the whole run; a hang fails instead of blocking

SERVER = r"""
import collections, email, json, sys, warnings
warnings.simplefilter("ignore")
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

port = int(sys.argv[1])
counts = collections.Counter()
logins = [0]

class Handler:
    async def handle_DATA(self, server, session, envelope):
        message = email.message_from_bytes(envelope.content)
        counts[str(message["Subject"])] += 1
        return "250 OK"

def authenticate(server, session, envelope, mechanism, auth_data):
    logins[0] += 1
    return AuthResult(success=True, handled=False)

controller = Controller(Handler(), hostname="127.0.0.1", port=port, auth_require_tls=False,
                        authenticator=authenticate)
controller.start()
print("ready", flush=True)
sys.stdin.readline()  # the parent writes a line when every send has returned
controller.stop()
print(json.dumps({"counts": counts, "logins": logins[0]}), flush=True)
"""


@pytest.fixture
def server():
    port = free_port()
    child = subprocess.Popen(
        [sys.executable, "-c", SERVER, str(port)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        ready = []
        reader = threading.Thread(target=lambda: ready.append(child.stdout.readline()), daemon=True)
        reader.start()
        reader.join(30)
        assert ready == ["ready\n"], "the server process did not start"

        def results():
            out, _ = child.communicate("stop\n", timeout=30)
            return json.loads(out)

        yield port, results
    finally:
        if child.poll() is None:
            child.kill()
            child.wait(10)


@pytest.fixture
def bounded(trust_ca, monkeypatch, tmp_path):
    # A small CA bundle: loading the system one at each send would dominate the run.
    monkeypatch.setenv("SSL_CERT_DIR", str(tmp_path))
    previous = socket.getdefaulttimeout()
    socket.setdefaulttimeout(30)
    yield
    socket.setdefaulttimeout(previous)


def settle(before, timeout=5.0):
    deadline = time.monotonic() + timeout
    while open_fds() - before and time.monotonic() < deadline:
        time.sleep(0.02)
    return open_fds() - before


def hammer(send):
    errors, done = [], []
    barrier = threading.Barrier(THREADS)

    def worker(t):
        try:
            barrier.wait(30)
            for i in range(SENDS):
                send(t, i)
            done.append(t)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append((t, repr(e)))

    threads = [threading.Thread(target=worker, args=(t,), daemon=True) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + TIMEOUT
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    assert not [t for t in threads if t.is_alive()], "a sending thread hung"
    assert errors == []
    assert sorted(done) == list(range(THREADS))


def subjects():
    return {f"thread {t} send {i}": 1 for t in range(THREADS) for i in range(SENDS)}


@pytest.mark.parametrize("how", ["send", "send_template"])
def test_shared_mailer_many_threads(server, bounded, tmp_path, how):
    (tmp_path / "n.html").write_text("<p>{{ t }}/{{ i }}</p>")
    (tmp_path / "n.txt").write_text("{{ t }}/{{ i }}")
    port, results = server
    mailer = EasyMailer(
        "127.0.0.1", port, USERNAME, PASSWORD, use_ssl=False, template_dir=str(tmp_path)
    )
    before = open_fds()

    if how == "send":

        def send(t, i):
            mailer.send(
                f"r{t}@example.com",
                f"thread {t} send {i}",
                body=f"{t}/{i}",
                cc=[f"c{t}@example.com"],
                attachments=[{"filename": f"{t}-{i}.bin", "data": bytes([t, i])}],
            )
    else:

        def send(t, i):
            mailer.send_template(
                f"r{t}@example.com", "thread {{ t }} send {{ i }}", "n", {"t": t, "i": i}
            )

    hammer(send)
    assert settle(before) == set()
    report = results()
    assert report["counts"] == subjects()
    assert report["logins"] == THREADS * SENDS
