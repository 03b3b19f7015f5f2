#!/usr/bin/env python3
"""kestrel-cli end to end: its files against the record store's own conversion, its transfers
against lrzsz's rz over a socat line, and its exit statuses.

    cli_e2e.py CASE --cli PATH --reference PATH --work FOLDER [--wine-prefix FOLDER]

CASE: convert, send, load, no_port, silent_line, rack, interrupt. With --wine-prefix the two programs are
Windows builds run under Wine, and COM1 (and COM2) of the prefix are the lines. Exit status 0 on
success.
"""
import argparse
import fcntl
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from contextlib import ExitStack

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from lines import pty_pair, stop_process  # noqa: E402
from rz import rz_receiver  # noqa: E402

KEY1, KEY2 = (1, 13), (15, 20)
PATH_FIELDS = ((20, 276), (532, 788))  # the record file's path, in the header and its copy


class Failed(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failed(message)


def write_lookup(path, count, seed):
    """Lines of 40 characters and some shorter or longer, bytes above 0x7F, repeated keys."""
    rng = random.Random(seed)
    lines = []
    for i in range(count):
        code = lines[rng.randrange(i)][:13] if i and rng.random() < 0.05 else \
            b"590%010d" % rng.randrange(10 ** 10)
        name = bytes(rng.choice(b"ABCDEFGH\xb3\xa5\xea ") for _ in range(20))
        line = code + b" " + name + b" %05d" % rng.randrange(10 ** 5)
        lines.append(line[:rng.choice((40, 40, 40, 30, 14))] + b"X" * rng.choice((0, 0, 9)))
    with open(path, "wb") as f:
        f.write(b"".join(line + b"\r\n" for line in lines))


def masked(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    if path.endswith(".db0"):
        for start, end in PATH_FIELDS:
            data[start:end] = bytes(end - start)
    return bytes(data)


def random_file(path, size, seed):
    rng = random.Random(seed)
    data = bytes(rng.choice((0x18, 0x11, 0x13, 0x91, rng.getrandbits(8))) for _ in range(size))
    with open(path, "wb") as f:
        f.write(data)


class runner:
    """Runs the programs natively, or under Wine with paths through its Z: drive."""

    def __init__(self, args):
        self.args = args
        self.prefix = None
        if args.wine_prefix:
            from wine import wine_prefix
            self.prefix = wine_prefix(args.wine_prefix)

    def path(self, path):
        return "Z:" + os.path.abspath(path).replace("/", "\\") if self.prefix else path

    def run(self, argv, cwd=None, timeout=120):
        """(exit status, standard error as text)."""
        if self.prefix:
            proc = self.prefix.run(argv, cwd=cwd, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        else:
            proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                    start_new_session=True)
        try:
            _, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            stop_process(proc)
            raise Failed(f"{argv[0]} did not end within {timeout} s")
        text = err.decode("utf-8", "replace")
        print(f"$ {' '.join(argv)}\n{text}exit {proc.returncode}")
        return proc.returncode, text

    def cli(self, *argv, **kw):
        return self.run([self.args.cli, *argv], **kw)

    def reference(self, lookup, base, key2):
        status, _ = self.run([self.args.reference, self.path(lookup), self.path(base), "40",
                              str(KEY1[0]), str(KEY1[1]), str(key2[0]), str(key2[1])])
        expect(status == 0, "the reference conversion failed")

    def port(self, device, number=1):
        """The PORT argument that reaches device: COM<number> under Wine, the path natively."""
        if self.prefix:
            self.prefix.map_com(number, device)
            return "COM%d" % number
        return device


def case_convert(r, work):
    """Equal to the record store's conversion; a failed one leaves the earlier set alone."""
    lookup, out = os.path.join(work, "LOOKUP.TXT"), os.path.join(work, "out", "set")
    os.makedirs(os.path.dirname(out))
    write_lookup(lookup, 2600, seed=12)
    r.reference(lookup, os.path.join(work, "ref"), KEY2)
    args = [r.path(lookup), "--line-length", "40", "--key1", "%d:%d" % KEY1,
            "--key2=%d:%d" % KEY2, "--out", r.path(out)]
    status, _ = r.cli("convert", *args)
    expect(status == 0, f"convert: exit {status}")
    for ext in (".db0", ".db1", ".db2"):
        expect(masked(out + ext) == masked(os.path.join(work, "ref") + ext), f"set{ext} differs")
    expect(sorted(os.listdir(os.path.dirname(out))) == ["set.db0", "set.db1", "set.db2"],
           f"left in the folder: {os.listdir(os.path.dirname(out))}")

    # A working file that is no record file makes the next conversion fail.
    before = {ext: masked(out + ext) for ext in (".db0", ".db1", ".db2")}
    with open(os.path.join(work, "out", "~tmpdbf.db0"), "wb") as f:
        f.write(b"not a record file")
    status, text = r.cli("convert", *args)
    expect(status == 4 and "Error: Conversion of lookup file failed!" in text,
           f"a failed conversion: exit {status}")
    expect(all(masked(out + ext) == data for ext, data in before.items()),
           "a failed conversion changed the earlier set")
    expect(not any(n.startswith("~tmpdbf") for n in os.listdir(os.path.dirname(out))),
           "a failed conversion left its working files")

    # Another run holding the folder's working names: refused at once, nothing touched.
    if not r.prefix:
        with open(os.path.join(work, "out", "~tmpdbf.lck"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            status, text = r.cli("convert", *args)
        expect(status == 8 and "another run" in text, f"a held folder: exit {status}")
        expect(all(masked(out + ext) == data for ext, data in before.items()),
               "a refused run changed the set")

    # One key: the earlier set's third file goes with it; one that cannot go fails the run.
    status, _ = r.cli("convert", *args[:5], "--out", r.path(out))
    expect(status == 0 and not os.path.exists(out + ".db2"), "a one-key set kept set.db2")
    if not r.prefix:
        os.makedirs(out + ".db2/kept")
        status, text = r.cli("convert", *args[:5], "--out", r.path(out))
        expect(status == 4 and "cannot remove " + out + ".db2" in text,
               f"a stale set.db2 beside a one-key set: exit {status}")
        expect(sorted(os.listdir(os.path.dirname(out))) == ["set.db2"],
               f"left beside a stale set.db2: {os.listdir(os.path.dirname(out))}")


def transfer(r, work, argv, wait_for=60, cwd=None):
    """Runs kestrel-cli against rz on a fresh line; (status, stderr, received folder)."""
    inbox = os.path.join(work, "in")
    with pty_pair(work) as (ours, theirs):
        port = r.port(ours)
        with rz_receiver(theirs, inbox) as rz:
            status, text = r.cli(*argv(port), timeout=wait_for, cwd=cwd)
            rz.finish(settle=3.0)
    return status, text, inbox


def case_send(r, work):
    """Two files, one under a name of its own, arrive byte for byte."""
    a, b = os.path.join(work, "first.bin"), os.path.join(work, "second.bin")
    random_file(a, 2500, seed=3)
    random_file(b, 1001, seed=4)
    status, text, inbox = transfer(r, work, lambda port: (
        "send", "--port", port, "--baud", "57600", r.path(a), r.path(b) + "=dbf1.db1"))
    expect(status == 0 and "Transfer OK: Files succesfully transferred" in text,
           f"send: exit {status}")
    expect("Wysyłanie pliku first.bin" in text or r.prefix, "the progress label is not UTF-8")
    for sent, name in ((a, "first.bin"), (b, "dbf1.db1")):
        got = os.path.join(inbox, name)
        expect(os.path.exists(got) and masked(got) == masked(sent), f"{name} did not arrive whole")


def make_job(r, work, lines=700):
    """A lookup file, its reference conversion and a settings file naming it; the job folder."""
    tables, job = os.path.join(work, "tables"), os.path.join(work, "job")
    os.makedirs(tables)
    os.makedirs(job)
    lookup = os.path.join(tables, "LOOKUP.TXT")
    write_lookup(lookup, lines, seed=5)
    r.reference(lookup, os.path.join(work, "ref"), KEY2)
    settings = [r.path(tables), "LOOKUP.TXT", "40", *map(str, KEY1), *map(str, KEY2), "1", "2",
                "1"]
    with open(os.path.join(job, "tabsync.ini"), "wb") as f:
        f.write("".join(line + "\r\n" for line in settings).encode("cp1250"))
    return job


def case_load(r, work):
    """kestrel.exe's job from a settings file; the working files are gone afterwards."""
    job = make_job(r, work)
    status, text, inbox = transfer(r, work, lambda port: (
        "load", "--port", port, "--baud", "115200"), wait_for=90, cwd=job)
    expect(status == 0 and "Transfer OK: Files succesfully transferred" in text,
           f"load: exit {status}")
    for ext in (".db0", ".db1", ".db2"):
        got = os.path.join(inbox, "dbf1" + ext)
        expect(os.path.exists(got) and masked(got) == masked(os.path.join(work, "ref") + ext),
               f"dbf1{ext} differs from the reference conversion")
    expect(os.listdir(job) == ["tabsync.ini"], f"left beside the settings: {os.listdir(job)}")


def case_no_port(r, work):
    path = os.path.join(work, "x.bin")
    random_file(path, 10, seed=1)
    status, text = r.cli("send", "--port", os.path.join(work, "no-such-line"), path)
    expect(status == 5 and "Error: Can't open COM port." in text, f"exit {status}")

    # A settings file without a rate, or with a line length of 0, stops load before any work.
    job = make_job(r, work)
    ini = os.path.join(job, "tabsync.ini")
    with open(ini, "rb") as f:
        good = f.read().split(b"\r\n")
    for line, value, reason in ((8, b"0", "names no rate (line 9)"), (2, b"0", "length of 0")):
        lines = list(good)
        lines[line] = value
        with open(ini, "wb") as f:
            f.write(b"\r\n".join(lines))
        status, text = r.cli("load", "--port", os.path.join(work, "no-such-line"), cwd=job)
        expect(status == 2 and reason in text and "Konwersja" not in text,
               f"load with {reason}: exit {status}")


def case_interrupt(r, work):
    """SIGINT in the middle of a load: the terminal is told to cancel, so rz ends within
    seconds, and no working file is left."""
    job = make_job(r, work, lines=60000)
    with pty_pair(work) as (ours, theirs):
        with rz_receiver(theirs, os.path.join(work, "in")) as rz:
            proc = subprocess.Popen([r.args.cli, "load", "--port", ours], cwd=job,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            try:
                deadline = time.monotonic() + 60
                while not os.path.exists(os.path.join(work, "in", "dbf1.db0")):
                    expect(time.monotonic() < deadline and proc.poll() is None,
                           "the transfer did not begin")
                    time.sleep(0.05)
                proc.send_signal(signal.SIGINT)
                _, err = proc.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                raise Failed("kestrel-cli did not end within 10 s of SIGINT")
            finally:
                stop_process(proc)
            print(err.decode("utf-8", "replace"))
            ended = time.monotonic()
            while rz.proc.poll() is None and time.monotonic() < ended + 5:
                time.sleep(0.05)
            expect(rz.proc.poll() is not None, "rz still waits 5 s after the cancel")
    expect(proc.returncode == 130, f"exit {proc.returncode}")
    expect(os.listdir(job) == ["tabsync.ini"], f"left beside the settings: {os.listdir(job)}")


def case_silent_line(r, work):
    """Nobody answers: the sender gives up after about forty seconds with its own status, and a
    load removes its files all the same. A line that goes away under a transfer (its far end
    closed) ends it at once with the same status, and says so."""
    job = make_job(r, work, lines=50)
    with pty_pair(work) as (ours, _):
        started = time.monotonic()
        status, text = r.cli("load", "--port", r.port(ours), cwd=job, timeout=90)
        elapsed = time.monotonic() - started
    expect(status == 1 and "Error: Timeout error" in text, f"exit {status}")
    expect("line is gone" not in text, "a silent line was said to be gone")
    expect(30 < elapsed < 60, f"gave up after {elapsed:.0f} s")
    expect(os.listdir(job) == ["tabsync.ini"], f"left beside the settings: {os.listdir(job)}")
    if r.prefix:
        return
    big = os.path.join(work, "big.bin")
    with open(big, "wb") as f:
        f.write(random.Random(6).randbytes(64 << 20))
    with pty_pair(work, socat=True) as (ours, theirs, line):
        with rz_receiver(theirs, os.path.join(work, "in")):
            proc = subprocess.Popen([r.args.cli, "send", "--port", ours, big],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            try:
                deadline = time.monotonic() + 30
                while not os.path.exists(os.path.join(work, "in", "big.bin")):
                    expect(time.monotonic() < deadline and proc.poll() is None,
                           "the transfer did not begin")
                    time.sleep(0.05)
                stop_process(line)  # the far end of our pseudo-terminal closes
                gone = time.monotonic()
                _, err = proc.communicate(timeout=20)
            except subprocess.TimeoutExpired:
                raise Failed("kestrel-cli did not end within 20 s of its line's end")
            finally:
                stop_process(proc)
    text = err.decode("utf-8", "replace")
    print(text)
    elapsed = time.monotonic() - gone
    expect(proc.returncode == 1 and "Error: Timeout error\n" in text, f"exit {proc.returncode}")
    expect("kestrel-cli: the line is gone (Input/output error): " in text, "no reason given")
    expect(elapsed < 5, f"a gone line ended the send after {elapsed:.0f} s")


def case_rack(r, work):
    """One conversion to several lines at once: natively three, of which the last has nobody
    listening and times out alone; under Wine two. Each line's summary tells its own outcome."""
    job = make_job(r, work)
    lines = 2 if r.prefix else 3
    for i in range(lines):
        os.makedirs(os.path.join(work, "line%d" % i))
    with ExitStack() as stack:
        ends = [stack.enter_context(pty_pair(os.path.join(work, "line%d" % i)))
                for i in range(lines)]
        ports = [r.port(ours, i + 1) for i, (ours, _) in enumerate(ends)]
        receivers = [stack.enter_context(rz_receiver(theirs, os.path.join(work, "in%d" % i)))
                     for i, (_, theirs) in enumerate(ends[:2])]
        status, text = r.cli("load", "--port", ",".join(ports[:2]), *ports[2:] and
                             ["--port", ports[2]], cwd=job, timeout=150)
        for rz in receivers:
            rz.finish(settle=3.0)
    summary = {line.split()[0]: line for line in text.splitlines() if "(status " in line}
    for port in ports[:2]:
        expect("Transfer OK: Files succesfully transferred (status 0, " in summary.get(port, ""),
               f"{port}: {summary.get(port)}")
    if lines == 3:
        expect("Error: Timeout error (status 1, " in summary.get(ports[2], ""),
               f"the silent line: {summary.get(ports[2])}")
    expect(status == (7 if lines == 3 else 0), f"rack: exit {status}")
    for i in range(2):
        for ext in (".db0", ".db1", ".db2"):
            got = os.path.join(work, "in%d" % i, "dbf1" + ext)
            expect(os.path.exists(got) and masked(got) == masked(os.path.join(work, "ref") + ext),
                   f"line {i}: dbf1{ext} differs from the reference conversion")
    expect(os.listdir(job) == ["tabsync.ini"], f"left beside the settings: {os.listdir(job)}")


CASES = {"convert": case_convert, "send": case_send, "load": case_load,
         "no_port": case_no_port, "silent_line": case_silent_line, "rack": case_rack,
         "interrupt": case_interrupt}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("case", choices=CASES)
    ap.add_argument("--cli", required=True)
    ap.add_argument("--reference", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--wine-prefix")
    args = ap.parse_args()
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    r = runner(args)
    try:
        CASES[args.case](r, work)
    except Failed as failure:
        print("FAIL:", failure)
        return 1
    finally:
        if r.prefix:
            r.prefix.stop()
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
