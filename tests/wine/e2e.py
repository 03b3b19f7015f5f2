#!/usr/bin/env python3
"""kestrel.exe end to end, as an operator runs it: the Windows build under Wine on a virtual
display (Xvfb), COM1 or COM2 mapped to one end of a socat line, and at the other end lrzsz's rz
as the terminal (or a scripted receiver, or nobody). The 64-bit build runs under 64-bit Wine;
with --bits 32 the 32-bit deliverables run under 32-bit Wine inside qemu-i386, and rz is
started only once the program holds its port open.

Wine paints its own desktop of the screen's size, with a patterned wallpaper. Each case copies
the program into a program folder of its own (kestrel.exe, ZKW_DBF.dll, tabsync.ini when the
case has one, LOOKUP.TXT), runs it, answers the Properties dialog with xdotool where the case
says so, closes every message box with Return, and then checks:
  - the message boxes, text and caption, read from Wine's relay log of MessageBoxA/W;
  - the exit status;
  - what the terminal received, against a reference conversion of the same lookup file through
    the record store (convert_reference, a Windows program run in the prefix or a native
    one), and `zkwdbf check` on the received set;
  - what is left in the program folder (no DBF1.* and no ~tmpdbf.* after a run that ended);
  - in transfer_two_keys, that the conversion's Progress box is off the screen when the job
    begins its wait before the send.
Screenshots of the dialog, of the first message box and of the screen in that wait are kept in
the case's folder.

Usage: e2e.py CASE --work WORK_DIR --kestrel EXE [--dll DLL] --reference EXE --zkwdbf EXE
              [--bits 32|64] [--prefix-template DIR]
CASE is one of CASES below, or "all". Prints "N passed, N failed"; exit 1 on any failure.
Every wait is bounded; everything started here is stopped by its process id, and the Wine
prefix's own wineserver by `wineserver -k` for that prefix.
"""
import argparse
import contextlib
import os
import random
import re
import select
import shutil
import struct
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, HERE)

from display import virtual_display  # noqa: E402
from lines import pty_pair, stop_process  # noqa: E402
from program_folder import RELAY_MESSAGE_BOXES, message_boxes, settings_text  # noqa: E402
from program_folder import windows_folder  # noqa: E402
from rz import rz_receiver  # noqa: E402
from wine import wine_prefix  # noqa: E402
from zskip_receiver import skipping_receiver  # noqa: E402

DIALOG_CAPTION = "Merlo transfer danych Zmodem"
BOX_CAPTIONS = ("Error", "Transfer OK")
SUCCESS = ("Files succesfully transferred", "Transfer OK")
SENT_NAMES = ("dbf1.db0", "dbf1.db1", "dbf1.db2")

# The sample table: 40-character lines, a 13-digit code at 1, a 20-character name at 15.
LINE_LENGTH = 40
KEY1 = (1, 13)
KEY2 = (15, 20)


class CaseFailed(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise CaseFailed(message)


# --- the sample lookup file and the settings file ------------------------------------------

def lookup_lines(count, seed):
    """count lines of LINE_LENGTH characters: code, space, name, space, price; codes repeat now
    and then so that the indexes hold equal keys."""
    rng = random.Random(seed)
    words = ["MLEKO", "CHLEB", "MASLO", "SER", "JOGURT", "KAWA", "HERBATA", "CUKIER", "SOL",
             "MAKA", "RYZ", "OLEJ", "SOK", "WODA", "PIWO", "JAJA"]
    lines = []
    for _ in range(count):
        code = "590%010d" % rng.randrange(10 ** 10) if rng.random() > 0.02 or not lines \
            else lines[rng.randrange(len(lines))][:13]
        name = (rng.choice(words) + " " + rng.choice(words) + " %d" % rng.randrange(1000))[:20]
        line = "%s %-20s %05d" % (code, name, rng.randrange(100000))
        assert len(line) == LINE_LENGTH
        lines.append(line)
    return lines


def write_lookup(path, lines):
    with open(path, "wb") as f:
        f.write("".join(line + "\r" for line in lines).encode("ascii"))


def windows_program(path):
    """Whether path is a Windows program (to be run in the prefix) rather than a native one."""
    with open(path, "rb") as f:
        return f.read(2) == b"MZ"


# --- a listener that only records what arrives on the line ----------------------------------

class line_listener:
    """Reads whatever the program sends on device, in a thread, answering nothing."""

    def __init__(self, device):
        self.device = device
        self.data = bytearray()

    def __enter__(self):
        self.fd = os.open(self.device, os.O_RDWR | os.O_NOCTTY)
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self.listen, daemon=True)
        self.thread.start()
        return self

    def listen(self):
        while not self.stopped.is_set():
            ready, _, _ = select.select([self.fd], [], [], 0.2)
            if ready:
                try:
                    self.data += os.read(self.fd, 4096)
                except OSError:
                    return

    def __exit__(self, *exc):
        time.sleep(0.5)
        self.stopped.set()
        self.thread.join(timeout=5)
        os.close(self.fd)


# --- the terminal: rz on the far end of the line --------------------------------------------

def holds_open(pid, device):
    """Whether process pid has device open."""
    fds = f"/proc/{pid}/fd"
    try:
        names = os.listdir(fds)
    except OSError:
        return False
    for name in names:
        try:
            if os.readlink(os.path.join(fds, name)) == device:
                return True
        except OSError:
            pass
    return False


class terminal:
    """lrzsz's rz on the far end of a line, receiving into folder/received: started at once, or,
    when late, only once the program holds the near end open. As a watch of run_kestrel."""

    def __init__(self, near, far, folder, late):
        self.near = os.path.realpath(near)
        self.far = far
        self.received = os.path.join(folder, "received")
        self.late = late
        self.stack = contextlib.ExitStack()
        self.rz = None

    def __enter__(self):
        if not self.late:
            self.start()
        return self

    def __exit__(self, *exc):
        self.stack.close()

    def start(self):
        self.rz = self.stack.enter_context(rz_receiver(self.far, self.received))

    def __call__(self, proc, relay_log):
        if self.rz is None and holds_open(proc.pid, self.near):
            self.start()

    def finish(self, settle):
        if self.rz:
            self.rz.finish(settle=settle)


# --- one run of the program ------------------------------------------------------------------

class suite:
    def __init__(self, args):
        self.args = args
        # Under qemu the program takes many seconds to open its port, while rz repeats its
        # ZRINIT every 10 s and gives up ZMODEM after five: there rz starts once the port is
        # open. The 64-bit runs keep a receiver that is listening from the start.
        self.late_terminal = args.bits == 32
        self.run_limit = 300 if args.bits == 32 else 150
        write_wallpaper(os.path.join(args.work, "wallpaper.bmp"))
        user = "HKEY_CURRENT_USER\\"
        self.prefix = wine_prefix(os.path.join(args.work, "prefix"), bits=args.bits,
                                  template=args.prefix_template, registry=[
            RELAY_MESSAGE_BOXES[0],
            # A desktop of the screen's size that Wine paints itself, with a patterned
            # wallpaper on which pixels that the Progress box leaves behind show.
            (user + r"Software\Wine\Explorer", "Desktop", "Default"),
            (user + r"Software\Wine\Explorer\Desktops", "Default",
             "%dx%d" % (SCREEN_WIDTH, SCREEN_HEIGHT)),
            (user + r"Control Panel\Desktop", "Wallpaper",
             windows_folder(args.work) + "wallpaper.bmp"),
            (user + r"Control Panel\Desktop", "WallpaperStyle", "0"),
            (user + r"Control Panel\Desktop", "TileWallpaper", "0")])

    def tool(self, argv, cwd=None, timeout=120):
        """Runs a console program to its end, a Windows one in the prefix, any other directly;
        (status, standard output)."""
        output = dict(cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                      stdin=subprocess.DEVNULL)
        if windows_program(argv[0]):
            proc = self.prefix.run(argv, **output)
        else:
            proc = subprocess.Popen(argv, start_new_session=True, **output)
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            stop_process(proc)
            raise CaseFailed(f"{argv[0]} did not end within {timeout} s")
        return proc.returncode, out.decode("utf-8", "replace")

    def case_folder(self, name):
        folder = os.path.join(self.args.work, name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(folder, "prog"))
        os.makedirs(os.path.join(folder, "received"))
        return folder

    def install(self, prog, lookup_lines_=None, settings=None):
        """The program folder: the two deliverables, the settings file, the lookup file."""
        shutil.copy(self.args.kestrel, os.path.join(prog, "kestrel.exe"))
        if self.args.dll:
            shutil.copy(self.args.dll, os.path.join(prog, "ZKW_DBF.dll"))
        if lookup_lines_ is not None:
            write_lookup(os.path.join(prog, "LOOKUP.TXT"), lookup_lines_)
        if settings is not None:
            with open(os.path.join(prog, "tabsync.ini"), "wb") as f:
                f.write(settings)

    def run_kestrel(self, folder, display, dialog=None, watches=(), timeout=None):
        """Runs kestrel.exe from folder/prog with the current directory at folder, answers the
        dialog with dialog(display, window) when it appears, closes each message box, and calls
        every watch(proc, relay log) on every round. Returns (exit status, message boxes, dialog
        seen)."""
        timeout = timeout or self.run_limit
        prog = os.path.join(folder, "prog")
        relay_log = os.path.join(folder, "relay.log")
        saved = self.prefix.env
        self.prefix.env = dict(saved, DISPLAY=display.name, WINEDEBUG="+relay")
        try:
            with open(relay_log, "wb") as log:
                proc = self.prefix.run([os.path.join(prog, "kestrel.exe")], cwd=folder,
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        finally:
            self.prefix.env = saved

        dialog_seen = False
        boxes_closed = 0
        deadline = time.monotonic() + timeout
        try:
            while proc.poll() is None:
                if time.monotonic() > deadline:
                    raise CaseFailed(f"kestrel.exe did not end within {timeout} s")
                if dialog and not dialog_seen:
                    found = display.windows(DIALOG_CAPTION)
                    if found:
                        dialog_seen = True
                        time.sleep(0.5)
                        display.screenshot(os.path.join(folder, "dialog.png"))
                        dialog(display, found[0])
                for caption in BOX_CAPTIONS:
                    for window in display.windows(caption):
                        if boxes_closed == 0:
                            display.screenshot(os.path.join(folder, "message.png"))
                        display.keys(window, "Return")
                        boxes_closed += 1
                for watch in watches:
                    watch(proc, relay_log)
                time.sleep(0.3)
        finally:
            stop_process(proc)
        return proc.returncode, message_boxes(relay_log), dialog_seen

    def reference(self, folder, key1, key2):
        """The program folder's lookup file converted through the record store under the very
        base name the program uses, since the record file keeps its own path in its header:
        {sent name: bytes}. The files are moved out of the program folder afterwards."""
        prog = os.path.join(folder, "prog")
        base = windows_folder(prog) + "~tmpdbf"
        status, out = self.tool([self.args.reference, "LOOKUP.TXT", base, str(LINE_LENGTH),
                                 str(key1[0]), str(key1[1]), str(key2[0]), str(key2[1])],
                                cwd=prog)
        expect(status == 0, f"reference conversion failed: {out.strip()}")
        # A native reference takes the Windows path for a plain file name in the folder.
        made = "~tmpdbf" if windows_program(self.args.reference) else base
        ref = os.path.join(folder, "reference")
        os.makedirs(ref, exist_ok=True)
        files = {}
        for n, name in enumerate(SENT_NAMES):
            path = os.path.join(prog, made + ".db%d" % n)
            if os.path.exists(path):
                shutil.move(path, os.path.join(ref, name))
                with open(os.path.join(ref, name), "rb") as f:
                    files[name] = f.read()
        return files

    def check_received(self, folder, expected):
        received = os.path.join(folder, "received")
        names = sorted(os.listdir(received))
        expect(names == sorted(expected), f"received {names}, expected {sorted(expected)}")
        for name, data in expected.items():
            with open(os.path.join(received, name), "rb") as f:
                got = f.read()
            expect(got == data, f"{name}: {len(got)} bytes received differ from the "
                                f"{len(data)} bytes of the reference conversion")
        status, out = self.tool([self.args.zkwdbf, "check", "dbf1"], cwd=received)
        expect(status == 0, f"zkwdbf check on the received files: {out.strip()}")

    def check_folder_clean(self, folder):
        left = [n for n in os.listdir(os.path.join(folder, "prog"))
                if n.lower().startswith(("dbf1.", "~tmpdbf."))]
        expect(not left, f"left in the program folder: {left}")

    def expect_boxes(self, boxes, *expected):
        got = [(text, caption) for text, caption, _, _ in boxes]
        expect(got == list(expected), f"message boxes {got}, expected {list(expected)}")


# --- the Progress box leaving the screen ----------------------------------------------------

SCREEN_WIDTH, SCREEN_HEIGHT, BOX_HEIGHT = 1024, 768, 40
JOB_WAIT = re.compile(r"\.Sleep\(0*bb8\)", re.IGNORECASE)


def pattern_rows(top, bottom):
    """RGB bytes of rows top..bottom-1 of the desktop's wallpaper: no two neighbouring pixels
    and no two rows alike, so that pixels put back in the wrong place or not at all show."""
    return b"".join(bytes(c for x in range(SCREEN_WIDTH)
                          for c in ((x * 7 + y * 13) & 255, (x * 3 + y) & 255, (y * 5 + x) & 255))
                    for y in range(top, bottom))


def write_wallpaper(path):
    """The pattern as a 24-bit bitmap file of the screen's size (rows bottom up, BGR)."""
    rows = [pattern_rows(y, y + 1) for y in range(SCREEN_HEIGHT)]
    pixels = b"".join(bytes(b for i in range(0, len(row), 3) for b in row[i:i + 3][::-1])
                      for row in reversed(rows))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, SCREEN_WIDTH, SCREEN_HEIGHT, 1, 24, 0, len(pixels),
                       2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


class box_gone_check:
    """The job closes the conversion's Progress box and then waits 3 s before the send opens
    its own. As soon as the relay log shows that wait begin, the band of the screen where the
    box stood must show the desktop's wallpaper again, pixel for pixel. The log is watched in a
    thread of its own, closely, while the run goes on."""

    def __init__(self, display, folder):
        self.display = display
        self.relay_log = os.path.join(folder, "relay.log")
        self.screenshot = os.path.join(folder, "box-gone.png")
        self.top = SCREEN_HEIGHT // 2 - BOX_HEIGHT // 2
        self.after = None

    def __enter__(self):
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self.watch, daemon=True)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopped.set()
        self.thread.join(timeout=30)

    def watch(self):
        offset, tail = 0, ""
        while not self.stopped.wait(0.05):
            try:
                with open(self.relay_log, "rb") as f:
                    f.seek(offset)
                    chunk = f.read()
            except OSError:
                continue
            offset += len(chunk)
            tail = tail[-64:] + chunk.decode("latin-1")
            if JOB_WAIT.search(tail):
                self.after = self.display.grab(0, self.top, SCREEN_WIDTH, BOX_HEIGHT)
                self.display.screenshot(self.screenshot)
                return

    def verify(self):
        expect(self.after is not None, "the job's wait before the send was not seen")
        wanted = pattern_rows(self.top, self.top + BOX_HEIGHT)
        changed = sum(1 for i in range(0, len(wanted), 3)
                      if wanted[i:i + 3] != self.after[i:i + 3])
        expect(changed == 0, f"{changed} pixels where the Progress box stood did not show the "
                             "wallpaper again when the job began its wait")


# --- the cases -------------------------------------------------------------------------------

def transfer_case(s, name, count, key2, seed, check_box=False):
    """show_dialog 0, a sound settings file: the files arrive, the success box, exit 0."""
    folder = s.case_folder(name)
    prog = os.path.join(folder, "prog")
    lines = lookup_lines(count, seed)
    settings = settings_text(windows_folder(prog), "LOOKUP.TXT", LINE_LENGTH, KEY1, key2, 0, 1, 0)
    s.install(prog, lines, settings)
    expected = s.reference(folder, KEY1, key2)
    expect(len(expected) == (3 if key2[0] > 0 else 2), f"reference made {sorted(expected)}")
    with pty_pair(folder) as (line_a, line_b):
        s.prefix.map_com(1, line_a)
        with terminal(line_a, line_b, folder, s.late_terminal) as rz, \
                virtual_display() as display:
            box = box_gone_check(display, folder) if check_box else contextlib.nullcontext()
            with box:
                status, boxes, _ = s.run_kestrel(folder, display, watches=(rz,))
            rz.finish(settle=3.0)
    s.expect_boxes(boxes, SUCCESS)
    expect(status == 0, f"exit status {status}")
    if check_box:
        box.verify()
    s.check_received(folder, expected)
    s.check_folder_clean(folder)
    with open(os.path.join(prog, "tabsync.ini"), "rb") as f:
        expect(f.read() == settings, "tabsync.ini was rewritten although no dialog was shown")


def case_transfer_two_keys(s):
    transfer_case(s, "transfer_two_keys", 3000, KEY2, seed=6, check_box=True)


def case_transfer_one_key(s):
    transfer_case(s, "transfer_one_key", 1200, (0, 0), seed=7)


def case_dialog_ok(s):
    """No settings file: the dialog; what is typed is saved byte for byte, then the run."""
    folder = s.case_folder("dialog_ok")
    prog = os.path.join(folder, "prog")
    lines = lookup_lines(400, seed=8)
    s.install(prog, lines)
    expected = s.reference(folder, KEY1, KEY2)

    def answer(display, window):
        # Tab order: folder, "...", file name, port, OK, Cancel, line length, key 1 position,
        # key 1 length, rate, key 2 position, key 2 length. Tabbing into a field selects it.
        display.keys(window, "Tab", "Tab")
        display.type(window, "LOOKUP.TXT")
        display.keys(window, "Tab", "Down")               # COM2
        display.keys(window, "Tab", "Tab", "Tab")
        display.type(window, "40")
        display.keys(window, "Tab")
        display.type(window, "1")
        display.keys(window, "Tab")
        display.type(window, "13")
        display.keys(window, "Tab", "Down", "Down")       # 57600 -> 38400 -> 19200
        display.keys(window, "Tab")
        display.type(window, "15")
        display.keys(window, "Tab")
        display.type(window, "20")
        display.screenshot(os.path.join(folder, "dialog-filled.png"))
        display.keys(window, "Return")                    # the default button, OK

    with pty_pair(folder) as (line_a, line_b):
        s.prefix.map_com(2, line_a)
        with terminal(line_a, line_b, folder, s.late_terminal) as rz, \
                virtual_display() as display:
            status, boxes, seen = s.run_kestrel(folder, display, dialog=answer, watches=(rz,))
            rz.finish(settle=3.0)
    expect(seen, "the Properties dialog did not appear")
    with open(os.path.join(prog, "tabsync.ini"), "rb") as f:
        written = f.read()
    wanted = settings_text(windows_folder(prog), "LOOKUP.TXT", 40, KEY1, KEY2, 1, 3, 1)
    expect(written == wanted, f"tabsync.ini is {written!r}, expected {wanted!r}")
    s.expect_boxes(boxes, SUCCESS)
    expect(status == 0, f"exit status {status}")
    s.check_received(folder, expected)
    s.check_folder_clean(folder)


def case_dialog_cancel(s):
    """No settings file and Cancel: nothing written, converted or sent; exit 0."""
    folder = s.case_folder("dialog_cancel")
    prog = os.path.join(folder, "prog")
    s.install(prog, lookup_lines(100, seed=9))

    def cancel(display, window):
        display.keys(window, "Tab", "Tab")
        display.type(window, "LOOKUP.TXT")
        display.keys(window, "Escape")

    with pty_pair(folder) as (line_a, line_b):
        s.prefix.map_com(1, line_a)
        with line_listener(line_b) as line, virtual_display() as display:
            status, boxes, seen = s.run_kestrel(folder, display, dialog=cancel)
    expect(seen, "the Properties dialog did not appear")
    s.expect_boxes(boxes)
    expect(status == 0, f"exit status {status}")
    expect(not os.path.exists(os.path.join(prog, "tabsync.ini")), "tabsync.ini was written")
    expect(not line.data, f"{len(line.data)} bytes went out on the line")
    s.check_folder_clean(folder)


def failure_case(s, name, settings_args, receiver, boxes_expected, status_expected=0,
                 clean=True, lines=None, timeout=None):
    """A run with a settings file that goes wrong: the boxes, the status, nothing received."""
    folder = s.case_folder(name)
    prog = os.path.join(folder, "prog")
    settings = settings_text(windows_folder(prog), *settings_args)
    s.install(prog, lines if lines is not None else lookup_lines(200, seed=10), settings)
    events = None
    with pty_pair(folder) as (line_a, line_b):
        s.prefix.map_com(1, line_a if receiver != "no port" else
                         os.path.join(folder, "no-such-line"))
        with virtual_display() as display:
            if receiver == "listen":
                with line_listener(line_b) as line:
                    status, boxes, _ = s.run_kestrel(folder, display, timeout=timeout)
                expect(not line.data, f"{len(line.data)} bytes went out on the line")
            elif receiver == "skip":
                with skipping_receiver(line_b) as skipper:
                    status, boxes, _ = s.run_kestrel(folder, display, timeout=timeout)
                events = skipper.events
            else:
                status, boxes, _ = s.run_kestrel(folder, display, timeout=timeout)
    s.expect_boxes(boxes, *boxes_expected)
    expect(status == status_expected, f"exit status {status}, expected {status_expected}")
    if clean:
        s.check_folder_clean(folder)
    return boxes, events


def case_missing_lookup(s):
    boxes, _ = failure_case(
        s, "missing_lookup", ("NOSUCH.TXT", LINE_LENGTH, KEY1, (0, 0), 0, 1, 0), "listen",
        [("Can't open lookop file!", "Error")])
    owner, style = boxes[0][2], boxes[0][3]
    expect(owner == 0, f"the box has owner {owner:#x}, expected none")
    expect(style == 0x30, f"style {style:#x}, expected MB_ICONEXCLAMATION | MB_OK")


def case_key_beyond_line(s):
    boxes, _ = failure_case(
        s, "key_beyond_line", ("LOOKUP.TXT", LINE_LENGTH, (35, 13), (0, 0), 0, 1, 0), "listen",
        [("Conversion of lookup file failed!", "Error")])
    expect(boxes[0][3] == 0x30, f"style {boxes[0][3]:#x}, expected MB_ICONEXCLAMATION | MB_OK")


def case_silent_receiver(s):
    # The sender gives up after about forty seconds and ends the program at once, before the
    # job could delete its files: those are left in the folder.
    failure_case(s, "silent_receiver", ("LOOKUP.TXT", LINE_LENGTH, KEY1, (0, 0), 0, 1, 0),
                 "nobody", [("Timeout error", "Error")], status_expected=1, clean=False,
                 timeout=180)


def case_no_com_port(s):
    failure_case(s, "no_com_port", ("LOOKUP.TXT", LINE_LENGTH, KEY1, (0, 0), 0, 1, 0),
                 "no port", [("Can't open COM port.", "Error")])


def case_receiver_skips(s):
    _, events = failure_case(
        s, "receiver_skips", ("LOOKUP.TXT", LINE_LENGTH, KEY1, (0, 0), 0, 1, 0), "skip",
        [("excepting file offset in ZRPOS header...", "Error")])
    expect(events[:4] == ["ZRQINIT", "ZRINIT sent", "ZFILE", "ZSKIP sent"],
           f"the receiver saw {events}")


CASES = {
    "transfer_two_keys": case_transfer_two_keys,
    "transfer_one_key": case_transfer_one_key,
    "dialog_ok": case_dialog_ok,
    "dialog_cancel": case_dialog_cancel,
    "missing_lookup": case_missing_lookup,
    "key_beyond_line": case_key_beyond_line,
    "silent_receiver": case_silent_receiver,
    "no_com_port": case_no_com_port,
    "receiver_skips": case_receiver_skips,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("case", choices=[*CASES, "all"])
    parser.add_argument("--work", required=True)
    parser.add_argument("--kestrel", required=True)
    parser.add_argument("--dll")
    parser.add_argument("--reference", required=True)
    parser.add_argument("--zkwdbf", required=True)
    parser.add_argument("--bits", type=int, choices=(32, 64), default=64,
                        help="32: the program runs under 32-bit Wine inside qemu-i386")
    parser.add_argument("--prefix-template",
                        help="make the Wine prefix by copying this one (made on first use)")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    for name in ("work", "kestrel", "dll", "reference", "zkwdbf", "prefix_template"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))

    names = list(CASES) if args.case == "all" else [args.case]
    s = suite(args)
    passed = failed = 0
    try:
        for name in names:
            started = time.monotonic()
            try:
                CASES[name](s)
                passed += 1
                print(f"PASS {name} ({time.monotonic() - started:.0f} s)", flush=True)
            except Exception as error:  # a failed case must not stop the others
                failed += 1
                print(f"FAIL {name}: {error}", flush=True)
                if not isinstance(error, CaseFailed):
                    traceback.print_exc()
            finally:
                s.prefix.stop()
    finally:
        s.prefix.stop()
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
