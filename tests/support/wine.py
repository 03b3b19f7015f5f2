"""A Wine prefix whose COM1 is a device path, for running Windows builds against a line.

    from wine import wine_prefix
    prefix = wine_prefix(folder)             # made on first use (bounded), kept for later runs
    prefix.map_com(1, device)                # HKLM\\Software\\Wine\\Ports "COM1" = device
    proc = prefix.run([exe, args...])        # a Popen; its wineserver is this prefix's own
    prefix.stop()                            # ends this prefix's wineserver

Only /usr/lib/wine/wine64 is used; prefixes are made with mscoree and mshtml disabled. A
mapping in dosdevices/ is overwritten when Wine starts, so the port goes into the registry and
the prefix's wineserver is restarted to read it. Keep prefixes under the build folder; use one
prefix per concurrent user, since a restart ends whatever runs in it.
"""
import fcntl
import os
import subprocess

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


def available():
    return os.access(WINE, os.X_OK) and os.access(WINESERVER, os.X_OK)


class wine_prefix:
    def __init__(self, folder, make_timeout=300):
        self.folder = os.path.abspath(folder)
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=self.folder, WINEARCH="win64", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        with open(self.folder + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not os.path.exists(os.path.join(self.folder, "system.reg")):
                subprocess.run([WINE, "wineboot", "--init"], env=self.env, timeout=make_timeout,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.stop()

    def stop(self, timeout=60):
        """Ends the prefix's wineserver and waits for it, bounded."""
        subprocess.run([WINESERVER, "-k"], env=self.env, timeout=timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            subprocess.run([WINESERVER, "-w"], env=self.env, timeout=timeout,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass

    def map_com(self, number, device, timeout=60):
        """Maps COM<number> to device and restarts the wineserver so that it takes effect."""
        subprocess.run([WINE, "reg", "add", r"HKLM\Software\Wine\Ports", "/v", "COM%d" % number,
                        "/t", "REG_SZ", "/d", device, "/f"], env=self.env, timeout=timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        self.stop()

    def run(self, argv, **popen_args):
        """Starts a Windows program in this prefix; returns its Popen."""
        return subprocess.Popen([WINE, *argv], env=self.env, start_new_session=True, **popen_args)


if __name__ == "__main__":
    # wine.py make FOLDER: makes the prefix (if it is not there yet) and leaves no server running.
    import sys
    if len(sys.argv) != 3 or sys.argv[1] != "make":
        sys.exit("usage: wine.py make FOLDER")
    wine_prefix(sys.argv[2]).stop()
