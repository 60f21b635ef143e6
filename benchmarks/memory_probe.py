"""Peak RSS of one fresh process that builds and flattens a mail with one large attachment.

    python benchmarks/memory_probe.py {brisvane|stdlib} {file|bytes} PATH

PATH is the attachment file; in the bytes form the process reads it into
memory first (both sides do), then passes the bytes item.  Prints one JSON
line: the peak resident set size in KiB (``ru_maxrss``) and the length of the
flattened message.
"""

from __future__ import annotations

import json
import os
import resource
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def main() -> None:
    variant, form, path = sys.argv[1:4]
    if form == "file":
        attachments = [path]
    else:
        with open(path, "rb") as f:
            attachments = [{"filename": os.path.basename(path), "data": f.read()}]

    args = dict(
        to="rcpt@example.com",
        subject="Large attachment",
        body="See the attached file.",
        html=None,
        cc=None,
        sender=None,
        sender_name=None,
        attachments=attachments,
        reply_to=None,
    )
    if variant == "brisvane":
        from brisvane.mailer import EasyMailer

        mailer = EasyMailer("127.0.0.1", 25, "bench@example.com", "pw", use_ssl=False)
        text = mailer._build_message(**args).as_string()
    else:
        import baselines

        text = baselines.build_message("bench@example.com", **args).as_string()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"maxrss_kib": peak, "length": len(text)}))


if __name__ == "__main__":
    main()
