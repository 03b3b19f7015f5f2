#!/usr/bin/env python3
"""Static checks of the 32-bit deliverables, kestrel.exe and ZKW_DBF.dll.

Reads the PE files directly (headers, export and import tables, resources) and compares them
with what an operator's PC expects: PE32 images, a GUI program, the library's fifteen exports
by name and ordinal, the program's imports from the library by ordinal only, the Properties
dialog template control by control, the icon group and the version block.

The zip check opens the operator's release: exactly its five files, every program in it a
PE32 image of the right subsystem that needs no DLL beyond Windows' own and the zip's, and a
CR LF guide that names every message the programs show.

Usage: check_pe.py CHECK --exe kestrel.exe --dll ZKW_DBF.dll --def ZKW_DBF.def --version V
                   [--release DIR] [--zip ZIP --messages messages.h]
CHECK is one of the names in CHECKS below, or "all". Exit status 0 when every fault list is
empty; each fault is printed on a line of its own.
"""
import argparse
import re
import struct
import sys
import zipfile

# --- Window and control styles (winuser.h), for a readable dialog table ---------------------
WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_CAPTION, WS_BORDER, WS_VSCROLL = 0x00C00000, 0x00800000, 0x00200000
WS_SYSMENU, WS_GROUP, WS_TABSTOP = 0x00080000, 0x00020000, 0x00010000
DS_3DLOOK, DS_SETFONT, DS_MODALFRAME, DS_CENTER = 0x0004, 0x0040, 0x0080, 0x0800
SS_LEFT = 0x0000
ES_AUTOHSCROLL = 0x0080
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_CHECKBOX, BS_GROUPBOX = 0x0000, 0x0001, 0x0002, 0x0007
CBS_DROPDOWN, CBS_DROPDOWNLIST = 0x0002, 0x0003

LABEL = WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP
HIDDEN_LABEL = WS_CHILD | SS_LEFT | WS_GROUP
EDIT = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP
EDIT_SCROLLS = EDIT | ES_AUTOHSCROLL
BUTTON = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON
HIDDEN_LIST = WS_CHILD | CBS_DROPDOWNLIST
NONE = 0xFFFFFFFF  # a control without an id of its own (-1)

DIALOG_STYLE = WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_3DLOOK | DS_CENTER | DS_SETFONT
DIALOG_SIZE = (511, 164)
DIALOG_FONT = (8, "Helv")
DIALOG_CAPTION = "Merlo transfer danych Zmodem"

# id, class, text, (x, y, cx, cy), style: in template order, which is also the tab order.
DIALOG_CONTROLS = [
    (NONE, "Static", "Katalog  :", (12, 12, 48, 12), LABEL),
    (601, "Edit", "", (47, 9, 124, 14), EDIT_SCROLLS),
    (501, "Button", "...", (188, 9, 20, 14), BUTTON),
    (NONE, "Static", "Plik :", (12, 32, 48, 12), LABEL),
    (602, "Edit", "", (50, 30, 120, 14), EDIT),
    (NONE, "Static", "&COM port :", (12, 52, 48, 12), LABEL),
    (701, "ComboBox", "", (49, 51, 70, 87), WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST),
    (803, "Button", "Zawsze wyświetlaj to okno", (21, 94, 160, 14), WS_CHILD | BS_CHECKBOX),
    (1, "Button", "OK", (61, 114, 40, 14),
     WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON),
    (2, "Button", "Cancel", (115, 114, 40, 14), BUTTON),
    (603, "Edit", "", (319, 7, 58, 14), EDIT_SCROLLS),
    (NONE, "Static", "Długość lini :", (265, 8, 53, 12), LABEL),
    (604, "Edit", "", (290, 43, 58, 14), EDIT_SCROLLS),
    (605, "Edit", "", (291, 66, 58, 14), EDIT_SCROLLS),
    (NONE, "Static", "Przesunięcie :", (234, 45, 51, 12), LABEL),
    (NONE, "Static", "Dł. pola kluczowego :", (234, 65, 52, 23), LABEL),
    (NONE, "Static", None, (181, 137, 88, 8), HIDDEN_LABEL),  # its text is ours to word
    (703, "ComboBox", "", (281, 134, 87, 100), HIDDEN_LIST),
    (NONE, "Static", "&Lookup :", (191, 98, 38, 12), HIDDEN_LABEL),
    (NONE, "Static", "&Index :", (198, 116, 38, 12), HIDDEN_LABEL),
    (704, "ComboBox", "", (244, 96, 60, 100), HIDDEN_LIST),
    (705, "ComboBox", "", (246, 115, 60, 69), HIDDEN_LIST),
    (702, "ComboBox", "", (49, 71, 69, 86),
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN),
    (NONE, "Static", "Baud rate", (7, 70, 38, 13), LABEL),
    (1011, "Edit", "", (368, 42, 58, 14), EDIT_SCROLLS),
    (1012, "Edit", "", (368, 66, 58, 14), EDIT_SCROLLS),
    (NONE, "Static", "INDEX1", (301, 27, 48, 10), LABEL),
    (NONE, "Static", "INDEX2", (382, 26, 27, 8), LABEL),
    (NONE, "Button", "", (280, 20, 78, 63), WS_CHILD | WS_VISIBLE | BS_GROUPBOX),
    (NONE, "Button", "", (356, 20, 82, 63), WS_CHILD | WS_VISIBLE | BS_GROUPBOX),
]

EXPORT_COUNT = 15
IMPORTED_ORDINALS = [1, 2, 3, 5, 7, 8, 14]
LANG_POLISH = 0x0415

RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION = 3, 5, 14, 16
CLASS_ORDINALS = {0x80: "Button", 0x81: "Edit", 0x82: "Static", 0x83: "ListBox",
                  0x84: "ScrollBar", 0x85: "ComboBox"}


class Image:
    """A PE file: its sections and the data directories needed here."""

    def __init__(self, path, data=None):
        if data is None:
            with open(path, "rb") as f:
                data = f.read()
        self.data = data
        self.path = path
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError(f"{path}: no MZ header")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: no PE signature")
        (self.machine, sections, _, _, _, opt_size, self.characteristics) = \
            struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        if self.magic == 0x10B:
            self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
            dirs = opt + 96
        else:
            self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
            dirs = opt + 112
        self.directories = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(16)]
        self.sections = []
        at = opt + opt_size
        for i in range(sections):
            name, vsize, va, rsize, raw = struct.unpack_from("<8sIIII", d, at + 40 * i)
            self.sections.append((va, max(vsize, rsize), raw))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError(f"{self.path}: address {rva:#x} in no section")

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    # -- exports and imports --
    def exports(self):
        rva, size = self.directories[0]
        self.export_count = 0
        if not rva:
            return {}
        base, functions, names, _, name_table, ordinal_table = \
            (self.u32(rva + 16), self.u32(rva + 20), self.u32(rva + 24), self.u32(rva + 28),
             self.u32(rva + 32), self.u32(rva + 36))
        result = {}
        for i in range(names):
            name = self.cstring(self.u32(name_table + 4 * i))
            result[name] = base + self.u16(ordinal_table + 2 * i)
        self.export_count = functions
        return result

    def imports(self):
        """{dll name: [("ordinal", n) or ("name", text), ...]} in table order."""
        rva, _ = self.directories[1]
        result = {}
        entry_size = 4 if self.magic == 0x10B else 8
        ordinal_flag = 1 << (8 * entry_size - 1)
        while rva:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                break
            table = lookup or thunks
            entries = []
            while True:
                at = self.offset(table)
                value = struct.unpack_from("<I" if entry_size == 4 else "<Q", self.data, at)[0]
                if value == 0:
                    break
                if value & ordinal_flag:
                    entries.append(("ordinal", value & 0xFFFF))
                else:
                    entries.append(("name", self.cstring(value + 2)))
                table += entry_size
            result[self.cstring(name)] = entries
            rva += 20
        return result

    # -- resources --
    def resources(self):
        """{(type, name): {language: bytes}}; type and name are ints or upper-case strings."""
        root, _ = self.directories[2]
        if not root:
            return {}
        base = self.offset(root)
        d = self.data

        def entries(at):
            named, ids = struct.unpack_from("<HH", d, base + at + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", d, base + at + 16 + 8 * i)
                if key & 0x80000000:
                    length = struct.unpack_from("<H", d, base + (key & 0x7FFFFFFF))[0]
                    start = base + (key & 0x7FFFFFFF) + 2
                    key = d[start:start + 2 * length].decode("utf-16-le")
                yield key, target

        result = {}
        for rtype, t in entries(0):
            for name, n in entries(t & 0x7FFFFFFF):
                for lang, leaf in entries(n & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", d, base + leaf)
                    at = self.offset(data_rva)
                    result.setdefault((rtype, name), {})[lang] = d[at:at + size]
        return result


def read_sz_or_ord(data, at):
    """A dialog template's name-or-ordinal field: (value, next offset)."""
    first = struct.unpack_from("<H", data, at)[0]
    if first == 0:
        return "", at + 2
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def parse_dialogex(data):
    version, signature, _, ex_style, style, count, x, y, cx, cy = \
        struct.unpack_from("<HHIIIHhhhh", data, 0)
    if (version, signature) != (1, 0xFFFF):
        raise ValueError("not an extended dialog template")
    at = 26
    menu, at = read_sz_or_ord(data, at)
    window_class, at = read_sz_or_ord(data, at)
    title, at = read_sz_or_ord(data, at)
    dialog = {"style": style, "ex_style": ex_style, "size": (cx, cy), "position": (x, y),
              "menu": menu, "class": window_class, "title": title, "font": None, "controls": []}
    if style & DS_SETFONT:
        points, weight, italic, charset = struct.unpack_from("<HHBB", data, at)
        face, at = read_sz_or_ord(data, at + 6)
        dialog["font"] = (points, face)
    for _ in range(count):
        at = (at + 3) & ~3
        _, ex, cstyle, x, y, cx, cy, cid = struct.unpack_from("<IIIhhhhI", data, at)
        at += 24
        cls, at = read_sz_or_ord(data, at)
        text, at = read_sz_or_ord(data, at)
        extra = struct.unpack_from("<H", data, at)[0]
        at += 2 + extra
        if isinstance(cls, int):
            cls = CLASS_ORDINALS.get(cls, f"#{cls:#x}")
        elif cls.lower() in (n.lower() for n in CLASS_ORDINALS.values()):
            cls = next(n for n in CLASS_ORDINALS.values() if n.lower() == cls.lower())
        dialog["controls"].append({"id": cid, "class": cls, "text": text,
                                   "rect": (x, y, cx, cy), "style": cstyle, "ex_style": ex})
    return dialog


def read_def(path):
    """{name: ordinal} of the EXPORTS lines ("    create_DBF      @1") of a .def file."""
    exports = {}
    with open(path, encoding="ascii") as f:
        for line in f:
            match = re.match(r"\s+([A-Za-z_]\w*)\s+@(\d+)", line)
            if match:
                exports[match.group(1)] = int(match.group(2))
    return exports


# --- the checks: each returns a list of faults ----------------------------------------------

def check_headers(exe, dll, expect):
    faults = []
    for image, subsystem in ((exe, 2), (dll, None)):
        if image.machine != 0x14C:
            faults.append(f"{image.path}: machine {image.machine:#x}, not i386 (0x14c)")
        if image.magic != 0x10B:
            faults.append(f"{image.path}: optional header magic {image.magic:#x}, not PE32")
        if subsystem is not None and image.subsystem != subsystem:
            faults.append(f"{image.path}: subsystem {image.subsystem}, not the GUI (2)")
    if not dll.characteristics & 0x2000:
        faults.append(f"{dll.path}: not marked as a DLL")
    if exe.characteristics & 0x2000:
        faults.append(f"{exe.path}: marked as a DLL")
    return faults


def check_exports(exe, dll, expect):
    exports = expect.exports
    found = dll.exports()
    faults = [f"export {name}: ordinal {found.get(name)}, expected {ordinal}"
              for name, ordinal in exports.items() if found.get(name) != ordinal]
    faults += [f"unexpected export {name} @{ordinal}" for name, ordinal in found.items()
               if name not in exports]
    if len(exports) != EXPORT_COUNT:
        faults.append(f"the .def lists {len(exports)} exports, expected {EXPORT_COUNT}")
    if dll.export_count != EXPORT_COUNT:
        faults.append(f"{dll.export_count} exported functions, expected {EXPORT_COUNT}")
    return faults


def check_imports(exe, dll, expect):
    tables = {name.lower(): entries for name, entries in exe.imports().items()}
    entries = tables.get("zkw_dbf.dll")
    if entries is None:
        return [f"kestrel.exe does not import from ZKW_DBF.dll (imports: {sorted(tables)})"]
    faults = [f"import from ZKW_DBF.dll by name: {value}" for kind, value in entries
              if kind == "name"]
    ordinals = sorted(value for kind, value in entries if kind == "ordinal")
    if ordinals != IMPORTED_ORDINALS:
        faults.append(f"ordinals imported from ZKW_DBF.dll: {ordinals}, "
                      f"expected {IMPORTED_ORDINALS}")
    for name in tables:
        if name.startswith(("libgcc", "libstdc++", "libwinpthread")):
            faults.append(f"kestrel.exe needs {name}, which does not travel with it")
    return faults


def check_dialog(exe, dll, expect):
    res = exe.resources()
    found = res.get((RT_DIALOG, "PROPERTIESDLG"))
    if not found:
        return ["no dialog resource PropertiesDlg"]
    if list(found) != [LANG_POLISH]:
        return [f"dialog languages {[hex(l) for l in found]}, expected Polish (0x415) only"]
    dialog = parse_dialogex(found[LANG_POLISH])
    faults = []
    for key, expected in (("style", DIALOG_STYLE), ("size", DIALOG_SIZE),
                          ("font", DIALOG_FONT), ("title", DIALOG_CAPTION),
                          ("menu", ""), ("class", "")):
        if dialog[key] != expected:
            shown = hex(dialog[key]) if key == "style" else repr(dialog[key])
            faults.append(f"dialog {key}: {shown}, expected "
                          f"{hex(expected) if key == 'style' else repr(expected)}")
    controls = dialog["controls"]
    if len(controls) != len(DIALOG_CONTROLS):
        faults.append(f"{len(controls)} controls, expected {len(DIALOG_CONTROLS)}")
    for order, (got, want) in enumerate(zip(controls, DIALOG_CONTROLS), start=1):
        cid, cls, text, rect, style = want
        where = f"control {order} (id {cid if cid != NONE else 'none'})"
        if got["id"] != cid:
            faults.append(f"{where}: id {got['id']}")
        if got["class"] != cls:
            faults.append(f"{where}: class {got['class']}, expected {cls}")
        if text is not None and got["text"] != text:
            faults.append(f"{where}: text {got['text']!r}, expected {text!r}")
        if text is None and not got["text"]:
            faults.append(f"{where}: no text")
        if got["rect"] != rect:
            faults.append(f"{where}: at {got['rect']}, expected {rect}")
        if got["style"] != style:
            faults.append(f"{where}: style {got['style']:#010x}, expected {style:#010x}")
    return faults


def check_icon(exe, dll, expect):
    res = exe.resources()
    group = res.get((RT_GROUP_ICON, "LOOKUP"))
    if not group:
        return ["no icon group named lookup"]
    data = next(iter(group.values()))
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    faults = []
    if (reserved, kind) != (0, 1) or count < 1:
        faults.append(f"icon group header {reserved}, {kind}, {count}")
    for i in range(count):
        width, height, _, _, _, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", data,
                                                                         6 + 14 * i)
        icon = res.get((RT_ICON, icon_id))
        if not icon:
            faults.append(f"icon group entry {i}: icon {icon_id} missing")
        elif len(next(iter(icon.values()))) != size:
            faults.append(f"icon group entry {i}: icon {icon_id} is not {size} bytes")
    return faults


def check_version(exe, dll, expect):
    res = exe.resources()
    found = res.get((RT_VERSION, 1))
    if not found:
        return ["no version resource"]
    data = next(iter(found.values()))
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return ["version resource without fixed file information"]
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", data, at + 8)
    faults = []
    for what, ms, ls in (("file", file_ms, file_ls), ("product", product_ms, product_ls)):
        got = ".".join(map(str, (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)))
        if got != expect.version:
            faults.append(f"{what} version {got}, expected {expect.version}")
    text = data.decode("utf-16-le", errors="replace")
    if expect.version not in text:
        faults.append(f"the version strings do not read {expect.version}")
    return faults


def check_release(exe, dll, expect):
    release = expect.release
    if release is None:
        return ["no release folder given"]
    faults = []
    for image, name in ((exe, "kestrel.exe"), (dll, "ZKW_DBF.dll")):
        try:
            with open(f"{release}/{name}", "rb") as f:
                if f.read() != image.data:
                    faults.append(f"{release}/{name} differs from the build's {name}")
        except OSError as error:
            faults.append(f"{release}/{name}: {error.strerror}")
    return faults


# The zip: each file, and the subsystem of each program (2 GUI, 3 console; None: a DLL).
ZIP_FILES = {"kestrel.exe": 2, "ZKW_DBF.dll": None, "kestrel-cli.exe": 3, "zkwdbf.exe": 3,
             "GUIDE.TXT": None}
# DLLs that every Windows has.
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comdlg32.dll", "advapi32.dll",
                "shell32.dll", "msvcrt.dll", "ws2_32.dll", "ole32.dll", "comctl32.dll"}


def check_zip_image(image, subsystem, shipped):
    faults = []
    if (image.machine, image.magic) != (0x14C, 0x10B):
        faults.append(f"{image.path}: not a PE32 image for i386")
    is_dll = bool(image.characteristics & 0x2000)
    if is_dll != (subsystem is None):
        faults.append(f"{image.path}: {'a DLL' if is_dll else 'not a DLL'}")
    if subsystem is not None and image.subsystem != subsystem:
        faults.append(f"{image.path}: subsystem {image.subsystem}, expected {subsystem}")
    for name in image.imports():
        if name.lower() not in WINDOWS_DLLS | shipped:
            faults.append(f"{image.path} needs {name}, which is neither Windows' nor the zip's")
    return faults


def check_guide(text, messages_h, version):
    """CR LF throughout, plain ASCII, the version, and every message the programs show."""
    faults = []
    if re.search(rb"(?<!\r)\n|\r(?!\n)", text):
        faults.append("GUIDE.TXT: a line not ended by CR LF")
    if any(b > 0x7E and b not in (0x0D, 0x0A) for b in text):
        faults.append("GUIDE.TXT: bytes beyond ASCII")
    if version.encode() not in text:
        faults.append(f"GUIDE.TXT: no version {version}")
    with open(messages_h, encoding="utf-8") as f:
        shown = re.findall(r'#define (MSG_\w+)\s+"([^"\\]*)"\s*$', f.read(), re.M)
    for name, message in shown:
        if not name.startswith(("MSG_PROGRESS", "MSG_BAD_", "MSG_CAPTION")) and \
                f'"{message}"'.encode() not in text:
            faults.append(f"GUIDE.TXT does not explain \"{message}\"")
    return faults


def check_zip(exe, dll, expect):
    zip_path, messages_h = expect.zip, expect.messages
    if zip_path is None or messages_h is None:
        return ["no zip or no messages.h given"]
    with zipfile.ZipFile(zip_path) as archive:
        contents = {info.filename: archive.read(info) for info in archive.infolist()}
    faults = [f"{name}: missing" for name in ZIP_FILES if name not in contents]
    faults += [f"{name}: not expected" for name in contents if name not in ZIP_FILES]
    shipped = {name.lower() for name in contents if name.lower().endswith(".dll")}
    for name, subsystem in ZIP_FILES.items():
        if name in contents and name != "GUIDE.TXT":
            faults += check_zip_image(Image(name, contents[name]), subsystem, shipped)
    for image, name in ((exe, "kestrel.exe"), (dll, "ZKW_DBF.dll")):
        if contents.get(name, image.data) != image.data:
            faults.append(f"{name} differs from the build's")
    if "GUIDE.TXT" in contents:
        faults += check_guide(contents["GUIDE.TXT"], messages_h, expect.version)
    return faults


CHECKS = {"headers": check_headers, "exports": check_exports, "imports": check_imports,
          "dialog": check_dialog, "icon": check_icon, "version": check_version,
          "release": check_release, "zip": check_zip}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("check", choices=[*CHECKS, "all"])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--def", dest="def_file", required=True,
                        help="the library's module-definition file: the expected exports")
    parser.add_argument("--version", required=True, help="the expected version: four numbers with dots")
    parser.add_argument("--release")
    parser.add_argument("--zip")
    parser.add_argument("--messages")
    args = parser.parse_args()
    args.exports = read_def(args.def_file)
    exe, dll = Image(args.exe), Image(args.dll)
    names = list(CHECKS) if args.check == "all" else [args.check]
    faults = []
    for name in names:
        faults += [f"{name}: {f}" for f in CHECKS[name](exe, dll, args)]
    for fault in faults:
        print(fault)
    print(f"{len(names) - len({f.split(':')[0] for f in faults})} passed, "
          f"{len({f.split(':')[0] for f in faults})} failed")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
