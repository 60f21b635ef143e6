"""A TCP proxy that delays every byte by a fixed time each way: a server "far away".

    python benchmarks/delay_proxy.py UPSTREAM_PORT DELAY_MS

Listens on 127.0.0.1 (a free port), prints one JSON line with that port, and
forwards each connection to 127.0.0.1:UPSTREAM_PORT, every chunk of data in
either direction held back DELAY_MS milliseconds (order kept), until its
standard input is closed.  A stand-in for a network delay where the kernel
offers none (no netem); TLS passes through it untouched.
"""

from __future__ import annotations

import asyncio
import json
import sys


async def _pipe(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, delay: float) -> None:
    loop = asyncio.get_running_loop()
    held: asyncio.Queue[tuple[float, bytes]] = asyncio.Queue()

    async def take() -> None:
        while True:
            try:
                data = await reader.read(65536)
            except ConnectionError:
                data = b""
            await held.put((loop.time() + delay, data))
            if not data:
                return

    async def give() -> None:
        try:
            while True:
                due, data = await held.get()
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if not data:
                    return
                writer.write(data)
                await writer.drain()
        except ConnectionError:
            pass
        finally:
            writer.close()

    await asyncio.gather(take(), give())


async def _serve(upstream: int, delay: float) -> None:
    async def handle(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", upstream)
        except OSError:
            writer.close()
            return
        await asyncio.gather(_pipe(reader, up_writer, delay), _pipe(up_reader, writer, delay))

    server = await asyncio.start_server(handle, "127.0.0.1", 0, backlog=128)
    port = server.sockets[0].getsockname()[1]
    print(json.dumps({"port": port}), flush=True)
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.read)  # until the parent closes the pipe
    server.close()


def main() -> None:
    asyncio.run(_serve(int(sys.argv[1]), float(sys.argv[2]) / 1000))


if __name__ == "__main__":
    main()
