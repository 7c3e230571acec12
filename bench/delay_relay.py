#!/usr/bin/env python3
"""A delay line on 127.0.0.1: a link with a fixed round trip and no rate limit.

Usage: delay_relay.py LISTEN_PORT TARGET_PORT ONE_WAY_MS [--max-in-flight BYTES] [--free-connect]
Each accepted connection is forwarded to 127.0.0.1:TARGET_PORT. Every byte read from one side is
handed to the other side ONE_WAY_MS later, in the order it was read, so a request and its answer
take one round trip (2 * ONE_WAY_MS) more than they would directly.

A new connection also pays the TCP handshake of such a link: the kernel completes the client's
connect() at once, so the relay holds the client's first bytes until one round trip after the
accept (the SYN / SYN-ACK exchange a real link would have cost) before they start their one-way
trip. --free-connect turns this off.

The bytes in flight wait in pipes (1 MiB each), moved in and out with splice(2) (Linux), so the
relay never copies them through user space; a Python relay that reads and writes the data itself
tops out below what curl reaches on loopback. Memory is bounded per connection and direction:
once --max-in-flight bytes (default 16 MiB) wait in the relay, as they do when the receiving side
stops taking them, the relay stops reading from the sender until a pipe has drained. The bound
caps one connection at max-in-flight / one-way delay (1.6 GB/s with the defaults).
Not modelled: TCP windows and slow start over the delayed path, loss.
"""
import argparse
import asyncio
import collections
import fcntl
import os
import socket
import termios
import time

PIPE_BYTES = 1 << 20
SPLICE_FLAGS = os.SPLICE_F_MOVE | os.SPLICE_F_NONBLOCK
CLOCK_RESOLUTION = time.get_clock_info("monotonic").resolution
READS_PER_WAKEUP = 64          # bounds one callback; the loop calls again while data is there


class Pipe:
    """A kernel buffer for bytes in flight; `held` counts what was spliced in and not out."""

    def __init__(self):
        self.r, self.w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            fcntl.fcntl(self.w, fcntl.F_SETPIPE_SZ, PIPE_BYTES)
        except OSError:
            pass
        self.capacity = fcntl.fcntl(self.w, fcntl.F_GETPIPE_SZ)
        self.held = 0
        self.sealed = False     # takes no more bytes until it has drained

    def close(self):
        os.close(self.r)
        os.close(self.w)


def unread_bytes(sock):
    buffer = bytearray(4)
    fcntl.ioctl(sock.fileno(), termios.FIONREAD, buffer)
    return int.from_bytes(buffer, "little")


class Direction:
    """Bytes from socket src to socket dst, each handed to dst `delay` s after it was read."""

    def __init__(self, link, src, dst, max_pipes):
        self.link = link
        self.loop = link.loop
        self.delay = link.delay
        self.src = src
        self.dst = dst
        self.dst_ready = False          # the upstream connection may still be on its way
        self.max_pipes = max_pipes
        self.pipes = []                 # every pipe this direction owns
        self.free = []                  # drained pipes, ready to be filled again
        self.current = None             # the pipe being filled
        # [due time, pipe, bytes not yet written]; pipe None marks the sender's EOF. Due times
        # never decrease, and pipes are filled and drained in this order, so bytes keep theirs.
        self.segments = collections.deque()
        self.not_before = 0.0           # no byte leaves before this (the handshake)
        self.reading = False
        self.out_of_pipes = False
        self.eof_read = False
        self.waiting_for_dst = False
        self.timer = None
        self.finished = False           # EOF passed on to dst

    # Reading side.
    def start_reading(self):
        if not self.reading and not self.eof_read and not self.link.closed:
            self.reading = True
            self.loop.add_reader(self.src.fileno(), self.on_readable)

    def stop_reading(self):
        if self.reading:
            self.reading = False
            self.loop.remove_reader(self.src.fileno())

    def take_pipe(self):
        if self.free:
            return self.free.pop()
        if len(self.pipes) < self.max_pipes:
            pipe = Pipe()
            self.pipes.append(pipe)
            return pipe
        return None

    def on_readable(self):
        due = max(self.loop.time(), self.not_before) + self.delay
        for _ in range(READS_PER_WAKEUP):
            if self.current is None or self.current.sealed:
                self.current = self.take_pipe()
                if self.current is None:
                    # Bounded memory: wait until the writing side hands a pipe back.
                    self.out_of_pipes = True
                    self.stop_reading()
                    return
            pipe = self.current
            try:
                count = os.splice(self.src.fileno(), pipe.w, pipe.capacity - pipe.held,
                                  flags=SPLICE_FLAGS)
            except BlockingIOError:
                # Either the socket has nothing or the pipe ran out of slots (it counts page
                # fragments, not bytes); only the socket can tell which.
                if pipe.held > 0 and unread_bytes(self.src) > 0:
                    pipe.sealed = True
                    continue
                return
            except OSError:
                self.link.fail()
                return
            if count == 0:
                self.eof_read = True
                self.stop_reading()
                self.push(due, None, 0)
                return
            pipe.held += count
            if pipe.held >= pipe.capacity:
                pipe.sealed = True
            self.push(due, pipe, count)

    def push(self, due, pipe, count):
        last = self.segments[-1] if self.segments else None
        if last is not None and last[1] is pipe and pipe is not None and last[0] == due:
            last[2] += count
        else:
            self.segments.append([due, pipe, count])
        self.arm()

    # Writing side.
    def arm(self):
        if (self.timer is None and not self.waiting_for_dst and self.dst_ready and self.segments
                and not self.link.closed):
            self.timer = self.loop.call_at(self.segments[0][0], self.flush)

    def flush(self):
        self.timer = None
        if self.link.closed:
            return
        now = self.loop.time() + CLOCK_RESOLUTION
        while self.segments and self.segments[0][0] <= now:
            segment = self.segments[0]
            pipe = segment[1]
            if pipe is None:
                self.segments.popleft()
                self.finished = True
                try:
                    self.dst.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                self.link.maybe_done()
                return
            try:
                count = os.splice(pipe.r, self.dst.fileno(), segment[2], flags=SPLICE_FLAGS)
            except BlockingIOError:
                self.waiting_for_dst = True
                self.loop.add_writer(self.dst.fileno(), self.on_writable)
                return
            except OSError:
                self.link.fail()
                return
            if count == 0:          # cannot happen while the pipe holds bytes; never spin
                self.link.fail()
                return
            segment[2] -= count
            pipe.held -= count
            if segment[2] == 0:
                self.segments.popleft()
            if pipe.held == 0 and pipe.sealed:
                # Drained: the reading side may fill it again (it still does if it is current).
                pipe.sealed = False
                if pipe is not self.current:
                    self.free.append(pipe)
                if self.out_of_pipes:
                    self.out_of_pipes = False
                    self.start_reading()
        self.arm()

    def on_writable(self):
        self.loop.remove_writer(self.dst.fileno())
        self.waiting_for_dst = False
        self.flush()

    def close(self):
        self.stop_reading()
        if self.waiting_for_dst:
            self.loop.remove_writer(self.dst.fileno())
            self.waiting_for_dst = False
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        for pipe in self.pipes:
            pipe.close()
        self.pipes = []
        self.free = []
        self.current = None
        self.segments.clear()


class Link:
    """One accepted connection and its upstream connection."""

    def __init__(self, loop, client, args):
        self.loop = loop
        self.delay = args.one_way_ms / 1000.0
        self.closed = False
        self.client = client
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        for sock in (client, self.server):
            sock.setblocking(False)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        max_pipes = max(1, args.max_in_flight // PIPE_BYTES)
        self.up = Direction(self, client, self.server, max_pipes)
        self.down = Direction(self, self.server, client, max_pipes)
        if not args.free_connect:
            self.up.not_before = loop.time() + 2 * self.delay
        self.up.start_reading()
        self.connecting = loop.create_task(self.connect(args.target_port))

    async def connect(self, port):
        try:
            await asyncio.wait_for(self.loop.sock_connect(self.server, ("127.0.0.1", port)), 10)
        except asyncio.CancelledError:
            # fail() left the socket to this task: closed only once asyncio no longer polls it.
            self.server.close()
            return
        except (OSError, asyncio.TimeoutError):
            self.fail()
            return
        self.up.dst_ready = True
        self.down.dst_ready = True
        self.up.arm()
        self.down.start_reading()

    def maybe_done(self):
        if self.up.finished and self.down.finished:
            self.fail()

    def fail(self):
        """Ends both connections; what the kernel already holds for a peer is still sent."""
        if self.closed:
            return
        self.closed = True
        self.up.close()
        self.down.close()
        self.client.close()
        if self.connecting.done() or self.connecting is asyncio.current_task():
            self.server.close()
        else:
            self.connecting.cancel()


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("listen_port", type=int)
    parser.add_argument("target_port", type=int)
    parser.add_argument("one_way_ms", type=float)
    parser.add_argument("--max-in-flight", type=int, default=16 * PIPE_BYTES)
    parser.add_argument("--free-connect", action="store_true")
    args = parser.parse_args()
    loop = asyncio.get_running_loop()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.listen_port))
    listener.listen(1024)
    listener.setblocking(False)
    while True:
        client, _ = await loop.sock_accept(listener)
        Link(loop, client, args)


if __name__ == "__main__":
    asyncio.run(main())
