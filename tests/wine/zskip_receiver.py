"""A scripted ZMODEM receiver that refuses every file: it answers the sender's invitation with
ZRINIT and the file offer with ZSKIP, then listens until the sender cancels or goes quiet.

    from zskip_receiver import skipping_receiver
    with skipping_receiver(device) as receiver:   # runs in a thread of its own
        ... run the sender on the other end ...
    receiver.events    # what it saw and did, in order: "ZRQINIT", "ZRINIT sent", "ZFILE",
                       # "ZSKIP sent", "cancelled" or "quiet"

Only the bytes needed to recognise the two frames are decoded: the hex ZRQINIT header and the
start of a binary header with its frame type. Every wait is bounded.
"""
import os
import select
import threading
import time
from contextlib import contextmanager

ZPAD, ZDLE, ZHEX, ZBIN, ZBIN32 = 0x2A, 0x18, 0x42, 0x41, 0x43
ZRQINIT, ZRINIT, ZFILE, ZSKIP = 0, 1, 4, 5
CANFDX, CANOVIO, CANFC32 = 0x01, 0x02, 0x20


def crc16(data):
    """CRC-16/XMODEM of the header's type and four bytes."""
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def hex_header(frame_type, p0=0, p1=0, p2=0, p3=0):
    """A hex header as a receiver sends it: ** ZDLE B, ten hex digits, the CRC, CR LF|0x80, XON."""
    body = bytes([frame_type, p0, p1, p2, p3])
    crc = crc16(body)
    digits = (body + bytes([crc >> 8, crc & 0xFF])).hex().encode()
    return bytes([ZPAD, ZPAD, ZDLE, ZHEX]) + digits + b"\r\x8a\x11"


class receiver:
    def __init__(self, device, quiet_after):
        self.fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
        self.quiet_after = quiet_after
        self.events = []
        self.received = bytearray()
        self.stop = threading.Event()

    def read_some(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return b""
        try:
            return os.read(self.fd, 4096)
        except OSError:
            return b""

    def wait_for(self, pattern, timeout):
        """Reads until pattern has arrived (since the last wait); False on time-out."""
        start = len(self.received)
        deadline = time.monotonic() + timeout
        while not self.stop.is_set() and time.monotonic() < deadline:
            if pattern in self.received[start:]:
                return True
            self.received += self.read_some(0.2)
        return pattern in self.received[start:]

    def run(self, invitation_timeout=60.0):
        # ZRQINIT: a hex header of type 00.
        if not self.wait_for(bytes([ZPAD, ZPAD, ZDLE, ZHEX]) + b"00", invitation_timeout):
            self.events.append("quiet")
            return
        self.events.append("ZRQINIT")
        os.write(self.fd, hex_header(ZRINIT, 0, 0, 0, CANFDX | CANOVIO | CANFC32))
        self.events.append("ZRINIT sent")
        # ZFILE: a binary CRC-32 header whose type byte is 04.
        if not self.wait_for(bytes([ZPAD, ZDLE, ZBIN32, ZFILE]), self.quiet_after):
            self.events.append("quiet")
            return
        self.events.append("ZFILE")
        os.write(self.fd, hex_header(ZSKIP))
        self.events.append("ZSKIP sent")
        # The sender gives up with its cancel sequence: a run of CAN (0x18) bytes.
        if self.wait_for(bytes([ZDLE] * 5), self.quiet_after):
            self.events.append("cancelled")
        else:
            self.events.append("quiet")


@contextmanager
def skipping_receiver(device, quiet_after=60.0):
    r = receiver(device, quiet_after)
    thread = threading.Thread(target=r.run, daemon=True)
    thread.start()
    try:
        yield r
    finally:
        r.stop.set()
        thread.join(timeout=5)
        os.close(r.fd)
