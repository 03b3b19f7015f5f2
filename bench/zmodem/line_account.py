#!/usr/bin/env python3
"""Where the time of a transfer on the paced line went, from a line_emulator trace.

    line_account.py TRACE BAUD LATENCY-MS FILE-BYTES

The span measured by the benchmark, from the first to the last byte of the sender (a -> b)
due at the receiver, is the line's busy time plus the idle gaps between the sender's bytes.
A gap with receiver bytes in it is a round trip and splits exactly into
    latency                the sender's last byte on its way
  - overlap                the sender's trailing bytes that rz does not wait for (the XON
                           after a frame, CR LF XON after a hex header)
  + receiver turnaround    the last byte it needs due at b -> the first answering byte taken
  + answer on the line     that byte taken -> the answer's last needed byte due at a
                           (byte-times of the answer plus the latency, plus any stall of rz)
  + sender turnaround      that byte due at a -> the sender's next byte taken in
                           (of which: the relay's lateness in handing that byte over)
A gap without receiver bytes is a stall of the sender: before a frame end (where the sender
drains its port) or elsewhere. The ideal span keeps the bytes on the
line and, per round trip, the answer's bytes and twice the latency, less the overlap;
turnarounds are zero.
"""
import sys


def load(path, baud, latency_ns):
    """Per direction: list of (value, taken_ns, due_ns, written_ns)."""
    byte_ns = 1e10 / baud
    taken = {"ab": [], "ba": []}
    writes = {"ab": [], "ba": []}
    with open(path) as f:
        for line in f:
            w = line.split()
            if w[0] == "R":
                data = bytes.fromhex(w[5]) if len(w) > 5 else b""
                t, due0 = int(w[2]), int(w[3])
                for i, b in enumerate(data):
                    taken[w[1]].append([b, t, due0 + i * byte_ns, None])
            elif w[0] == "W":
                writes[w[1]].append((int(w[2]), int(w[3])))
    for d in ("ab", "ba"):
        k = 0
        for t, n in writes[d]:
            for _ in range(n):
                if k < len(taken[d]):
                    taken[d][k][3] = t
                k += 1
    return taken


def account(path, baud, latency_ms, size):
    latency = latency_ms * 1e6
    byte_ns = 1e10 / baud
    line = load(path, baud, latency)
    ab, ba = line["ab"], line["ba"]
    if len(ab) < 2:
        return "no bytes traced"
    span = ab[-1][2] - ab[0][2]
    busy = (len(ab) - 1) * byte_ns
    rounds = stalls = drains = trailing = 0
    sums = dict(latency=0.0, rz=0.0, answer=0.0, answer_bytes=0, sender=0.0, relay_late=0.0,
                stall=0.0, drain=0.0)
    sender_turns = []
    own_turns = []  # from the relay's write of the needed byte to the sender's next byte
    j = 0  # next receiver byte to look at: not what rz said before the sender began
    while j < len(ba) and ba[j][1] < ab[0][1]:
        j += 1
    for i in range(1, len(ab)):
        finished = ab[i - 1][2] - latency          # previous byte off the sender's end
        start = ab[i][2] - latency - byte_ns       # this byte on the line
        gap = start - finished
        if gap <= byte_ns / 1000:
            continue
        k = j
        while k < len(ba) and ba[k][2] <= start:
            k += 1
        if k == j:  # nothing came back: the sender paused on its own
            if ab[i][0] == 0x18 and i + 1 < len(ab) and ab[i + 1][0] in (0x68, 0x6B):
                drains += 1
                sums["drain"] += gap
            else:
                stalls += 1
                sums["stall"] += gap
            continue
        rounds += 1
        # The answer's last needed byte: the last CRC digit of the last complete hex header
        # (ZPAD ZDLE 'B', type, four position bytes, CRC-16: 14 digits after the 'B'); its
        # CR, 0x8A and XON may follow while the sender is already at work.
        # Earlier headers in the same gap (a receiver's second ZRINIT) went under the sender's
        # bytes; the round trip is the last one's.
        head, need = j, k - 1
        for m in range(j + 1, k):
            if ba[m][0] == 0x42 and ba[m - 1][0] == 0x18 and m + 14 < k:
                need = m + 14
                head = m - 3 if m >= 3 and ba[m - 3][0] == 0x2A else m - 2
        head = max(head, j)
        first, last = ba[head], ba[need]
        # The sender's own trailing bytes the receiver does not wait for: the XON after a
        # binary header or frame end, CR LF XON after a hex header.
        tail = 0
        if ab[i - 1][0] == 0x11:
            tail = 3 if i >= 3 and ab[i - 3][0] == 0x0D and ab[i - 2][0] in (0x0A, 0x8A) else 1
        trailing += tail
        sums["latency"] += latency
        sums["rz"] += first[1] - (ab[i - 1][2] - tail * byte_ns)
        sums["answer"] += last[2] - first[1]
        sums["answer_bytes"] += need - head + 1
        turn = start - last[2]
        sums["sender"] += turn
        sender_turns.append(turn)
        if last[3] is not None:
            sums["relay_late"] += max(0, last[3] - last[2])
            own_turns.append(start - max(last[3], last[2]))
        # rz writes a header whole: its CR, 0x8A and XON were taken with it.
        j = k
        while j < len(ba) and ba[j][1] <= start:
            j += 1
    ideal = busy + rounds * 2 * latency + (sums["answer_bytes"] - trailing) * byte_ns
    rate = baud / 10.0
    ms = 1e-6
    sender_turns.sort()
    median = sender_turns[len(sender_turns) // 2] if sender_turns else 0
    out = []
    out.append("span %.1f ms = efficiency %.2f%%; ideal %.1f ms = %.2f%%"
               % (span * ms, 100 * size / (span * 1e-9) / rate, ideal * ms,
                  100 * size / (ideal * 1e-9) / rate))
    out.append("  line busy     %8.1f ms  %d bytes out (%d file bytes)" % (busy * ms, len(ab), size))
    out.append("  round trips   %8d     answers %d bytes, %.1f ms on the line"
               % (rounds, sums["answer_bytes"], sums["answer_bytes"] * byte_ns * ms))
    out.append("  latency x2    %8.1f ms" % (2 * rounds * latency * ms))
    out.append("  overlap       %8.1f ms  the sender's trailing XON (CR LF XON) under the answer"
               % (-trailing * byte_ns * ms))
    out.append("  rz turnaround %8.1f ms  (%.0f us a round, from the last byte it needs)"
               % (sums["rz"] * ms, sums["rz"] / max(rounds, 1) / 1e3))
    out.append("  answer stall  %8.1f ms  (answer time beyond its bytes and latency)"
               % ((sums["answer"] - sums["answer_bytes"] * byte_ns - rounds * latency) * ms))
    out.append("  sender turn   %8.1f ms  (%.0f us a round, median %.0f us; relay lateness %.1f ms of it)"
               % (sums["sender"] * ms, sums["sender"] / max(rounds, 1) / 1e3, median / 1e3,
                  sums["relay_late"] * ms))
    out.append("  before ends   %8.1f ms  in %d gaps before a frame end, nothing from rz"
               % (sums["drain"] * ms, drains))
    own_turns.sort()
    if own_turns:
        out.append("  sender's own  %8.1f ms  (written -> next byte taken: median %.0f us, "
                   "90%% %.0f us)" % (sum(own_turns) * ms, own_turns[len(own_turns) // 2] / 1e3,
                                    own_turns[len(own_turns) * 9 // 10] / 1e3))
    out.append("  sender stalls %8.1f ms  in %d other gaps with nothing from rz" % (sums["stall"] * ms, stalls))
    return "\n".join(out)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit("usage: line_account.py TRACE BAUD LATENCY-MS FILE-BYTES")
    print(account(sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])))
