"""A serial line of our own for benchmarks: two pseudo-terminal pairs and a relay between
their masters that paces bytes at a baud rate (10 bits a byte: start, 8 data, stop) and
delays each by a one-way latency, in both directions.

    with paced_line(115200, latency_s=0.002) as line:
        line.a, line.b          # device paths: the sender opens a, the receiver b
        ...
        line.first_ab, line.last_ab   # when the first and last byte from a reached b

A byte leaves its end of the line one byte-time after the previous one finished (or after it
was written, if the line was idle), and arrives latency_s later. The relay keeps a descriptor
of each slave open, so an end may be closed and reopened.
"""
import os
import select
import termios
import threading
import time
import tty
from contextlib import contextmanager


class _direction:
    def __init__(self, src, dst, byte_time, latency):
        self.src, self.dst = src, dst
        self.byte_time, self.latency = byte_time, latency
        self.queue = []          # (due time, bytes)
        self.line_free = 0.0     # when the last byte queued has finished on the line
        self.first = None
        self.last = None
        self.count = 0

    def take(self, data, now):
        # Each byte finishes one byte-time after the previous one; a chunk is queued whole
        # with the due time of each byte kept by splitting it into byte-sized steps lazily.
        start = max(now, self.line_free)
        self.line_free = start + len(data) * self.byte_time
        self.queue.append((start, data))

    def deliver(self, now):
        """Writes every byte whose arrival time has come; returns the next due time or None."""
        while self.queue:
            start, data = self.queue[0]
            done = int((now - self.latency - start) / self.byte_time) if self.byte_time else len(data)
            if done <= 0:
                return start + self.byte_time + self.latency
            n = min(done, len(data))
            os.write(self.dst, data[:n])
            if self.first is None:
                self.first = now
            self.last = now
            self.count += n
            if n == len(data):
                self.queue.pop(0)
            else:
                self.queue[0] = (start + n * self.byte_time, data[n:])
        return None


class paced_line:
    def __init__(self, baud, latency_s=0.0):
        self.byte_time = 10.0 / baud if baud else 0.0
        self.latency = latency_s
        self.ma, sa = os.openpty()
        self.mb, sb = os.openpty()
        self.slaves = (sa, sb)
        for fd in self.slaves:
            tty.setraw(fd)
            attrs = termios.tcgetattr(fd)
            attrs[3] &= ~termios.ECHO
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
        self.a = os.ttyname(sa)
        self.b = os.ttyname(sb)
        self.ab = _direction(self.ma, self.mb, self.byte_time, self.latency)
        self.ba = _direction(self.mb, self.ma, self.byte_time, self.latency)
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)

    @property
    def first_ab(self):
        return self.ab.first

    @property
    def last_ab(self):
        return self.ab.last

    def _run(self):
        while not self.stopping:
            now = time.monotonic()
            waits = [d for d in (self.ab.deliver(now), self.ba.deliver(now)) if d is not None]
            # Waking for every byte would cost more than it measures: a fifth of a
            # millisecond is the relay's granularity.
            timeout = max(0.0002, min(waits) - time.monotonic()) if waits else 0.05
            try:
                ready, _, _ = select.select([self.ma, self.mb], [], [], min(timeout, 0.05))
            except (OSError, ValueError):
                return
            now = time.monotonic()
            for fd, d in ((self.ma, self.ab), (self.mb, self.ba)):
                if fd in ready:
                    try:
                        data = os.read(fd, 4096)
                    except OSError:
                        continue
                    if data:
                        d.take(data, now)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping = True
        self.thread.join(timeout=5)
        for fd in (self.ma, self.mb, *self.slaves):
            try:
                os.close(fd)
            except OSError:
                pass
        return False
