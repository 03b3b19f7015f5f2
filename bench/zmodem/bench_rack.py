#!/usr/bin/env python3
"""Benchmark of a rack: kestrel-cli send of one 300 KB file set to 1, 2, 4 and 6 terminals at
once, each rz behind a paced line of its own at 115200 bit/s (line_emulator).

    bench_rack.py --cli build/native-release/kestrel-cli
                  [--emulator build/native-release/bench/zmodem/line_emulator]
                  [--racks 1,2,4,6] [--size 300000]

For each rack size it prints the wall time of the whole run, the processor time of
kestrel-cli and its children (user and system, from wait4), every terminal's files checked
byte for byte, and the ratios to the single terminal: wall time at most 1.1 x one's, processor
time at most N x one's.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from contextlib import ExitStack

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
sys.path.insert(0, os.path.join(here, "..", "..", "tests", "support"))
from line_emulator import paced_line  # noqa: E402
from lines import stop_process  # noqa: E402
from rz import rz_receiver  # noqa: E402

# The set, as the conversion makes it: a record file and two index files (bytes).
SHARES = (("dbf1.db0", 0.7), ("dbf1.db1", 0.15), ("dbf1.db2", 0.15))


def make_set(folder, size):
    rng = random.Random(21)
    files = []
    for name, share in SHARES:
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(bytes(rng.getrandbits(8) for _ in range(int(size * share))))
        files.append(path)
    return files


def same(got, sent):
    if not os.path.exists(got):
        return False
    with open(got, "rb") as a, open(sent, "rb") as b:
        return a.read() == b.read()


def wait_rusage(proc, timeout):
    """(exit status, processor seconds of proc and the children it waited for); bounded."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            return os.waitstatus_to_exitcode(status), usage.ru_utime + usage.ru_stime
        time.sleep(0.01)
    stop_process(proc)
    return None, 0.0


def rack_run(args, work, files, count):
    """(wall seconds, processor seconds, every terminal whole) for one rack of count lines."""
    folder = tempfile.mkdtemp(dir=work)
    limit = args.size * 10.0 / 115200 * 2 + 60
    with ExitStack() as stack:
        lines = [stack.enter_context(paced_line(args.emulator, 115200)) for _ in range(count)]
        inboxes = [os.path.join(folder, "in%d" % i) for i in range(count)]
        receivers = [stack.enter_context(rz_receiver(line.b, inbox))
                     for line, inbox in zip(lines, inboxes)]
        argv = [args.cli, "send", "--port", ",".join(line.a for line in lines), *files]
        started = time.monotonic()
        proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        status, cpu = wait_rusage(proc, limit)
        wall = time.monotonic() - started
        for rz in receivers:
            rz.finish(settle=2.0)
    whole = status == 0 and all(same(os.path.join(inbox, os.path.basename(path)), path)
                                for inbox in inboxes for path in files)
    shutil.rmtree(folder, ignore_errors=True)
    return wall, cpu, whole


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", required=True)
    ap.add_argument("--emulator")
    ap.add_argument("--racks", default="1,2,4,6")
    ap.add_argument("--size", type=int, default=300000)
    args = ap.parse_args()
    args.emulator = args.emulator or os.path.join(
        os.path.dirname(os.path.abspath(args.cli)), "bench", "zmodem", "line_emulator")
    work = tempfile.mkdtemp(prefix="kestrel-rack-")
    try:
        files = make_set(work, args.size)
        print("%d KB set (%s) at 115200 bit/s, each terminal on a line of its own" % (
            args.size // 1000, ", ".join(name for name, _ in SHARES)))
        print("%9s %8s %8s %10s %10s  %s" % ("terminals", "wall s", "cpu s", "wall/one",
                                              "cpu/one", "files"))
        one = None
        failed = False
        for count in (int(n) for n in args.racks.split(",")):
            wall, cpu, whole = rack_run(args, work, files, count)
            one = one or (wall, cpu)
            wall_ratio, cpu_ratio = wall / one[0], cpu / one[1] if one[1] else 0.0
            ok = whole and wall_ratio <= 1.1 and cpu_ratio <= count
            failed = failed or not ok
            print("%9d %8.2f %8.3f %10.3f %10.2f  %s%s" % (
                count, wall, cpu, wall_ratio, cpu_ratio, "whole" if whole else "NOT WHOLE",
                "" if ok else "  <- target missed"))
        print("targets: wall/one at most 1.1, cpu/one at most the number of terminals")
        return 1 if failed else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
