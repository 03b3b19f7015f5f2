#!/usr/bin/env python3
"""The record store loaded by appends (add_member, one record at a time) natively and as a
64-bit Windows program under Wine, in one run, printed as one table: seconds of each, their
ratio, and sqlite3 (native only) beside.

Builds first with `cmake --build --preset native-release` and `--preset mingw-x86_64`
(target bench_recordstore_load), unless --no-build. For each count the native benchmark runs,
then the Windows one, so that both see the same machine load.

Usage: bench/recordstore/bench_load_windows.py [--no-build] [--no-sqlite]
           [--native PROGRAM] [--windows PROGRAM.exe] [count ...]
(--native and --windows run other builds of the benchmark, an older one say, and imply
--no-build.)
"""
import argparse
import os
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
NATIVE = os.path.join(ROOT, "build/native-release/bench/recordstore/bench_recordstore_load")
WINDOWS = os.path.join(ROOT, "build/mingw-x86_64/bench/recordstore/bench_recordstore_load.exe")
WINE_RUN = os.path.join(ROOT, "tools/wine-run")


def build():
    for preset in ("native-release", "mingw-x86_64"):
        subprocess.run(["cmake", "--build", "--preset", preset, "--target",
                        "bench_recordstore_load"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)


def rows(command, scratch, timeout):
    """Runs one benchmark and returns {(records, keys, ix): (seconds, peak MB, sqlite s)}."""
    env = dict(os.environ, KESTREL_BENCH_DIR=scratch)
    out = subprocess.run(command, env=env, check=True, capture_output=True, text=True,
                         timeout=timeout).stdout
    table = {}
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 11 and line[:1].isdigit():
            table[(int(f[0]), f[1], int(f[2]))] = (float(f[3]), float(f[8]), float(f[10]))
    return table


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--no-sqlite", action="store_true")
    ap.add_argument("--timeout", type=float, default=1800, help="seconds per benchmark run")
    ap.add_argument("--native", default=NATIVE, help="the native benchmark program")
    ap.add_argument("--windows", default=WINDOWS, help="the Windows benchmark program")
    ap.add_argument("counts", nargs="*", type=int, default=[100000, 1000000])
    args = ap.parse_args()
    if not args.no_build and args.native == NATIVE and args.windows == WINDOWS:
        build()
    print("%-9s %-7s %-3s %10s %10s %8s %8s %10s %12s" % (
        "records", "keys", "ix", "native s", "wine s", "wine/nat", "peak MB", "sqlite s",
        "native/sqlite"))
    with tempfile.TemporaryDirectory(prefix="kestrel-bench-win-") as scratch:
        for count in args.counts:
            native_cmd = [args.native] + (["--no-sqlite"] if args.no_sqlite else []) + [str(count)]
            native = rows(native_cmd, os.path.join(scratch, "n"), args.timeout)
            # Wine gives the scratch folder through drive Z:, the root of the file system.
            win_dir = "Z:" + os.path.join(scratch, "w").replace("/", "\\")
            wine = rows([WINE_RUN, args.windows, str(count)], win_dir, args.timeout)
            for key in sorted(native):
                n_s, peak, lite = native[key]
                w_s = wine.get(key, (float("nan"),))[0]
                print("%-9d %-7s %-3d %10.3f %10.3f %8.2f %8.1f %10.3f %12s" % (
                    key + (n_s, w_s, w_s / n_s, peak, lite,
                           "%.2f" % (n_s / lite) if lite > 0 else "-")))
                sys.stdout.flush()


if __name__ == "__main__":
    main()
