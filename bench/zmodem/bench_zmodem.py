#!/usr/bin/env python3
"""Benchmark of the batch send against rz on an emulated serial line, beside lrzsz's sz.

    bench_zmodem.py --zsend build/zm-rel/bench/zmodem/zsend_bench
                    [--wine-zsend build/zm-x64/tests/zmodem/zsend.exe --wine-prefix FOLDER]
                    [--quick]

For 115200 and 9600 baud with 0 and 2 ms one-way latency it sends a file of random bytes
(200 KB at 115200; 24 KB at 9600, to keep the run short) to rz through line_emulator.py and
prints the efficiency: file bytes per second, counted from the first to the last byte the
sender put on the line, divided by the line's byte rate (baud / 10). Then the CPU seconds per
megabyte of each sender on an unpaced socat line (Wine's own server process not counted).
Targets at 115200 baud: at least 91% with 0 ms, 88% with 2 ms.
"""
import argparse
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
sys.path.insert(0, os.path.join(here, "..", "..", "tests", "harness"))
from line_emulator import paced_line  # noqa: E402
from lines import pty_pair, stop_process  # noqa: E402
from rz import rz_receiver  # noqa: E402


def make_file(path, size, seed=5):
    rng = random.Random(seed)
    with open(path, "wb") as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(size)))


def start_sender(kind, args, device, path, name):
    """Starts one sender on device; returns its Popen."""
    if kind == "zsend":
        env = dict(os.environ, KESTREL_COM1=device)
        return subprocess.Popen([args.zsend, "0", "0", path, name], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if kind == "zsend-wine":
        args.prefix.map_com(1, device)
        wpath = "Z:" + path.replace("/", "\\")
        return args.prefix.run([args.wine_zsend, "0", "0", wpath, name],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
    try:
        return subprocess.Popen(["sz", "-b", "-q", path], stdin=fd, stdout=fd,
                                stderr=subprocess.DEVNULL, cwd=os.path.dirname(path))
    finally:
        os.close(fd)


def wait_rusage(proc, timeout):
    """Waits for proc (bounded); returns (exit status, CPU seconds of it and its children)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            proc.returncode = os.waitstatus_to_exitcode(status)
            return proc.returncode, usage.ru_utime + usage.ru_stime
        time.sleep(0.01)
    stop_process(proc)
    return None, 0.0


def check(inbox, name, original):
    got = os.path.join(inbox, name)
    return os.path.exists(got) and open(got, "rb").read() == original


def paced_run(kind, args, work, baud, latency_ms, size):
    folder = tempfile.mkdtemp(dir=work)
    path = os.path.join(folder, "bench.bin")
    make_file(path, size)
    original = open(path, "rb").read()
    inbox = os.path.join(folder, "in")
    limit = size * 10.0 / baud * 1.6 + 40
    with paced_line(baud, latency_ms / 1000.0) as line:
        with rz_receiver(line.b, inbox) as rz:
            proc = start_sender(kind, args, line.a, path, "bench.bin")
            status, _ = wait_rusage(proc, limit)
            rz.finish(settle=2.0)
        first, last = line.first_ab, line.last_ab
    if kind == "zsend-wine":
        args.prefix.stop()
    ok = status == 0 and check(inbox, "bench.bin", original)
    shutil.rmtree(folder, ignore_errors=True)
    if not ok or first is None or last <= first:
        return None
    return size / (last - first) / (baud / 10.0)


def cpu_run(kind, args, work, size):
    folder = tempfile.mkdtemp(dir=work)
    path = os.path.join(folder, "cpu.bin")
    make_file(path, size, seed=9)
    original = open(path, "rb").read()
    inbox = os.path.join(folder, "in")
    with pty_pair(folder) as (a, b):
        with rz_receiver(b, inbox) as rz:
            proc = start_sender(kind, args, a, path, "cpu.bin")
            status, cpu = wait_rusage(proc, 120)
            rz.finish(settle=2.0)
    if kind == "zsend-wine":
        args.prefix.stop()
    ok = status == 0 and check(inbox, "cpu.bin", original)
    shutil.rmtree(folder, ignore_errors=True)
    return cpu / (size / 1e6) if ok else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--zsend", required=True)
    ap.add_argument("--wine-zsend")
    ap.add_argument("--wine-prefix")
    ap.add_argument("--quick", action="store_true", help="115200 baud only")
    args = ap.parse_args()
    senders = ["zsend"]
    if args.wine_zsend:
        from wine import wine_prefix
        args.prefix = wine_prefix(args.wine_prefix or os.path.join(
            os.path.dirname(os.path.abspath(args.wine_zsend)), "bench-wineprefix"))
        senders.append("zsend-wine")
    senders.append("sz")
    work = tempfile.mkdtemp(prefix="kestrel-bench-")
    cases = [(115200, 0, 200_000), (115200, 2, 200_000)]
    if not args.quick:
        cases += [(9600, 0, 24_000), (9600, 2, 24_000)]
    try:
        print("%-8s %-9s %-8s %s" % ("baud", "latency", "bytes", "  ".join("%-11s" % s for s in senders)))
        for baud, latency, size in cases:
            cells = []
            for kind in senders:
                e = paced_run(kind, args, work, baud, latency, size)
                cells.append("%-11s" % ("failed" if e is None else "%.1f%%" % (100 * e)))
            print("%-8d %-9s %-8d %s" % (baud, "%d ms" % latency, size, "  ".join(cells)), flush=True)
        cells = []
        for kind in senders:
            c = cpu_run(kind, args, work, 4_000_000)
            cells.append("%-11s" % ("failed" if c is None else "%.3f" % c))
        print("%-8s %-9s %-8d %s" % ("unpaced", "CPU s/MB", 4_000_000, "  ".join(cells)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
