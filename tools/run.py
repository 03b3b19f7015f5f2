"""The main job: kestrel.exe loads the sample lookup table onto a virtual terminal.

Builds the program (the mingw-x86_64 preset), makes a serial line of two pseudo-terminals
with socat and puts lrzsz's rz on one end as the terminal, maps the other end to COM1 of a
Wine prefix, and runs kestrel.exe under Wine from a program folder of its own, with the
sample lookup file tools/sample/LOOKUP.TXT (300 lines of 40 characters: a 13-digit code
at 1, a name at 15) and a tabsync.ini for it.

With $DISPLAY set, the Properties dialog opens on that display: change what you like, press
OK, and close the message box at the end. Without a display the run is headless: a virtual
display (Xvfb), show_dialog 0, and the message boxes are closed for you.

Wine runs in the Polish locale (pl_PL.UTF-8, which tools/setup generates), so that its ANSI
code page is Windows-1250 as on an operator's Polish Windows: the Progress box reads
"Wysyłanie pliku" and the dialog's labels keep their Polish letters. In any other locale Wine
draws the program's Windows-1250 bytes in another code page ("Wysy³anie pliku").

At the end it shows what the terminal received: file names, sizes, and `zkwdbf check` and
`zkwdbf dump` of the file set.

Usage: tools/run [--build DIR] [--no-build] [--headless]
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))

from display import virtual_display  # noqa: E402
from lines import pty_pair, stop_process  # noqa: E402
from program_folder import RELAY_MESSAGE_BOXES, message_boxes, settings_text  # noqa: E402
from program_folder import windows_folder  # noqa: E402
from rz import rz_receiver  # noqa: E402
from wine import wine_prefix  # noqa: E402

# LC_ALL, since it overrides whatever LC_* the caller's session sets.
POLISH = {"LANG": "pl_PL.UTF-8", "LC_ALL": "pl_PL.UTF-8"}
INTERACTIVE_LIMIT = 30 * 60  # seconds an operator may take with the dialog
HEADLESS_LIMIT = 180


def build(build_dir):
    preset = ["--preset", "mingw-x86_64"]
    where = [] if build_dir is None else ["-B", build_dir]
    subprocess.run(["cmake", *preset, *where], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    jobs = ["-j", os.environ["JOBS"]] if os.environ.get("JOBS") else []
    target = ["--build", build_dir] if build_dir else ["--build", "--preset", "mingw-x86_64"]
    subprocess.run(["cmake", *target, *jobs, "--target", "kestrel", "ZKW_DBF", "zkwdbf"],
                   cwd=ROOT, check=True)


def run_program(prefix, folder, display, headless):
    """kestrel.exe from folder/prog; closes the message boxes when headless. Exit status."""
    prog = os.path.join(folder, "prog")
    saved = prefix.env
    prefix.env = dict(saved, DISPLAY=display, WINEDEBUG="+relay")
    with open(os.path.join(folder, "relay.log"), "wb") as log:
        proc = prefix.run([os.path.join(prog, "kestrel.exe")], cwd=prog,
                          stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    prefix.env = saved
    deadline = time.monotonic() + (HEADLESS_LIMIT if headless else INTERACTIVE_LIMIT)
    try:
        while proc.poll() is None:
            if time.monotonic() > deadline:
                print("run: kestrel.exe did not end in time; stopping it", file=sys.stderr)
                break
            if headless:
                for caption in ("Error", "Transfer OK"):
                    for window in headless.windows(caption):
                        headless.keys(window, "Return")
            time.sleep(0.3)
    finally:
        stop_process(proc)
    return proc.returncode


def show_received(prefix, received, zkwdbf):
    names = sorted(os.listdir(received))
    print("\n=== the terminal received")
    if not names:
        print("nothing")
        return 1
    for name in names:
        print(f"{name:12} {os.path.getsize(os.path.join(received, name)):8} bytes")
    if "dbf1.db0" not in names:
        return 1
    status = 0
    for argv, limit in ((["check", "dbf1"], None), (["dump", "dbf1", "--index", "1"], 25)):
        print(f"\n=== zkwdbf {' '.join(argv)}")
        proc = prefix.run([zkwdbf, *argv], cwd=received, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        try:
            out, _ = proc.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            stop_process(proc)
            out = b"zkwdbf did not end in time\n"
        lines = out.decode("utf-8", "replace").splitlines()
        for line in lines[:limit]:
            print(line)
        if limit and len(lines) > limit:
            print(f"... {len(lines) - limit} more lines")
        status = status or proc.returncode
    return status


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="build folder (default: the preset's build/mingw-x86_64)")
    parser.add_argument("--no-build", action="store_true", help="use the build as it is")
    parser.add_argument("--headless", action="store_true", help="ignore $DISPLAY")
    args = parser.parse_args()
    build_dir = os.path.abspath(args.build) if args.build else None
    if not args.no_build:
        build(build_dir)
    build_dir = build_dir or os.path.join(ROOT, "build", "mingw-x86_64")
    for name in ("kestrel.exe", "ZKW_DBF.dll"):
        if not os.path.exists(os.path.join(build_dir, name)):
            sys.exit(f"run: {name} is not in {build_dir}; build it first")
    zkwdbf = os.path.join(build_dir, "recordstore", "zkwdbf.exe")

    interactive = bool(os.environ.get("DISPLAY")) and not args.headless
    folder = os.path.join(build_dir, "run")
    prog = os.path.join(folder, "prog")
    received = os.path.join(folder, "received")
    shutil.rmtree(prog, ignore_errors=True)
    shutil.rmtree(received, ignore_errors=True)
    os.makedirs(prog)
    os.makedirs(received)
    for name in ("kestrel.exe", "ZKW_DBF.dll"):
        shutil.copy(os.path.join(build_dir, name), prog)
    shutil.copy(os.path.join(ROOT, "tools", "sample", "LOOKUP.TXT"), prog)
    # COM1 at 57600 bit/s; the dialog only when someone is there to answer it.
    with open(os.path.join(prog, "tabsync.ini"), "wb") as f:
        f.write(settings_text(windows_folder(prog), "LOOKUP.TXT", 40, (1, 13), (15, 20), 0, 1,
                              1 if interactive else 0))

    print(f"run: program folder {prog}")
    print("run: preparing the Wine prefix (the first time takes a minute)")
    # The relay log then holds the text of every message box, to be shown at the end.
    prefix = wine_prefix(os.path.join(folder, "prefix"), env=POLISH,
                         registry=RELAY_MESSAGE_BOXES)
    try:
        with pty_pair(folder) as (line_a, line_b):
            prefix.map_com(1, line_a)
            print(f"run: COM1 is {line_a}; rz listens on {line_b}")
            with rz_receiver(line_b, received) as rz:
                if interactive:
                    print(f"run: the Properties dialog opens on {os.environ['DISPLAY']}")
                    status = run_program(prefix, folder, os.environ["DISPLAY"], None)
                else:
                    print("run: headless, on a virtual display")
                    with virtual_display() as display:
                        status = run_program(prefix, folder, display.name, display)
                rz.finish(settle=3.0)
        print(f"\nrun: kestrel.exe ended with exit status {status}")
        for text, caption, _, _ in message_boxes(os.path.join(folder, "relay.log")):
            print(f"run: message box \"{caption}\": {text}")
        return show_received(prefix, received, zkwdbf) or status
    finally:
        prefix.stop()


if __name__ == "__main__":
    sys.exit(main())
