#!/usr/bin/env python3
"""A TCP relay on 127.0.0.1 that limits every connection, in each direction, to a fixed rate.

Usage: relay.py LISTEN_PORT TARGET_PORT BYTES_PER_SECOND [--slow N] [--slow-divisor D]
                [--control PORT]
Each accepted connection is forwarded to 127.0.0.1:TARGET_PORT; bytes from the server to the
client are paced so that no connection ever exceeds the rate, from its first byte on (no burst).

With --slow N, the N-th connection accepted (counting from 1) gets the rate divided by D
(default 10) instead: one slow connection among fast ones. The count starts again whenever a
client connects to the control port, which answers "ok COUNT\n" (the connections accepted
since the last reset) once the count is back at zero; a benchmark connects there before each
run so that every run has its N-th connection slow.
"""
import argparse
import asyncio
import time

CHUNK = 64 * 1024


async def pump(reader, writer, rate):
    start = time.monotonic()
    sent = 0
    try:
        while True:
            data = await reader.read(CHUNK)
            if not data:
                break
            sent += len(data)
            # Never ahead of the schedule: sleep until this many bytes are due.
            due = start + sent / rate
            delay = due - time.monotonic()
            if delay > 0:
                await asyncio.sleep(delay)
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        try:
            writer.close()
        except Exception:
            pass


async def handle(client_reader, client_writer, target_port, rate):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(pump(client_reader, server_writer, rate),
                         pump(server_reader, client_writer, rate))


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("listen_port", type=int)
    parser.add_argument("target_port", type=int)
    parser.add_argument("rate", type=float, help="bytes per second and connection")
    parser.add_argument("--slow", type=int, default=0, help="the N-th connection is slow")
    parser.add_argument("--slow-divisor", type=float, default=10.0)
    parser.add_argument("--control", type=int, default=0, help="port that resets the count")
    args = parser.parse_args()
    accepted = 0

    def on_connect(reader, writer):
        nonlocal accepted
        accepted += 1
        rate = args.rate
        if accepted == args.slow:
            rate /= args.slow_divisor
        return handle(reader, writer, args.target_port, rate)

    async def on_control(reader, writer):
        nonlocal accepted
        count, accepted = accepted, 0
        writer.write(b"ok %d\n" % count)
        try:
            await writer.drain()
        except ConnectionError:
            pass
        writer.close()

    server = await asyncio.start_server(on_connect, "127.0.0.1", args.listen_port)
    servers = [server]
    if args.control:
        servers.append(await asyncio.start_server(on_control, "127.0.0.1", args.control))
    await asyncio.gather(*(s.serve_forever() for s in servers))


if __name__ == "__main__":
    asyncio.run(main())
