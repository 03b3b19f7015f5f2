#!/usr/bin/env python3
"""Benchmark of the batch send against rz on an emulated serial line, beside lrzsz's sz.

    bench_zmodem.py --cli build/zb-rel/kestrel-cli
                    [--emulator build/zb-rel/bench/zmodem/line_emulator]
                    [--wine-cli build/zb-x64/kestrel-cli.exe --wine-prefix FOLDER]
                    [--quick] [--size N] [--slow-size N] [--account] [--realtime]
    bench_zmodem.py --noisy [--runs N] [--limit SECONDS] --cli ... [--wine-cli ...]

For 115200 and 9600 baud with 0 and 2 ms one-way latency `kestrel-cli send` sends a file of
random bytes (200 KB at 115200; 24 KB at 9600, to keep the run short) to rz through
line_emulator (in bench/zmodem/ of the build of --cli unless --emulator names it) and prints
the efficiency: file bytes per second, counted from the first to the last byte the sender put
on the line (as due at the receiver), divided by the line's byte rate (baud / 10). Then the
CPU seconds per megabyte of each sender on an unpaced socat line (Wine's own server process
not counted).
Targets at 115200 baud: at least 91% with 0 ms, 88% with 2 ms.

--account traces every run and prints where its time went (line_account.py). --realtime runs
everything under SCHED_FIFO (the line above the rest), which takes other users' load on the
machine out of the figures; it needs the privilege to do so. Each row also shows the line's
own lateness (mean and worst, in microseconds) when it is above 100 us worst.

--noisy sends a 100 KB file (--size) at 115200 baud over a line that flips bits at random in
both directions, at bit error rates 0 (the clean line, for comparison), 1e-5, 1e-4 and 3e-4 (or --rates),
--runs times per sender and rate (5 unless given; run i of a rate uses noise seed i). Each
transfer is counted as intact (the sender reported success and the file arrived whole), ended
with a message (the sender reported failure), wrong (reported success, file not whole) or
still running at --limit seconds (240 unless given; then stopped); the median time of the
intact ones is from the sender's first byte to its last on the line.
Targets at 1e-4: every transfer intact, median at most 3 times the clean line's. At 3e-4:
intact or ended with a message, none wrong, none at the limit.
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
sys.path.insert(0, os.path.join(here, "..", "..", "tests", "support"))
from line_account import account  # noqa: E402
from line_emulator import paced_line  # noqa: E402
from lines import pty_pair, stop_process  # noqa: E402
from rz import rz_receiver  # noqa: E402


def make_file(path, size, seed=5):
    rng = random.Random(seed)
    with open(path, "wb") as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(size)))


def start_sender(kind, args, device, path, name, log=subprocess.DEVNULL):
    """Starts one sender on device, its output to log; returns its Popen."""
    if kind == "cli":
        return subprocess.Popen([args.cli, "send", "--port", device, path + "=" + name],
                                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    if kind == "cli-wine":
        args.prefix.map_com(1, device)
        wpath = "Z:" + path.replace("/", "\\")
        return args.prefix.run([args.wine_cli, "send", "--port", "COM1", wpath + "=" + name],
                               stdout=log, stderr=subprocess.STDOUT)
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
    try:
        return subprocess.Popen(["sz", "-b", "-q", path], stdin=fd, stdout=fd,
                                stderr=log, cwd=os.path.dirname(path), start_new_session=True)
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
    """The efficiency (None when the transfer failed) and a note on the line's lateness."""
    folder = tempfile.mkdtemp(dir=work)
    path = os.path.join(folder, "bench.bin")
    make_file(path, size)
    original = open(path, "rb").read()
    inbox = os.path.join(folder, "in")
    limit = size * 10.0 / baud * 1.6 + 40
    trace = os.path.join(folder, "trace") if args.account else None
    with paced_line(args.emulator, baud, latency_ms / 1000.0, trace=trace) as line:
        if args.realtime:
            os.sched_setscheduler(line.proc.pid, os.SCHED_FIFO, os.sched_param(20))
        with rz_receiver(line.b, inbox) as rz:
            proc = start_sender(kind, args, line.a, path, "bench.bin")
            status, _ = wait_rusage(proc, limit)
            rz.finish(settle=2.0)
    first, last = line.first_ab, line.last_ab
    if kind == "cli-wine":
        args.prefix.stop()
    ok = status == 0 and check(inbox, "bench.bin", original)
    note = ""
    late = max(line.stats.get(d, {}).get("late_max_us", 0) for d in ("ab", "ba"))
    if late > 100:
        note = " (line late %.0f/%.0f us)" % (
            max(line.stats.get(d, {}).get("late_mean_us", 0) for d in ("ab", "ba")), late)
    if ok and trace:
        print("  %s %d baud %d ms: %s" % (kind, baud, latency_ms,
                                          account(trace, baud, latency_ms, size).replace("\n", "\n    ")))
    shutil.rmtree(folder, ignore_errors=True)
    if not ok or first is None or last <= first:
        return None, note
    return size / (last - first) / (baud / 10.0), note


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
    if kind == "cli-wine":
        args.prefix.stop()
    ok = status == 0 and check(inbox, "cpu.bin", original)
    shutil.rmtree(folder, ignore_errors=True)
    return cpu / (size / 1e6) if ok else None


NOISY_RATES = (0.0, 1e-5, 1e-4, 3e-4)


def noisy_run(kind, args, work, ber, seed):
    """One transfer on a noisy line: ("intact", seconds) or ("message" | "wrong" | "limit",
    None)."""
    folder = tempfile.mkdtemp(dir=work)
    path = os.path.join(folder, "noisy.bin")
    make_file(path, args.size, seed=11)
    original = open(path, "rb").read()
    inbox = os.path.join(folder, "in")
    trace = os.path.join(folder, "trace") if args.keep_logs else None
    with paced_line(args.emulator, 115200, 0.0, trace=trace, ber=ber, seed=seed) as line:
        with rz_receiver(line.b, inbox) as rz:
            with open(os.path.join(folder, "sender.log"), "wb") as log:
                proc = start_sender(kind, args, line.a, path, "noisy.bin", log)
                status, _ = wait_rusage(proc, args.limit)
            rz.finish(settle=3.0)
    if kind == "cli-wine":
        args.prefix.stop()
    intact = check(inbox, "noisy.bin", original)
    if args.keep_logs and not (status == 0 and intact):
        print("  %s ber %g seed %d: status %s, logs in %s" % (kind, ber, seed, status, folder))
    else:
        shutil.rmtree(folder, ignore_errors=True)
    if status is None:
        return "limit", None
    if status != 0:
        return "message", None
    if not intact:
        return "wrong", None
    return "intact", line.last_ab - line.first_ab


def noisy_table(args, senders, work):
    print("%d KB at 115200 baud, %d runs per cell, limit %.0f s" % (
        args.size // 1000, args.runs, args.limit))
    print("%-8s %-11s %6s %8s %6s %6s  %s" % ("ber", "sender", "intact", "message", "wrong",
                                           "limit", "median s (x clean)"))
    clean = {}
    for ber in args.rates:
        for kind in senders:
            counts = {"intact": 0, "message": 0, "wrong": 0, "limit": 0}
            times = []
            for seed in range(1, args.runs + 1):
                outcome, seconds = noisy_run(kind, args, work, ber, seed)
                counts[outcome] += 1
                if seconds is not None:
                    times.append(seconds)
            times.sort()
            median = times[len(times) // 2] if len(times) % 2 else (
                sum(times[len(times) // 2 - 1:len(times) // 2 + 1]) / 2 if times else None)
            if ber == 0:
                clean[kind] = median
            ratio = ""
            if median is not None and clean.get(kind):
                ratio = " (%.1fx)" % (median / clean[kind])
            print("%-8g %-11s %6d %8d %6d %6d  %s" % (
                ber, kind, counts["intact"], counts["message"], counts["wrong"], counts["limit"],
                "-" if median is None else "%.1f%s" % (median, ratio)), flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", required=True)
    ap.add_argument("--wine-cli")
    ap.add_argument("--wine-prefix")
    ap.add_argument("--quick", action="store_true", help="115200 baud only")
    ap.add_argument("--emulator")
    ap.add_argument("--size", type=int, default=200_000, help="file bytes at 115200 baud")
    ap.add_argument("--slow-size", type=int, default=24_000, help="file bytes at 9600 baud")
    ap.add_argument("--account", action="store_true")
    ap.add_argument("--realtime", action="store_true")
    ap.add_argument("--senders", default="cli,cli-wine,sz")
    ap.add_argument("--no-cpu", action="store_true")
    ap.add_argument("--no-paced", action="store_true", help="only the CPU figures")
    ap.add_argument("--noisy", action="store_true", help="the noisy-line table instead")
    ap.add_argument("--runs", type=int, default=5, help="transfers per cell of the noisy table")
    ap.add_argument("--limit", type=float, default=240.0, help="seconds a noisy transfer may take")
    ap.add_argument("--rates", type=lambda t: [float(r) for r in t.split(",")],
                    default=list(NOISY_RATES), help="bit error rates of the noisy table")
    ap.add_argument("--keep-logs", action="store_true", help="keep the folders of failed noisy runs")
    args = ap.parse_args()
    args.emulator = args.emulator or os.path.join(
        os.path.dirname(os.path.abspath(args.cli)), "bench", "zmodem", "line_emulator")
    if args.realtime:
        # Children inherit the policy: rz, the senders, Wine and its server alike.
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
    wanted = args.senders.split(",")
    senders = ["cli"] if "cli" in wanted else []
    if args.wine_cli and "cli-wine" in wanted:
        from wine import wine_prefix
        args.prefix = wine_prefix(args.wine_prefix or os.path.join(
            os.path.dirname(os.path.abspath(args.wine_cli)), "bench-wineprefix"))
        senders.append("cli-wine")
    if "sz" in wanted:
        senders.append("sz")
    work = tempfile.mkdtemp(prefix="kestrel-bench-")
    if args.noisy:
        args.size = 100_000 if args.size == 200_000 else args.size
        try:
            noisy_table(args, senders, work)
        finally:
            if not args.keep_logs:
                shutil.rmtree(work, ignore_errors=True)
        return
    cases = [(115200, 0, args.size), (115200, 2, args.size)]
    if not args.quick:
        cases += [(9600, 0, args.slow_size), (9600, 2, args.slow_size)]
    try:
        print("%-8s %-9s %-8s %s" % ("baud", "latency", "bytes", "  ".join("%-11s" % s for s in senders)))
        for baud, latency, size in ([] if args.no_paced else cases):
            cells = []
            for kind in senders:
                e, note = paced_run(kind, args, work, baud, latency, size)
                cells.append("%-11s" % ("failed" if e is None else "%.2f%%" % (100 * e)) + note)
            print("%-8d %-9s %-8d %s" % (baud, "%d ms" % latency, size, "  ".join(cells)), flush=True)
        cells = []
        for kind in ([] if args.no_cpu else senders):
            c = cpu_run(kind, args, work, 4_000_000)
            cells.append("%-11s" % ("failed" if c is None else "%.3f" % c))
        if cells:
            print("%-8s %-9s %-8d %s" % ("unpaced", "CPU s/MB", 4_000_000, "  ".join(cells)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
