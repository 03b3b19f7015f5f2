"""What kestrel.exe finds in its program folder and what it shows, as the end-to-end tests and
tools/run see them: the text of tabsync.ini, a folder as the program sees it under Wine, and
the message boxes it showed, read from Wine's relay log.

    from program_folder import settings_text, windows_folder, message_boxes
    open("tabsync.ini", "wb").write(settings_text(windows_folder(folder), "LOOKUP.TXT", 40,
                                                  (1, 13), (15, 20), 0, 0, 0))
    prefix = wine_prefix(folder, registry=RELAY_MESSAGE_BOXES)   # relay tracing of the boxes
    for text, caption, owner, style in message_boxes(relay_log): ...
"""
import os
import re


def settings_text(folder, name, line_length, key1, key2, com_index, baud_index, show_dialog):
    """tabsync.ini as the program writes it: ten CR LF lines."""
    lines = [folder, name, str(line_length), str(key1[0]), str(key1[1]), str(key2[0]),
             str(key2[1]), chr(ord("1") + com_index), chr(ord("1") + baud_index),
             chr(ord("0") + show_dialog)]
    return "".join(line + "\r\n" for line in lines).encode("cp1250")


def windows_folder(path):
    """The folder as the program sees it under Wine: drive Z: is the root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\") + "\\"


# --- relay log of the message boxes --------------------------------------------------------

# With relay tracing on, Wine logs the text of every message box, and the job's wait.
RELAY_MESSAGE_BOXES = [(r"HKEY_CURRENT_USER\Software\Wine\Debug", "RelayInclude",
                        "user32.MessageBoxA;user32.MessageBoxW;kernel32.Sleep")]

RELAY_CALL = re.compile(
    r'Call user32\.MessageBox([AW])\(([0-9a-fA-F]+),[0-9a-fA-F]+ (L?"(?:[^"\\]|\\.)*"),'
    r'[0-9a-fA-F]+ (L?"(?:[^"\\]|\\.)*"),([0-9a-fA-F]+)\)')


def relay_string(quoted):
    body = quoted[2:-1] if quoted.startswith("L") else quoted[1:-1]
    out, i = [], 0
    while i < len(body):
        if body[i] == "\\" and i + 1 < len(body):
            nxt = body[i + 1]
            if nxt == "x":
                out.append(chr(int(body[i + 2:i + 4], 16)))
                i += 4
                continue
            if nxt == "u":
                out.append(chr(int(body[i + 2:i + 6], 16)))
                i += 6
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t"}.get(nxt, nxt))
            i += 2
            continue
        out.append(body[i])
        i += 1
    return "".join(out)


def message_boxes(relay_log):
    """[(text, caption, owner, style)] of every MessageBoxA/W call in the log, in order."""
    try:
        with open(relay_log, "r", errors="replace") as f:
            log = f.read()
    except OSError:
        return []
    return [(relay_string(m.group(3)), relay_string(m.group(4)), int(m.group(2), 16),
             int(m.group(5), 16)) for m in RELAY_CALL.finditer(log)]
