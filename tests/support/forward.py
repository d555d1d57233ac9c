#!/usr/bin/env python3
"""A forwarded port, as a NAT router or a published container port gives one: every TCP
connection accepted on LISTEN_HOST:LISTEN_PORT is joined to a new connection to
TARGET_HOST:TARGET_PORT, bytes copied both ways until either side closes.

    python3 forward.py LISTEN_HOST LISTEN_PORT TARGET_HOST TARGET_PORT

Prints "READY" once listening; runs until terminated. Pure standard library (the kernel's own
port forwarding needs nft or iptables, which the test machines lack).
"""

from __future__ import annotations

import asyncio
import contextlib
import sys


async def _pipe(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        with contextlib.suppress(Exception):
            writer.close()


async def _serve(listen_host: str, listen_port: int, target_host: str, target_port: int) -> None:
    async def join(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            target_reader, target_writer = await asyncio.open_connection(target_host, target_port)
        except OSError:
            writer.close()
            return
        await asyncio.gather(_pipe(reader, target_writer), _pipe(target_reader, writer))

    server = await asyncio.start_server(join, listen_host, listen_port)
    print("READY", flush=True)
    async with server:
        await server.serve_forever()


def main() -> int:
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    listen_host, listen_port, target_host, target_port = sys.argv[1:]
    with contextlib.suppress(KeyboardInterrupt):
        asyncio.run(_serve(listen_host, int(listen_port), target_host, int(target_port)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
