"""A Wine prefix whose COM ports are device paths, for running Windows builds against a line.

    from wine import wine_prefix
    prefix = wine_prefix(folder)             # made on first use (bounded), kept for later runs
    prefix = wine_prefix(folder, env={"LC_ALL": "pl_PL.UTF-8"})   # with more in its environment
    prefix = wine_prefix(folder, registry=[(key, name, text)])   # and these string values set
    prefix.map_com(1, device)                # COM1 is device from now on
    proc = prefix.run([exe, args...])        # a Popen; its wineserver is this prefix's own
    prefix.stop()                            # ends this prefix's wineserver

Only /usr/lib/wine/wine64 is used; prefixes are made with mscoree and mshtml disabled. Wine
rewrites dosdevices/ from the registry when its server starts, and reads the registry only
then. So COM1 to COM6 are named once in the registry as links of the prefix's own
(FOLDER-ports/com1 ..), and map_com only points a link at the device: no restart, which would
cost seconds and end whatever runs in the prefix. The registry is written when the prefix is
made or asks for other values, under the prefix's lock, with one `reg import`; the file
FOLDER/kestrel.reg records what was imported. Keep prefixes under the build folder.

32-bit programs: this kernel starts no 32-bit process, so Debian's 32-bit Wine runs inside
qemu's user-mode emulation, with WINELOADERNOEXEC set so that Wine does not re-execute its
loader. wineboot cannot start a 32-bit process either, so the prefix's syswow64 folder gets the
32-bit Windows side of Wine by copy where wineboot left anything out. With a template, a prefix
is made once in the template's folder and copied from there: Wine's own binaries, which it
only reads, are linked, everything else (registry, ini files) is copied; the copy then imports
its own registry values (its own port links).
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
PORTS = 6


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


def reg_text(values):
    """A REGEDIT4 file setting the string values [(key, name, text)]."""
    def quoted(s):
        return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'
    lines = ["REGEDIT4", ""]
    for key in dict.fromkeys(k for k, _, _ in values):
        lines.append("[%s]" % key)
        lines += ["%s=%s" % (quoted(n), quoted(t)) for k, n, t in values if k == key]
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


class wine_prefix:
    def __init__(self, folder, bits=64, template=None, make_timeout=300, env=None,
                 registry=()):
        self.folder = os.path.abspath(folder)
        self.bits = bits
        self.ports = self.folder + "-ports"
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=self.folder, WINEARCH="win64", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        self.env.update(env or {})
        os.makedirs(self.ports, exist_ok=True)
        ports = [(r"HKEY_LOCAL_MACHINE\Software\Wine\Ports", "COM%d" % n,
                  os.path.join(self.ports, "com%d" % n)) for n in range(1, PORTS + 1)]
        with open(self.folder + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not os.path.exists(os.path.join(self.folder, "system.reg")):
                self.make(template, make_timeout)
            self.import_registry(reg_text(ports + list(registry)))

    def make(self, template, make_timeout):
        """Boots the prefix, or copies it from template (made first where it is not yet)."""
        if template:
            wine_prefix(template, self.bits, make_timeout=make_timeout)
            shutil.rmtree(self.folder, ignore_errors=True)
            copy_prefix(os.path.abspath(template), self.folder)
            return
        subprocess.run([WINE, "wineboot", "--init"], env=self.env, timeout=make_timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.stop()
        if self.bits == 32:
            self.fill_syswow64()

    def fill_syswow64(self):
        syswow64 = os.path.join(self.folder, "drive_c", "windows", "syswow64")
        os.makedirs(syswow64, exist_ok=True)
        for name in os.listdir(WINDOWS_SIDE_32):
            target = os.path.join(syswow64, name)
            if not os.path.exists(target):
                shutil.copy2(os.path.join(WINDOWS_SIDE_32, name), target)

    def import_registry(self, text, timeout=120):
        """Imports text unless it is what the prefix has imported last; then restarts the
        server so that it reads the values."""
        record = os.path.join(self.folder, "kestrel.reg")
        try:
            with open(record, newline="") as f:
                if f.read() == text:
                    return
        except OSError:
            pass
        with open(record + ".new", "w", newline="") as f:
            f.write(text)
        subprocess.run([WINE, "reg", "import", record + ".new"], env=self.env, timeout=timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        self.stop()
        os.replace(record + ".new", record)

    def stop(self, timeout=60):
        """Ends the prefix's wineserver and waits for it, bounded."""
        subprocess.run([WINESERVER, "-k"], env=self.env, timeout=timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            subprocess.run([WINESERVER, "-w"], env=self.env, timeout=timeout,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass

    def map_com(self, number, device):
        """Makes COM<number> (1 to 6) the device path (which need not exist) for the programs
        started from now on."""
        link = os.path.join(self.ports, "com%d" % number)
        if os.path.lexists(link + ".new"):
            os.unlink(link + ".new")
        os.symlink(device, link + ".new")
        os.replace(link + ".new", link)

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
