#!/usr/bin/env python3
"""A virtual display for tests: an Xvfb server of the caller's own.

    from display import virtual_display
    with virtual_display() as display:  # display.name: ":N", for DISPLAY
        ...

The server is started in its own session on a display number that Xvfb itself finds free and
stopped by its process id when the block ends; every wait is bounded. As a command,

    display.py COMMAND [ARGS...]

runs COMMAND (for at most 240 seconds) with DISPLAY set to such a display and exits with its
status: 2 when no display could be had.
"""
import os
import re
import select
import subprocess
import sys
import time

from lines import stop_process


class virtual_display:
    """An Xvfb server on a display number that Xvfb itself finds free (-displayfd), so that
    concurrent users never race for one; stopped by its id."""

    def __enter__(self, wait=15.0):
        read_end, write_end = os.pipe()
        try:
            proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                     "1024x768x24", "-nolisten", "tcp"],
                                    pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    start_new_session=True)
            os.close(write_end)
            number = b""
            deadline = time.monotonic() + wait
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                ready, _, _ = select.select([read_end], [], [], 0.2)
                if ready:
                    chunk = os.read(read_end, 16)
                    if not chunk:
                        break
                    number += chunk
        finally:
            os.close(read_end)
        if not number.strip().isdigit():
            stop_process(proc)
            raise RuntimeError("Xvfb did not start")
        self.proc, self.name = proc, ":" + number.strip().decode()
        return self

    def __exit__(self, *exc):
        stop_process(self.proc)

    def x(self, *argv, timeout=10):
        """Runs an X client (xdotool, import) on this display; its standard output."""
        env = dict(os.environ, DISPLAY=self.name)
        done = subprocess.run(list(argv), env=env, timeout=timeout, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
        return done.stdout

    def windows(self, title):
        """Ids of the visible windows whose title is exactly title."""
        out = self.x("xdotool", "search", "--onlyvisible", "--name", "^" + re.escape(title) + "$")
        return [w for w in out.split() if w.isdigit()]

    def screenshot(self, path):
        self.x("import", "-window", "root", path, timeout=20)

    def grab(self, x, y, width, height):
        """The RGB bytes of a rectangle of the screen, row by row."""
        env = dict(os.environ, DISPLAY=self.name)
        done = subprocess.run(["import", "-window", "root", "-crop", f"{width}x{height}+{x}+{y}",
                               "-depth", "8", "rgb:-"], env=env, timeout=20,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return done.stdout

    def keys(self, window, *keys):
        self.x("xdotool", "windowfocus", "--sync", window, timeout=10)
        for key in keys:
            self.x("xdotool", "key", "--delay", "40", key)
            time.sleep(0.1)

    def type(self, window, text):
        self.x("xdotool", "windowfocus", "--sync", window, timeout=10)
        self.x("xdotool", "type", "--delay", "40", text, timeout=30)
        time.sleep(0.1)


def main(argv):
    if not argv:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        with virtual_display() as display:
            env = dict(os.environ, DISPLAY=display.name)
            try:
                return subprocess.run(argv, env=env, timeout=240).returncode
            except subprocess.TimeoutExpired:
                print(f"display.py: {argv[0]} did not end within 240 seconds", file=sys.stderr)
                return 1
    except RuntimeError as error:
        print(f"display.py: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
