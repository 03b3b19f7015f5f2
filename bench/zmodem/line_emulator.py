"""The paced serial line of the benchmarks, from Python: runs the line_emulator program
(line_emulator.cpp, built by the native-release preset) and reads what it reports.

    with paced_line(emulator, 115200, latency_s=0.002) as line:
        line.a, line.b          # device paths: the sender opens a, the receiver b
        ...
    line.first_ab, line.last_ab # when the first and last byte from a were due at b
    line.stats["ab"]            # bytes, first, last, late_max_us, late_mean_us, late_over_100us,
                                # flips (bits the noise flipped: paced_line(..., ber=1e-4, seed=3)),
                                # lost (bytes dropped: loss=1e-4); burst=(gap_ms, length_ms, ber)
                                # adds bad stretches

The times are CLOCK_MONOTONIC seconds, the clock of time.monotonic(). The program runs in its
own process group, is stopped by its process id when the block ends, and every wait is bounded.
"""
import os
import select
import signal
import subprocess
import time


class paced_line:
    def __init__(self, emulator, baud, latency_s=0.0, trace=None, seconds=900, wait=10.0,
                 ber=0.0, seed=1, burst=None, loss=0.0):
        argv = [emulator, str(baud), str(int(round(latency_s * 1e6))), "--seconds", str(seconds)]
        if trace:
            argv += ["--trace", trace]
        if ber:
            argv += ["--ber", repr(ber)]
        if burst:
            argv += ["--burst", ",".join(repr(float(v)) for v in burst)]
        if loss:
            argv += ["--loss", repr(loss)]
        argv += ["--seed", str(seed)]
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     start_new_session=True)
        self.stats = {}
        self.a = self.b = None
        deadline = time.monotonic() + wait
        text = b""
        while text.count(b"\n") < 2:
            left = deadline - time.monotonic()
            ready = select.select([self.proc.stdout], [], [], max(left, 0))[0] if left > 0 else []
            chunk = os.read(self.proc.stdout.fileno(), 4096) if ready else b""
            if not chunk:
                self._stop()
                raise RuntimeError("line_emulator did not start")
            text += chunk
        for line in text.decode().splitlines():
            end, _, path = line.partition(" ")
            setattr(self, end, path)

    @property
    def first_ab(self):
        return self.stats.get("ab", {}).get("first")

    @property
    def last_ab(self):
        return self.stats.get("ab", {}).get("last")

    def _stop(self, grace=5.0):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            out, _ = self.proc.communicate(timeout=grace)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate(timeout=grace)
        return out.decode()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for line in self._stop().splitlines():
            words = line.split()
            if len(words) >= 3 and words[0] in ("ab", "ba"):
                self.stats[words[0]] = {k: float(v) for k, v in zip(words[1::2], words[2::2])}
        return False
