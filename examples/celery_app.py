"""Send templated mail from a Celery task queue with a Redis broker.

Any number of worker processes, on any number of machines, take mails from
one Redis queue.  Each worker process creates its mailer once, from its own
environment: the mailer (and its password) never travels through the broker,
only the task arguments do.  A failure that may pass (network, timeout, an
SMTP 4xx answer) is tried again later, with back-off; any other is final.

    pip install "brisvane[queue]"
    redis-server --port 6379 --bind 127.0.0.1
    export SMTP_HOST=smtp.example.com SMTP_PORT=465 \\
           SMTP_USERNAME=me@example.com SMTP_PASSWORD=app-password
    celery -A celery_app worker --loglevel=INFO      # in this directory

    from celery_app import send_template
    send_template.delay("you@example.com", "Order {{ order_id }}", "order_shipped",
                        {"name": "Ada", "order_id": 42, "items": [{"title": "Tea", "qty": 2}]})

Environment: CELERY_BROKER_URL (default redis://127.0.0.1:6379/0); SMTP_HOST,
SMTP_PORT, SMTP_USERNAME, SMTP_PASSWORD; SMTP_MODE ("ssl", "starttls" or
"plain"; default "ssl"); SMTP_LOGIN=0 for a relay without authentication;
SMTP_TIMEOUT in seconds (default 30); MAIL_TEMPLATES (default: the
templates beside this file); MAIL_RETRY_DELAY, the first retry's delay in
seconds (default 10; doubled each time, at most 10 minutes);
MAIL_MAX_RETRIES (default 8).
"""

from __future__ import annotations

import functools
import os
from pathlib import Path
from typing import Any, Optional, Union

from celery import Celery, Task

from brisvane import EasyMailer, delivery

HERE = Path(__file__).resolve().parent

app = Celery("mail", broker=os.environ.get("CELERY_BROKER_URL", "redis://127.0.0.1:6379/0"))
app.conf.update(
    task_serializer="json",
    accept_content=["json"],
    # A task leaves the queue only once it has ended, so that a worker that
    # dies mid-send does not lose it; mails are sent one at a time per process.
    task_acks_late=True,
    worker_prefetch_multiplier=1,
    broker_connection_retry_on_startup=True,
)


@functools.cache
def mailer() -> EasyMailer:
    """The mailer of this worker process, made at its first task."""
    env = os.environ
    mode = env.get("SMTP_MODE", "ssl")
    result = EasyMailer(
        env["SMTP_HOST"],
        int(env.get("SMTP_PORT", "465")),
        env.get("SMTP_USERNAME", ""),
        env.get("SMTP_PASSWORD", ""),
        use_ssl=mode == "ssl",
        use_tls=mode == "starttls",
        default_sender=env.get("MAIL_SENDER") or None,
        template_dir=env.get("MAIL_TEMPLATES", str(HERE / "templates")),
    )
    delivery.configure(
        result,
        timeout=float(env.get("SMTP_TIMEOUT", "30")),
        login=env.get("SMTP_LOGIN", "1") != "0",
        message_id=True,
    )
    return result


def retry_delay(retries: int) -> float:
    first = float(os.environ.get("MAIL_RETRY_DELAY", "10"))
    return float(min(first * 2**retries, 600.0))


@app.task(bind=True, max_retries=int(os.environ.get("MAIL_MAX_RETRIES", "8")))
def send_template(
    self: Task,
    to: Union[str, list[str]],
    subject: str,
    template_name: str,
    context: Optional[dict[str, Any]] = None,
) -> None:
    """Render and send one mail; transient failures are retried later."""
    try:
        mailer().send_template(to, subject, template_name, context)
    except Exception as exc:
        if not delivery.is_transient(exc):
            raise
        raise self.retry(exc=exc, countdown=retry_delay(self.request.retries)) from exc
