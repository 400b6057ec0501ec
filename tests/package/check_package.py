#!/usr/bin/env python3
"""Checks the built ksvinstall.exe as Windows will load it.

The log dialog's template is compared byte for byte with one built here from
the dialog's table of values (not from the .rc script), the manifest is
parsed as XML, the version resource must carry the build (KSV_BUILD in the
environment, 2501 when unset), and the program's
import table may name nothing but Known DLLs: any other DLL would be looked
for in the program's own folder first (where a setup's download folder lets
anyone drop one), and a MinGW runtime DLL would be missing on the user's
machine. Other system DLLs are delay-loaded, after SetDefaultDllDirectories
has limited the search to the system directory, so that call must be
imported. With --tray the file is kestray.exe: its imports, its version and
its icon (the product's in Add/Remove Programs).

With --msi, the Windows Installer package: its custom action, which msiexec
loads into its own process, so it may import Known DLLs and msi.dll only and
carries the build's version; and the tables as Windows Installer's rules
want them (short names, file versions, Add/Remove Programs properties, the
public properties, immediate actions that impersonate, the Error table) and
the order of the custom actions: each rollback action before what it undoes,
the checks before anything changes, the restart asked for after the script.

With --shipped, every program and DLL a publisher ships (dist/Kestrovane/,
the custom action in dist/msi/ and inside the MSI): no symbol table and no
debug sections, and the release date of the MSI in every header, which
tells a stripped file that was stamped with the time of the build. Prints
the sizes, beside those of the unstripped copies in dist/symbols/.

usage: check_package.py [--tray] path/to/ksvinstall.exe | --msi path/to/Kestrovane-<version>.msi
       | --shipped path/to/dist
"""
import glob
import os
import re
import subprocess
import struct
import sys
import tempfile
import xml.etree.ElementTree as ET

# Known DLLs of 64-bit Windows 10 and 11 (the values of HKLM\SYSTEM\
# CurrentControlSet\Control\Session Manager\KnownDLLs): always taken from
# the system directory. version.dll, winspool.drv and comctl32.dll are not.
KNOWN_DLLS = {"advapi32.dll", "combase.dll", "comdlg32.dll", "gdi32.dll", "imm32.dll",
              "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll", "rpcrt4.dll",
              "sechost.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
              "ws2_32.dll"}

RT_DIALOG = 5
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24
LANG_EN_US = 1033

BUILD = int(os.environ.get("KSV_BUILD") or 2501)
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


# --- reading a PE file's resource tree -------------------------------------


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        machine, sections, stamp, symbols, symbol_count, optional_size, _ = struct.unpack_from(
            "<HHIIIHH", data, pe + 4)
        self.machine = machine
        self.stamp = stamp
        self.symbol_table = (symbols, symbol_count)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        if magic != 0x20B:
            raise ValueError("not a PE32+ image")
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + 112
        self.import_rva = struct.unpack_from("<I", data, directories + 1 * 8)[0]
        self.rsrc_rva, self.rsrc_size = struct.unpack_from("<II", data, directories + 2 * 8)
        self.sections = []
        self.section_names = []
        table = optional + optional_size
        for i in range(sections):
            entry = table + 40 * i
            vsize, rva, raw_size, raw_ptr = struct.unpack_from("<IIII", data, entry + 8)
            self.sections.append((rva, max(vsize, raw_size), raw_ptr, raw_size))
            self.section_names.append(data[entry:entry + 8].rstrip(b"\0").decode("latin-1"))

    def offset(self, rva):
        for start, size, raw_ptr, raw_size in self.sections:
            if start <= rva < start + size:
                if rva - start >= raw_size:
                    raise ValueError("RVA 0x%x is not backed by file data" % rva)
                return raw_ptr + rva - start
        raise ValueError("RVA 0x%x lies in no section" % rva)

    def text_at(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{DLL name: [imported function names]} as the import directory lists them."""
        found = {}
        at = self.offset(self.import_rva) if self.import_rva else None
        while at is not None:
            descriptor = struct.unpack_from("<5I", self.data, at)
            if not any(descriptor):
                break
            functions = []
            thunk = self.offset(descriptor[0] or descriptor[4])
            while True:
                entry = struct.unpack_from("<Q", self.data, thunk)[0]
                if entry == 0:
                    break
                if not entry >> 63:  # by name: a hint, then the name
                    functions.append(self.text_at(entry + 2))
                thunk += 8
            found[self.text_at(descriptor[3])] = functions
            at += 20
        return found

    def resources(self):
        """{(type, name, language): (bytes, code page)} for the numeric ids."""
        found = {}
        if not self.rsrc_rva:
            return found
        base = self.offset(self.rsrc_rva)

        def entries(dir_offset):
            named, ids = struct.unpack_from("<HH", self.data, base + dir_offset + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, base + dir_offset + 16 + 8 * i)
                yield key, target

        for type_id, type_dir in entries(0):
            for name_id, name_dir in entries(type_dir & 0x7FFFFFFF):
                for lang_id, leaf in entries(name_dir & 0x7FFFFFFF):
                    rva, size, code_page, _ = struct.unpack_from("<IIII", self.data, base + leaf)
                    start = self.offset(rva)
                    key = (type_id, name_id, lang_id)
                    check(key not in found, "resource %r appears twice" % (key,))
                    found[key] = (self.data[start:start + size], code_page)
        return found


# --- the log dialog as its table describes it ----------------------------------


def words(*values):
    return struct.pack("<%dH" % len(values), *values)


def text(s):
    return s.encode("utf-16-le") + b"\0\0"


def pad4(block):
    return block + b"\0" * (-len(block) % 4)


def expected_dialog():
    head = words(1, 0xFFFF)  # DLGTEMPLATEEX version 1
    head += struct.pack("<III", 0, 0, 0x80C808C8)  # help id, ex style, style
    head += words(2) + struct.pack("<hhhh", 0, 0, 451, 228)
    head += words(0) + words(0) + words(0)  # no menu, standard class, empty title
    head += words(8, 400) + bytes([0, 1]) + text("MS Shell Dlg")

    def item(atom, ident, title, x, y, cx, cy, style):
        body = struct.pack("<III", 0, 0, style) + struct.pack("<hhhh", x, y, cx, cy)
        body += struct.pack("<I", ident) + words(0xFFFF, atom)
        body += text(title) if title else words(0)
        return body + words(0)  # no creation data

    block = pad4(head)
    block += item(0x0080, 1, "Close", 394, 207, 50, 14, 0x50010001)
    block = pad4(block)
    block += item(0x0081, 1001, "", 7, 7, 437, 194, 0x50A108C4)
    return block


def first_difference(a, b):
    for i in range(min(len(a), len(b))):
        if a[i] != b[i]:
            return i
    return min(len(a), len(b))


def check_dialog(resources):
    dialogs = {k: v for k, v in resources.items() if k[0] == RT_DIALOG}
    if not check((RT_DIALOG, 101, LANG_EN_US) in dialogs,
                 "no RT_DIALOG 101 in language 1033 (found %r)" % sorted(dialogs)):
        return
    check(len(dialogs) == 1, "more dialogs than 101: %r" % sorted(dialogs))
    actual = dialogs[(RT_DIALOG, 101, LANG_EN_US)][0]
    expected = expected_dialog()
    check(len(expected) == 140, "the expected template is %d bytes, not 140" % len(expected))
    if actual != expected:
        at = first_difference(actual, expected)
        check(False, "dialog 101 differs at byte %d (%d bytes, expected %d)\n  got      %s\n"
              "  expected %s" % (at, len(actual), len(expected), actual[at:at + 16].hex(" "),
                                 expected[at:at + 16].hex(" ")))


def check_manifest(resources):
    manifests = {k: v for k, v in resources.items() if k[0] == RT_MANIFEST}
    if not check([k[1] for k in manifests] == [1],
                 "want exactly one RT_MANIFEST with id 1, found %r" % sorted(manifests)):
        return
    raw = next(iter(manifests.values()))[0]
    try:
        root = ET.fromstring(raw)
    except ET.ParseError as error:
        check(False, "manifest is not well-formed XML: %s" % error)
        return
    v1 = "{urn:schemas-microsoft-com:asm.v1}"
    v3 = "{urn:schemas-microsoft-com:asm.v3}"
    check(root.tag == v1 + "assembly", "manifest root is %s" % root.tag)
    check(root.get("manifestVersion") == "1.0", "manifestVersion is not 1.0")

    identity = root.find(v1 + "assemblyIdentity")
    want = {"name": "Kestrovane.Install", "version": "1.0.0.0", "processorArchitecture": "amd64",
            "type": "win32"}
    if check(identity is not None, "manifest has no assemblyIdentity"):
        for key, value in want.items():
            check(identity.get(key) == value,
                  "assemblyIdentity %s is %r, want %r" % (key, identity.get(key), value))

    dependency = root.find("%sdependency/%sdependentAssembly/%sassemblyIdentity" % (v1, v1, v1))
    want = {"name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0", "type": "win32",
            "publicKeyToken": "6595b64144ccf1df", "language": "*", "processorArchitecture": "*"}
    if check(dependency is not None, "manifest has no dependency on the common controls"):
        for key, value in want.items():
            check(dependency.get(key) == value,
                  "common controls %s is %r, want %r" % (key, dependency.get(key), value))

    levels = root.findall(".//%srequestedExecutionLevel" % v3)
    if check(len(levels) == 1, "want one requestedExecutionLevel, found %d" % len(levels)):
        check(levels[0].get("level") == "requireAdministrator",
              "execution level is %r" % levels[0].get("level"))
        check(levels[0].get("uiAccess") == "false", "uiAccess is %r" % levels[0].get("uiAccess"))


def check_version(resources):
    build = "1.0.0.%d" % BUILD
    versions = {k: v for k, v in resources.items() if k[0] == RT_VERSION}
    if not check((RT_VERSION, 1, LANG_EN_US) in versions,
                 "no version resource 1 in language 1033 (found %r)" % sorted(versions)):
        return
    raw = versions[(RT_VERSION, 1, LANG_EN_US)][0]
    at = raw.find(b"\xbd\x04\xef\xfe")  # VS_FIXEDFILEINFO signature
    if not check(at >= 0, "version resource has no VS_FIXEDFILEINFO"):
        return
    fixed = struct.unpack_from("<13I", raw, at)
    version = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    check(version(fixed[2], fixed[3]) == (1, 0, 0, BUILD), "file version is %r" % (
        version(fixed[2], fixed[3]),))
    check(version(fixed[4], fixed[5]) == (1, 0, 0, BUILD), "product version is %r" % (
        version(fixed[4], fixed[5]),))
    for name in ("FileVersion", "ProductVersion"):
        needle = text(name)
        check(needle in raw and text(build) in raw, "version strings lack %s %s" % (name, build))


SIZE_GOAL = 300 * 1024


def check_custom_action(msi):
    dll = subprocess.run(["msiinfo", "extract", msi, "Binary.ksvmsi"], capture_output=True,
                         check=True).stdout
    pe = Pe(dll)
    check(pe.machine == 0x8664, "ksvmsi.dll: machine is 0x%x, not x64" % pe.machine)
    imports = pe.imports()
    for name in imports:
        check(name.lower() in KNOWN_DLLS | {"msi.dll"},
              "ksvmsi.dll imports %s, neither a Known DLL nor msi.dll" % name)
    check_version(pe.resources())
    return "ksvmsi.dll in %s imports %s" % (msi, ", ".join(imports))


# --- the package's tables ------------------------------------------------------

# A short name of the Filename type: 8.3, none of its forbidden characters.
SHORT_NAME = re.compile(r'^[^\\?|><:/*"+,;=\[\] .]{1,8}(\.[^\\?|><:/*"+,;=\[\] .]{1,3})?$')
# Actions (with their Set... action right before them) in the order they must
# run: a rollback action before what it undoes, the checks before anything
# changes, the restart after the script.
ORDERS = (
    ("AppSearch", "CostFinalize", "KsvCheckOptions", "KsvFindSetup", "InstallInitialize"),
    ("InstallInitialize", "KsvReinstate", "KsvUninstall", "RemoveFiles"),
    ("RemoveFiles", "KsvRestore", "KsvStopTray", "InstallFiles", "KsvUndo", "KsvInstall",
     "InstallExecute", "RemoveExistingProducts", "InstallFinalize", "KsvRequestRestart"),
)
ROLLBACK = {"KsvReinstate", "KsvRestore", "KsvUndo"}
DEFERRED = {"KsvUninstall", "KsvStopTray", "KsvInstall"}
CONDITIONS = {  # what must be in an action's condition
    "KsvInstall": "(NOT Installed OR REINSTALL) AND NOT REMOVE~=\"ALL\"",
    "KsvUndo": "KsvCleanMachine",
    "KsvFindSetup": "NOT Installed AND NOT WIX_UPGRADE_DETECTED",
    "SetQuietRestart": "UILevel=2 AND NOT REBOOT",
}


def table(msi, name):
    """The rows of a table as msiinfo exports it, each a dict by column."""
    with tempfile.TemporaryDirectory() as scratch:  # where it writes a table's streams
        lines = subprocess.run(["msiinfo", "export", os.path.abspath(msi), name], cwd=scratch,
                               capture_output=True, check=True, text=True).stdout.splitlines()
    return [dict(zip(lines[0].split("\t"), line.split("\t"))) for line in lines[3:]]


def check_names(kind, value):
    for name in value.split(":"):  # target[:source]
        short, _, _ = name.partition("|")
        check(name in (".", "SourceDir") or SHORT_NAME.match(short),
              "%s %r: no short name of the Filename type" % (kind, value))


def check_tables(msi):
    for row in table(msi, "File"):
        check_names("File", row["FileName"])
        versioned = row["File"].lower().endswith((".exe", ".dll"))
        check((row["Version"], row["Language"]) == (("1.0.0.%d" % BUILD, "1033") if versioned
                                                    else ("", "")),
              "File %s: version %r, language %r" % (row["File"], row["Version"], row["Language"]))
    for row in table(msi, "Directory"):
        check_names("Directory", row["DefaultDir"])
    properties = {row["Property"]: row["Value"] for row in table(msi, "Property")}
    icons = {row["Name"] for row in table(msi, "Icon")}
    check(properties.get("ARPPRODUCTICON") in icons, "ARPPRODUCTICON is no Icon: %s" % icons)
    for name in ("ARPURLINFOABOUT", "ARPCONTACT", "ARPHELPLINK"):
        check(properties.get(name), "no %s" % name)
    secure = set(properties.get("SecureCustomProperties", "").split(";"))
    check({"INSTALLFOLDER", "KSVNOTRAY", "KSVLOGFILE"} <= secure, "secure properties %s" % secure)
    check(all(row["Title"] for row in table(msi, "Feature")), "a feature without a title")
    check({25001, 25002, 25003, 25004, 25005} <= {int(row["Error"]) for row in table(msi, "Error")},
          "the Error table lacks ksvmsi's messages")
    tray = [row["ComponentId"] for row in table(msi, "Component") if row["Component"] == "Tray"]
    check([(row["ComponentId"], row["Type"]) for row in table(msi, "CompLocator")] == [(tray[0], "1")]
          and ("INSTALLFOLDER", "InstalledFolder") in
          [(row["Property"], row["Signature_"]) for row in table(msi, "AppSearch")],
          "INSTALLFOLDER is not looked for where the tray program is installed")
    types = {row["Action"]: int(row["Type"]) for row in table(msi, "CustomAction")}
    for action, kind in types.items():
        in_script = kind & 0x400
        check(in_script or not kind & 0x800, "%s: immediate, without impersonation" % action)
        if action in ROLLBACK | DEFERRED:
            check(in_script and bool(kind & 0x100) == (action in ROLLBACK) and kind & 0x800,
                  "%s: type %d" % (action, kind))
    sequence = {row["Action"]: row for row in table(msi, "InstallExecuteSequence")}
    for order in ORDERS:
        numbers = [int(sequence[action]["Sequence"]) if action in sequence else None
                   for action in order]
        check(None not in numbers and numbers == sorted(numbers), "not in this order: %s (%s)" % (
            ", ".join(order), numbers))
    for action in types:
        if action.startswith("SetKsv"):
            deferred = sequence.get(action[3:], {})
            check(int(sequence[action]["Sequence"]) < int(deferred.get("Sequence", 0)) and
                  sequence[action]["Condition"] == deferred.get("Condition"),
                  "%s is not right before %s with its condition" % (action, action[3:]))
    for action, condition in CONDITIONS.items():
        check(condition in sequence.get(action, {}).get("Condition", ""),
              "%s: condition %r" % (action, sequence.get(action, {}).get("Condition")))
    return "%s: %d files, %d custom actions, in order" % (msi, len(table(msi, "File")), len(types))


def check_shipped(dist):
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "msi"))
    import make_msi  # reads the MSI's release date
    msis = glob.glob(os.path.join(dist, "Kestrovane-*.msi"))
    if not check(len(msis) == 1, "not one MSI in %s: %s" % (dist, msis)):
        return []
    date = make_msi.release_date(msis[0])
    files = {}
    for path in sorted(glob.glob(os.path.join(dist, "Kestrovane", "**", "*.*"), recursive=True)
                       + [os.path.join(dist, "msi", "ksvmsi.dll")]):
        if path.lower().endswith((".exe", ".dll")):
            with open(path, "rb") as f:
                files[os.path.relpath(path, dist)] = f.read()
    files["Binary.ksvmsi in the MSI"] = subprocess.run(
        ["msiinfo", "extract", msis[0], "Binary.ksvmsi"], capture_output=True, check=True).stdout
    check(len(files) == 7, "expected 6 programs and DLLs and the one in the MSI: %s" % sorted(files))
    lines = []
    for name, data in files.items():
        pe = Pe(data)
        check(pe.symbol_table == (0, 0), "%s: a symbol table %r" % (name, pe.symbol_table))
        debug = [section for section in pe.section_names if section.startswith((".debug", "/"))]
        check(not debug, "%s: debug sections %s" % (name, debug))
        check(pe.stamp == date, "%s: stamped %d, the release date is %d" % (name, pe.stamp, date))
        unstripped = os.path.join(dist, "symbols", name)
        lines.append("%-30s %7d bytes%s" % (name, len(data), " (%d unstripped)" % os.path.getsize(
            unstripped) if os.path.exists(unstripped) else ""))
    return lines + ["%-30s %7d bytes" % (os.path.basename(msis[0]), os.path.getsize(msis[0]))]


def check_imports(pe):
    imports = pe.imports()
    lower = {name.lower(): functions for name, functions in imports.items()}
    check("kernel32.dll" in lower, "no import of KERNEL32.dll: %r" % sorted(imports))
    for name in imports:
        check(name.lower() in KNOWN_DLLS, "imports %s, which is no Known DLL" % name)
    check("SetDefaultDllDirectories" in lower.get("kernel32.dll", []),
          "does not import SetDefaultDllDirectories")
    return imports


def main():
    if len(sys.argv) == 3 and sys.argv[1] in ("--msi", "--shipped"):
        if sys.argv[1] == "--msi":
            summary = [check_custom_action(sys.argv[2]), check_tables(sys.argv[2])]
        else:
            summary = check_shipped(sys.argv[2])
        for failure in failures:
            print("FAIL: " + failure)
        print("\n".join(summary))
        return 1 if failures else 0
    args = sys.argv[1:]
    tray = args[:1] == ["--tray"]
    if tray:
        args = args[1:]
    if len(args) != 1:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    with open(args[0], "rb") as f:
        data = f.read()
    pe = Pe(data)
    if tray:
        imports = check_imports(pe)
        resources = pe.resources()
        check_version(resources)
        check(any(key[0] == RT_GROUP_ICON for key in resources), "no icon")
        for failure in failures:
            print("FAIL: " + failure)
        if not failures:
            print("%s: imports %s" % (args[0], ", ".join(imports)))
        return 1 if failures else 0
    # A setup program carries the installer: keep it small.
    check(len(data) < SIZE_GOAL, "%d bytes, not under %d" % (len(data), SIZE_GOAL))
    check(pe.machine == 0x8664, "machine is 0x%x, not x64" % pe.machine)
    check(pe.subsystem == 2, "subsystem is %d, not the Windows GUI" % pe.subsystem)
    imports = check_imports(pe)
    resources = pe.resources()
    check_dialog(resources)
    check_manifest(resources)
    check_version(resources)
    for failure in failures:
        print("FAIL: " + failure)
    if not failures:
        print("%s: %d bytes; imports %s; dialog 101, manifest and version as built to be" % (
            args[0], len(data), ", ".join(imports)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
