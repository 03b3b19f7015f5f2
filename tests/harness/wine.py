"""A Wine prefix whose COM ports are device paths, for running Windows builds against a line.

    from wine import wine_prefix
    prefix = wine_prefix(folder)             # made on first use (bounded), kept for later runs
    prefix.map_com(1, device)                # HKLM\\Software\\Wine\\Ports "COM1" = device
    proc = prefix.run([exe, args...])        # a Popen; its wineserver is this prefix's own
    prefix.stop()                            # ends this prefix's wineserver

    prefix = wine_prefix(folder, bits=32, template=other)   # for 32-bit programs

Prefixes are made by /usr/lib/wine/wine64 with mscoree and mshtml disabled. A mapping in
dosdevices/ is overwritten when Wine starts, so the port goes into the registry and the prefix's
wineserver is restarted to read it. Keep prefixes under the build folder; use one prefix per
concurrent user, since a restart ends whatever runs in it.

32-bit programs: this kernel starts no 32-bit process, so Debian's 32-bit Wine runs inside
qemu's user-mode emulation, with WINELOADERNOEXEC set so that Wine does not re-execute its
loader. wineboot cannot start a 32-bit process either, so the prefix's syswow64 folder gets the
32-bit Windows side of Wine by copy where wineboot left anything out. With a template, a prefix
is made once in the template's folder and copied from there: Wine's own binaries, which it
only reads, are linked, everything else (registry, ini files) is copied.
"""
import fcntl
import os
import shutil
import subprocess

WINE = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
WINESERVER = "/usr/lib/wine/wineserver"
QEMU_I386 = "/usr/bin/qemu-i386"
WINDOWS_SIDE_32 = "/usr/lib/i386-linux-gnu/wine/i386-windows"
# qemu's emulated address space, a little over 2 GB: Wine's start reserves everything above
# 2 GB in 64 KB pieces, and in qemu's default 4 GB space each piece costs a search page by page
# (minutes of start-up); the space must still hold the shared page Wine maps at 0x7ffe0000.
QEMU_ADDRESS_SPACE = "0x81000000"
BINARY_SUFFIXES = (".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".ax", ".tlb",
                   ".dll16", ".exe16", ".drv16", ".mod16", ".vxd", ".com", ".ds")


def available(bits=64):
    wine = [WINE, WINESERVER] + ([WINE32, QEMU_I386] if bits == 32 else [])
    return all(os.access(p, os.X_OK) for p in wine) and \
        (bits != 32 or os.path.isdir(WINDOWS_SIDE_32))


def copy_prefix(template, folder):
    """folder as a copy of template that shares no file Wine writes."""
    def link_binary(source, target):
        if source.lower().endswith(BINARY_SUFFIXES):
            os.link(source, target)
        else:
            shutil.copy2(source, target)
    shutil.copytree(template, folder, symlinks=True, copy_function=link_binary)


class wine_prefix:
    def __init__(self, folder, bits=64, template=None, make_timeout=300):
        self.folder = os.path.abspath(folder)
        self.bits = bits
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=self.folder, WINEARCH="win64", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        with open(self.folder + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if os.path.exists(os.path.join(self.folder, "system.reg")):
                return
            if template:
                wine_prefix(template, bits, make_timeout=make_timeout)
                shutil.rmtree(self.folder, ignore_errors=True)
                copy_prefix(os.path.abspath(template), self.folder)
                return
            subprocess.run([WINE, "wineboot", "--init"], env=self.env, timeout=make_timeout,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.stop()
            if bits == 32:
                self.fill_syswow64()

    def fill_syswow64(self):
        syswow64 = os.path.join(self.folder, "drive_c", "windows", "syswow64")
        os.makedirs(syswow64, exist_ok=True)
        for name in os.listdir(WINDOWS_SIDE_32):
            target = os.path.join(syswow64, name)
            if not os.path.exists(target):
                shutil.copy2(os.path.join(WINDOWS_SIDE_32, name), target)

    def stop(self, timeout=60):
        """Ends the prefix's wineserver and waits for it, bounded."""
        subprocess.run([WINESERVER, "-k"], env=self.env, timeout=timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            subprocess.run([WINESERVER, "-w"], env=self.env, timeout=timeout,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass

    def reg(self, *argv, timeout=60):
        """Runs Wine's own reg tool (64-bit, whatever the prefix is for) to its end."""
        subprocess.run([WINE, "reg", *argv], env=self.env, timeout=timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)

    def map_com(self, number, device, timeout=60):
        """Maps COM<number> to device and restarts the wineserver so that it takes effect."""
        self.reg("add", r"HKLM\Software\Wine\Ports", "/v", "COM%d" % number, "/t", "REG_SZ",
                 "/d", device, "/f", timeout=timeout)
        self.stop()

    def run(self, argv, **popen_args):
        """Starts a Windows program in this prefix; returns its Popen, whose process is the
        program's own."""
        if self.bits == 32:
            loader = [QEMU_I386, "-R", QEMU_ADDRESS_SPACE, "-L", "/", WINE32]
            env = dict(self.env, WINELOADERNOEXEC="1")
        else:
            loader, env = [WINE], self.env
        return subprocess.Popen([*loader, *argv], env=env, start_new_session=True, **popen_args)


if __name__ == "__main__":
    # wine.py make FOLDER: makes the prefix (if it is not there yet) and leaves no server running.
    import sys
    if len(sys.argv) != 3 or sys.argv[1] != "make":
        sys.exit("usage: wine.py make FOLDER")
    wine_prefix(sys.argv[2]).stop()
