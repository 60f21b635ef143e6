"""Send a verification code from a FastAPI app without blocking its event loop.

One AsyncEasyMailer for the whole app, configured from the environment; the
app's lifespan keeps a pool of logged-in connections open while it runs, and
every request that sends takes a free one.  A code is kept in memory for its
validity only (a real app keeps it, hashed, in its database).

    pip install "brisvane[async]" fastapi uvicorn
    export BRISVANE_HOST=smtp.example.com BRISVANE_PORT=465 \\
           BRISVANE_USER=me@example.com BRISVANE_PASSWORD=app-password
    uvicorn fastapi_app:app                          # in this directory

    curl -X POST localhost:8000/signup -H 'content-type: application/json' \\
         -d '{"email": "you@example.com"}'
    curl -X POST localhost:8000/verify -H 'content-type: application/json' \\
         -d '{"email": "you@example.com", "code": "123456"}'

Environment: BRISVANE_HOST, BRISVANE_PORT (default 465), BRISVANE_USER,
BRISVANE_PASSWORD; BRISVANE_MODE ("ssl", "starttls" or "plain"; default
"ssl"); BRISVANE_TIMEOUT, seconds per network step (default 30);
BRISVANE_CONNECTIONS, the size of the pool (default 2).
"""

from __future__ import annotations

import hmac
import os
import secrets
import smtplib
import time
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager

from fastapi import FastAPI, HTTPException
from pydantic import BaseModel

from brisvane import delivery
from brisvane.aio import AsyncEasyMailer

VALID_MINUTES = 10

_env = os.environ
_mode = _env.get("BRISVANE_MODE", "ssl")
mailer = AsyncEasyMailer(
    _env["BRISVANE_HOST"],
    int(_env.get("BRISVANE_PORT", "465")),
    _env.get("BRISVANE_USER", ""),
    _env.get("BRISVANE_PASSWORD", ""),
    use_ssl=_mode == "ssl",
    use_tls=_mode == "starttls",
    timeout=float(_env.get("BRISVANE_TIMEOUT", "30")),
)

# address -> (code, monotonic deadline)
codes: dict[str, tuple[str, float]] = {}


@asynccontextmanager
async def lifespan(app: FastAPI) -> AsyncIterator[None]:
    # Requests share these connections; one the server closed meanwhile is
    # opened again before its next mail.
    async with mailer.connection(connections=int(_env.get("BRISVANE_CONNECTIONS", "2"))):
        yield


app = FastAPI(lifespan=lifespan)


class Signup(BaseModel):
    email: str


class Verification(BaseModel):
    email: str
    code: str


@app.post("/signup", status_code=202)
async def signup(form: Signup) -> dict[str, str]:
    code = f"{secrets.randbelow(10**6):06d}"
    try:
        await mailer.send_template(
            form.email,
            "Your verification code",
            "verification_code",
            {"code": code, "valid_minutes": VALID_MINUTES, "purpose": "finish signing up"},
        )
    except Exception as exc:
        if delivery.is_transient(exc):  # a timeout, a lost connection, a 4xx answer
            raise HTTPException(503, "the mail is delayed; try again shortly") from exc
        if isinstance(exc, (ValueError, smtplib.SMTPRecipientsRefused)):
            raise HTTPException(422, "this address cannot receive mail") from exc
        raise  # a login or certificate failure: the app's own fault, logged as such
    codes[form.email] = (code, time.monotonic() + VALID_MINUTES * 60)
    return {"status": "sent"}


@app.post("/verify")
async def verify(form: Verification) -> dict[str, str]:
    code, deadline = codes.get(form.email, ("", 0.0))
    if time.monotonic() > deadline or not hmac.compare_digest(code, form.code):
        raise HTTPException(400, "wrong or expired code")
    del codes[form.email]
    return {"status": "verified"}
