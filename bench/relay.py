#!/usr/bin/env python3
"""A TCP relay on 127.0.0.1 that limits every connection, in each direction, to a fixed rate.

Usage: relay.py LISTEN_PORT TARGET_PORT BYTES_PER_SECOND
Each accepted connection is forwarded to 127.0.0.1:TARGET_PORT; bytes from the server to the
client are paced so that no connection ever exceeds the rate, from its first byte on (no burst).
"""
import asyncio
import sys
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
    listen_port, target_port, rate = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    server = await asyncio.start_server(
        lambda r, w: handle(r, w, target_port, rate), "127.0.0.1", listen_port)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
