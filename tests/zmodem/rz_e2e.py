#!/usr/bin/env python3
"""End to end: the batch send (`kestrel-cli send`) against lrzsz's rz over a socat
pseudo-terminal pair.

    rz_e2e.py --cli PATH [--wine-prefix FOLDER] --work FOLDER --sizes 0,1,1000
              [--ber RATE [--seed N]] [--intact-or-told]

With --wine-prefix, PATH is a Windows build of kestrel-cli, run under Wine with COM1 mapped to
the line; otherwise a native build, given the line through KESTREL_COM1. With --ber the line
flips bits at that rate in both directions (noisy_line.py) instead of being a socat pair. The
files hold random bytes with every escaped value, are sent in one batch, must arrive
byte-identical, and the sender must report success. Exit status 0 on success. With
--intact-or-told a line too bad for the receiver (it may give up and cancel) may also end
with the sender reporting the failure, within the time-out: what must never happen is a
success reported for files that did not arrive whole, or a sender that does not end.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lines import pty_pair, stop_process  # noqa: E402
from rz import rz_receiver  # noqa: E402
from noisy_line import noisy_pair  # noqa: E402

ESCAPED = bytes([0x11, 0x13, 0x18, 0x91, 0x93, 0xFF])


def make_content(size, seed):
    rng = random.Random(seed)
    data = bytearray(rng.getrandbits(8) for _ in range(size))
    # Every escaped value, and runs of them, wherever there is room.
    for i in range(min(size, 64)):
        data[(i * 7919) % size] = ESCAPED[i % len(ESCAPED)]
    return bytes(data)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", required=True)
    ap.add_argument("--wine-prefix")
    ap.add_argument("--work", required=True)
    ap.add_argument("--sizes", required=True)
    ap.add_argument("--timeout", type=float, default=45.0)
    ap.add_argument("--ber", type=float, default=0.0)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--intact-or-told", action="store_true")
    args = ap.parse_args()

    sizes = [int(s) for s in args.sizes.split(",")]
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    outbox = os.path.join(work, "out")
    inbox = os.path.join(work, "in")
    os.makedirs(outbox)
    originals = {}
    paths = []
    for i, size in enumerate(sizes):
        name = "file%d_%d.bin" % (i, size)
        content = make_content(size, 1000 + size)
        path = os.path.join(outbox, name)
        with open(path, "wb") as f:
            f.write(content)
        originals[name] = content
        paths.append(path)

    prefix = None
    if args.wine_prefix:
        from wine import wine_prefix
        prefix = wine_prefix(args.wine_prefix)

    line = noisy_pair(args.ber, args.seed) if args.ber else pty_pair(work)
    with line as (sender_end, receiver_end):
        env = dict(os.environ, KESTREL_COM1=sender_end)
        if prefix:
            prefix.map_com(1, sender_end)
            # Windows sees the files through Wine's Z: drive.
            paths = ["Z:" + path.replace("/", "\\") for path in paths]
        with rz_receiver(receiver_end, inbox) as rz:
            started = time.monotonic()
            # Each file is announced by its own name, at the default rate.
            cmd = [args.cli, "send", "--port", "COM1", *paths]
            if prefix:
                proc = prefix.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            else:
                proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, start_new_session=True)
            try:
                out, _ = proc.communicate(timeout=args.timeout)
            except subprocess.TimeoutExpired:
                stop_process(proc)
                out, _ = proc.communicate(timeout=5)
                print("sender did not finish within %.0f s" % args.timeout)
            elapsed = time.monotonic() - started
            status = rz.finish(settle=3.0)
        if prefix:
            prefix.stop()

    text = out.decode("latin-1")
    print(text, end="")
    print("sender exit %s after %.2f s; rz exit %s" % (proc.returncode, elapsed, status))
    if rz.log.strip():
        print("rz said:", rz.log.strip().replace("\r", "\n")[-2000:])
    ok = proc.returncode == 0 and "Transfer OK: Files succesfully transferred" in text
    for name, content in originals.items():
        got_path = os.path.join(inbox, name)
        if not os.path.exists(got_path):
            print("missing:", name)
            ok = False
            continue
        with open(got_path, "rb") as f:
            got = f.read()
        if got != content:
            print("differs: %s (%d bytes, expected %d)" % (name, len(got), len(content)))
            ok = False
    # A failure told: the time-out (status 1) or a failed transfer (status 6), with its box.
    if not ok and args.intact_or_told and proc.returncode in (1, 6):
        print("told:", [l for l in text.splitlines() if l.startswith("Error:")] or "time-out")
        ok = True
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
