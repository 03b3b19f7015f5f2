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
"""
import fcntl
import os
import subprocess

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
PORTS = 6


def available():
    return os.access(WINE, os.X_OK) and os.access(WINESERVER, os.X_OK)


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
    def __init__(self, folder, make_timeout=300, env=None, registry=()):
        self.folder = os.path.abspath(folder)
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
                subprocess.run([WINE, "wineboot", "--init"], env=self.env, timeout=make_timeout,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.stop()
            self.import_registry(reg_text(ports + list(registry)))

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
        """Starts a Windows program in this prefix; returns its Popen."""
        return subprocess.Popen([WINE, *argv], env=self.env, start_new_session=True, **popen_args)


if __name__ == "__main__":
    # wine.py make FOLDER: makes the prefix (if it is not there yet) and leaves no server running.
    import sys
    if len(sys.argv) != 3 or sys.argv[1] != "make":
        sys.exit("usage: wine.py make FOLDER")
    wine_prefix(sys.argv[2]).stop()
