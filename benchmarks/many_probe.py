"""One run of send_many in a fresh process, for the loopback figures of "Sending to many".

    python benchmarks/many_probe.py PORT MAILS JOURNAL

Sends MAILS mails (rows from a generator) over plain loopback with AUTH to
the benchmark's server on PORT, two connections, with a journal at JOURNAL,
and prints one JSON line: mails per second, client CPU µs per mail, and the
process's peak RSS in MiB (flat in MAILS when no row is held).
"""

from __future__ import annotations

import json
import resource
import sys
import time

from sections import PASSWORD, RCPT, USER

from brisvane import bulk
from brisvane.mailer import EasyMailer


def main() -> None:
    port, mails, journal = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    mailer = EasyMailer("127.0.0.1", port, USER, PASSWORD, use_ssl=False)
    rows = (
        {"to": RCPT, "subject": f"Notice {i}", "body": f"Hello {i}.\n", "key": i}
        for i in range(mails)
    )
    wall, cpu = time.perf_counter(), time.process_time()
    report = bulk.send_many(mailer, rows, connections=2, journal=journal)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    assert report.counts["sent"] == mails, report.counts
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"mails_per_s": mails / wall, "cpu_us": cpu / mails * 1e6, "peak_mib": peak}))


if __name__ == "__main__":
    main()
