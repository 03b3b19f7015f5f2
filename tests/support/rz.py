"""A real ZMODEM receiver for tests: lrzsz's rz listening on a device, receiving into a folder.

    from rz import rz_receiver
    with rz_receiver(device, folder) as rz:   # rz starts at once and sends its ZRINIT
        ... run the sender on the other end ...
        rz.finish(settle=3.0)                 # give rz a few seconds, then stop it
    rz.log                                    # what rz wrote on stderr

Habits of rz to live with: every answer is a hex header ended by CR, 0x8A and usually XON;
after ZFIN it waits about thirty seconds for an "OO" that a closing pseudo-terminal may have
discarded, so it is stopped a few seconds after the sender has finished rather than awaited.
Files are compared after finish(). rz runs in its own process group and is stopped by id.
"""
import os
import subprocess
import time
from contextlib import contextmanager

from lines import stop_process


class receiver:
    def __init__(self, proc, log_path):
        self.proc = proc
        self.log_path = log_path
        self.log = ""

    def finish(self, settle=3.0):
        """Waits up to settle seconds for rz to end on its own, then stops it. Its exit status
        (None when it had to be stopped)."""
        deadline = time.monotonic() + settle
        while self.proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        status = self.proc.poll()
        stop_process(self.proc)
        try:
            with open(self.log_path, "r", errors="replace") as f:
                self.log = f.read()
        except OSError:
            pass
        return status


@contextmanager
def rz_receiver(device, folder, options=("-b", "-y")):
    """Starts rz with its standard input and output on device, in folder."""
    os.makedirs(folder, exist_ok=True)
    log_path = os.path.join(folder, "..", os.path.basename(folder) + ".rz.log")
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
    try:
        with open(log_path, "w") as log:
            proc = subprocess.Popen(["rz", *options], cwd=folder, stdin=fd, stdout=fd,
                                    stderr=log, start_new_session=True)
    finally:
        os.close(fd)
    r = receiver(proc, log_path)
    try:
        yield r
    finally:
        r.finish(settle=0)
