#!/usr/bin/env python3
"""Benchmark of the batch send against rz on an emulated serial line, beside lrzsz's sz.

    bench_zmodem.py --cli build/zb-rel/kestrel-cli
                    [--emulator build/zb-rel/bench/zmodem/line_emulator]
                    [--wine-cli build/zb-x64/kestrel-cli.exe --wine-prefix FOLDER]
                    [--quick] [--size N] [--slow-size N] [--account] [--realtime]
    bench_zmodem.py --noisy [--runs N] [--limit SECONDS] [--cells NAMES] --cli ...
                    [--wine-cli ...]

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

--noisy sends a 60 KB file (--size) at 115200 baud over lines with the faults of real ones,
in both directions, ours and sz -b in the same run, --runs times per sender and cell (3 unless
given; run i of a cell uses seed i). The cells (--cells picks some, by name): clean; bit error
rates 1e-4, 3e-4 and 1e-3 (each data bit flipped at random); bursts (a line good for about
half a second at a time, then bad for about 2 ms with a bit error rate of 1e-2 inside); lost
bytes (one in ten thousand dropped, as by a UART overrun). Each transfer is counted as intact
(the sender reported success and the file arrived whole), told (the sender reported failure),
silent (it reported success, the file is not whole) or over the limit (still running at
--limit seconds, 150 unless given; then stopped). Each row gives the median time of the intact
runs, from the sender's first byte to its last on the line, that time over the clean line's,
and the median of the bytes the sender put on the line per file byte.
Targets for ours: every run intact or told in every cell, none silent, none over the limit;
median at most 1.6 x clean at 1e-4, 3 x at 3e-4, 6 x at 1e-3.
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


# name: the line's faults (paced_line's keywords)
NOISY_CELLS = [
    ("clean", {}),
    ("ber 1e-4", {"ber": 1e-4}),
    ("ber 3e-4", {"ber": 3e-4}),
    ("ber 1e-3", {"ber": 1e-3}),
    ("bursts", {"burst": (500, 2, 1e-2)}),
    ("lost 1e-4", {"loss": 1e-4}),
]


def noisy_run(kind, args, work, faults, seed):
    """One transfer on a faulty line: (outcome, seconds, line bytes per file byte), outcome
    "intact", "told", "silent" or "limit"; the figures are None unless intact."""
    folder = tempfile.mkdtemp(dir=work)
    path = os.path.join(folder, "noisy.bin")
    make_file(path, args.size, seed=11)
    original = open(path, "rb").read()
    inbox = os.path.join(folder, "in")
    trace = os.path.join(folder, "trace") if args.keep_logs else None
    with paced_line(args.emulator, 115200, 0.0, trace=trace, seed=seed, **faults) as line:
        with rz_receiver(line.b, inbox) as rz:
            with open(os.path.join(folder, "sender.log"), "wb") as log:
                proc = start_sender(kind, args, line.a, path, "noisy.bin", log)
                status, _ = wait_rusage(proc, args.limit)
            rz.finish(settle=3.0)
    if kind == "cli-wine":
        args.prefix.stop()
    intact = check(inbox, "noisy.bin", original)
    if args.keep_logs and not (status == 0 and intact):
        print("  %s %s seed %d: status %s, logs in %s" % (kind, faults, seed, status, folder))
    else:
        shutil.rmtree(folder, ignore_errors=True)
    if status is None:
        return "limit", None, None
    if status != 0:
        return "told", None, None
    if not intact:
        return "silent", None, None
    return "intact", line.last_ab - line.first_ab, line.stats["ab"]["bytes"] / args.size


def median(values):
    values = sorted(values)
    n = len(values)
    if not n:
        return None
    return values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2


def noisy_table(args, senders, work):
    print("%d KB at 115200 baud, %d runs per cell, limit %.0f s" % (
        args.size // 1000, args.runs, args.limit))
    print("%-10s %-11s %6s %5s %6s %5s  %-18s %s" % (
        "line", "sender", "intact", "told", "silent", "limit", "median s (x clean)",
        "line bytes/file byte"))
    clean = {}
    for name, faults in NOISY_CELLS:
        if args.cells and name not in args.cells:
            continue
        for kind in senders:
            counts = {"intact": 0, "told": 0, "silent": 0, "limit": 0}
            times, ratios = [], []
            for seed in range(1, args.runs + 1):
                outcome, seconds, ratio = noisy_run(kind, args, work, faults, seed)
                counts[outcome] += 1
                if seconds is not None:
                    times.append(seconds)
                    ratios.append(ratio)
            m = median(times)
            if not faults:
                clean[kind] = m
            cell = "-" if m is None else "%.1f" % m
            if m is not None and clean.get(kind):
                cell += " (%.1fx)" % (m / clean[kind])
            r = median(ratios)
            print("%-10s %-11s %6d %5d %6d %5d  %-18s %s" % (
                name, kind, counts["intact"], counts["told"], counts["silent"], counts["limit"],
                cell, "-" if r is None else "%.2f" % r), flush=True)


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
    ap.add_argument("--runs", type=int, default=3, help="transfers per cell of the noisy table")
    ap.add_argument("--limit", type=float, default=150.0, help="seconds a noisy transfer may take")
    ap.add_argument("--cells", type=lambda t: t.split(","), default=None,
                    help="cells of the noisy table, by name (all unless given)")
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
        args.size = 60_000 if args.size == 200_000 else args.size
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
