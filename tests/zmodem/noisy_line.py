"""A serial line that flips bits, for tests: two pseudo-terminals and a relay between them.

    from noisy_line import noisy_pair
    with noisy_pair(ber=1e-4, seed=1) as (a, b):   # device paths; one program opens each
        ...

Each data bit passing either way is flipped with probability ber, from a random stream that
seed fixes (one per direction). Bytes pass as soon as they come: the line is not paced. The
relay is a thread of the calling process and stops when the block ends; every wait in it is
bounded.
"""
import math
import os
import random
import select
import threading
import tty
from contextlib import contextmanager


class _noise:
    def __init__(self, ber, seed):
        self.rng = random.Random(seed)
        self.ber = ber
        self.bit = 0
        self.next_flip = self._gap()

    def _gap(self):
        if self.ber <= 0:
            return math.inf
        return int(math.log(1.0 - self.rng.random()) / math.log1p(-self.ber)) + 1

    def apply(self, data):
        out = bytearray(data)
        end = self.bit + 8 * len(out)
        while self.next_flip <= end:
            at = self.next_flip - 1 - self.bit
            out[at // 8] ^= 1 << (at % 8)
            self.next_flip += self._gap()
        self.bit = end
        return bytes(out)


def _open_end():
    master, slave = os.openpty()
    tty.setraw(slave)
    os.set_blocking(master, False)
    return master, slave, os.ttyname(slave)


@contextmanager
def noisy_pair(ber, seed):
    ends = [_open_end(), _open_end()]
    noise = {0: _noise(ber, 2 * seed), 1: _noise(ber, 2 * seed + 1)}
    stop = threading.Event()

    def relay():
        pending = {0: b"", 1: b""}  # bytes read from end i, not yet written to the other
        while not stop.is_set():
            waiting = [ends[1 - i][0] for i in (0, 1) if pending[i]]
            readable, _, _ = select.select([ends[0][0], ends[1][0]], waiting, [], 0.05)
            for i in (0, 1):
                if ends[i][0] in readable:
                    try:
                        pending[i] += noise[i].apply(os.read(ends[i][0], 4096))
                    except OSError:
                        pass
                if pending[i]:
                    try:
                        pending[i] = pending[i][os.write(ends[1 - i][0], pending[i]):]
                    except BlockingIOError:
                        pass

    thread = threading.Thread(target=relay, daemon=True)
    thread.start()
    try:
        yield ends[0][2], ends[1][2]
    finally:
        stop.set()
        thread.join(timeout=5)
        for master, slave, _ in ends:
            os.close(master)
            os.close(slave)
