"""A serial line for tests: two pseudo-terminals joined by socat.

    from lines import pty_pair
    with pty_pair(folder) as (a, b):    # a, b: paths of symlinks to the two ends
        ...                             # one program opens a, the other b

The ends are raw (no echo, no line editing). socat is started in its own process group and
stopped by its process id when the block ends; every wait is bounded. With socat=True the block
gets socat's Popen too, (a, b, proc): stopping it makes the line vanish under both ends.
"""
import os
import signal
import subprocess
import tempfile
import time
from contextlib import contextmanager


def stop_process(proc, grace=2.0):
    """Ends proc (a Popen) by its id: SIGTERM, then SIGKILL after grace seconds."""
    if proc.poll() is not None:
        return
    try:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=grace)
    except ProcessLookupError:
        pass


@contextmanager
def pty_pair(folder=None, wait=10.0, socat=False):
    """Yields (a, b), the paths of the two ends of a fresh line under folder."""
    own = folder is None
    folder = folder or tempfile.mkdtemp(prefix="kestrel-line-")
    a = os.path.join(folder, "line-a")
    b = os.path.join(folder, "line-b")
    for p in (a, b):
        if os.path.lexists(p):
            os.unlink(p)
    proc = subprocess.Popen(
        ["socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    try:
        deadline = time.monotonic() + wait
        while not (os.path.exists(a) and os.path.exists(b)):
            if proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("socat did not make the line")
            time.sleep(0.02)
        yield (a, b, proc) if socat else (a, b)
    finally:
        stop_process(proc)
        for p in (a, b):
            if os.path.lexists(p):
                os.unlink(p)
        if own:
            try:
                os.rmdir(folder)
            except OSError:
                pass
