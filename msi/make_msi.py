#!/usr/bin/env python3
"""Makes the Windows Installer package with wixl, the same bytes from the same
files on every machine.

wixl 0.101 leaves three things to chance: a random product code and package
code, the time of the build in the summary information, and the files' own
modification times in the cabinet. Here the product code follows from the
upgrade code and the version, the files are staged with the release date, and
the summary information is rewritten in place afterwards: the package code
from a digest of everything else in the package, both times the release date.
Before that, msibuild writes what wixl cannot (TABLES): the versions of the
programs and DLLs in the File table, the Error table's messages, the search
for an installed version's folder and the rollback actions' type.

  make_msi.py --wixl W --wxs kestrovane.wxs --version 1.0.2501
              --package dist/Kestrovane --action dist/msi/ksvmsi.dll
              --epoch SECONDS --out dist/Kestrovane-1.0.2501.msi
  (--epoch-from OLD.msi instead of --epoch keeps the date of an earlier build,
  as scripts/sign.sh does when it makes the package again from signed files;
  --msibuild M names msibuild when it is not on the PATH)
"""
import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

SUMMARY_STREAM = "\x05SummaryInformation"
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64
FILETIME_1970 = 116444736000000000  # 100 ns steps from 1601 to 1970
END_OF_CHAIN = 0xFFFFFFFE
VS_FIXEDFILEINFO_SIGNATURE = struct.pack("<II", 0xFEEF04BD, 0x00010000)

# Custom action types: a DLL from the Binary table (1), in the script (0x400),
# without impersonation (0x800), run only when rolling back (0x100).
ROLLBACK_DLL_ACTION = 1 + 0x400 + 0x800 + 0x100
ROLLBACK_ACTIONS = ("KsvReinstate", "KsvRestore", "KsvUndo")
PUBLIC_PROPERTIES = ("INSTALLFOLDER", "KSVNOTRAY", "KSVLOGFILE")
# The Error table: what ksvmsi.dll reports, [2] to [4] filled in by it.
ERRORS = {
    25001: "The Kestrovane printer installer (ksvinstall.exe [2]) failed with exit code [3]. [4]",
    25002: "ksvinstall.exe cannot be started from [2] (error [3]). Repair the Kestrovane printer "
           "(msiexec /fa, or /i with REINSTALL=ALL, with its package), then try again.",
    25003: "The folder [2] is too long for the Kestrovane printer: choose one of at most [3] "
           "characters (INSTALLFOLDER).",
    25004: "Another installation of the Kestrovane printer kept ksvinstall.exe [2] waiting "
           "(ERROR_INSTALL_ALREADY_RUNNING, 1618). Nothing was changed: try again later.",
    25005: "[2]=[3] is not a value the Kestrovane printer package knows: use [4].",
}


def guid(value):
    return "{" + str(value).upper() + "}"


def upgrade_code(wxs_text):
    found = re.search(r'UpgradeCode="([0-9A-Fa-f-]{36})"', wxs_text)
    if not found:
        sys.exit("make_msi: no UpgradeCode in the .wxs file")
    return uuid.UUID(found.group(1))


def component_guid(wxs_text, component):
    found = re.search(r'<Component Id="%s" Guid="([0-9A-Fa-f-]{36})"' % component, wxs_text)
    if not found:
        sys.exit("make_msi: no component %s in the .wxs file" % component)
    return guid(found.group(1))


def file_version(path):
    """The file version of a program or DLL, "a.b.c.d", or None."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(VS_FIXEDFILEINFO_SIGNATURE)
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def tables(package, wxs_text):
    """The SQL that completes what wixl made."""
    queries = [
        # An upgrade or a repair goes where the installed version lies: the
        # folder of its tray program (the same component in every version).
        "CREATE TABLE `CompLocator` (`Signature_` CHAR(72) NOT NULL, "
        "`ComponentId` CHAR(38) NOT NULL, `Type` SHORT PRIMARY KEY `Signature_`)",
        "INSERT INTO `CompLocator` (`Signature_`, `ComponentId`, `Type`) "
        "VALUES ('InstalledFolder', '%s', 1)" % component_guid(wxs_text, "Tray"),
        "INSERT INTO `AppSearch` (`Property`, `Signature_`) "
        "VALUES ('INSTALLFOLDER', 'InstalledFolder')",
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('AppSearch', 50)",
        "INSERT INTO `InstallUISequence` (`Action`, `Sequence`) VALUES ('AppSearch', 50)",
        "UPDATE `Property` SET `Value` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;%s' "
        "WHERE `Property` = 'SecureCustomProperties'" % ";".join(PUBLIC_PROPERTIES),
    ]
    queries += ["UPDATE `CustomAction` SET `Type` = %d WHERE `Action` = '%s'"
                % (ROLLBACK_DLL_ACTION, action) for action in ROLLBACK_ACTIONS]
    queries += ["INSERT INTO `Error` (`Error`, `Message`) VALUES (%d, '%s')" % item
                for item in sorted(ERRORS.items())]
    # Versioned files are compared by version, not by a hash; all are US English.
    for folder, _, files in sorted(os.walk(package)):
        for name in sorted(files):
            version = file_version(os.path.join(folder, name))
            if version:
                queries += [
                    "UPDATE `File` SET `Version` = '%s', `Language` = '1033' WHERE `File` = '%s'"
                    % (version, name),
                    "DELETE FROM `MsiFileHash` WHERE `File_` = '%s'" % name]
    return queries


def stage(package, action, wxs, epoch, into):
    """Copies the inputs with the release date as their modification time."""
    shutil.copytree(package, os.path.join(into, "Kestrovane"))
    shutil.copyfile(action, os.path.join(into, "ksvmsi.dll"))
    shutil.copyfile(wxs, os.path.join(into, "kestrovane.wxs"))
    for folder, _, files in os.walk(into):
        for name in files:
            os.utime(os.path.join(folder, name), (epoch, epoch))


class CompoundFile:
    """Just enough of the compound file format to find a stream's bytes."""

    def __init__(self, data):
        if data[:8] != bytes.fromhex("D0CF11E0A1B11AE1"):
            sys.exit("make_msi: not a compound file")
        self.data = data
        self.sector = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini = 1 << struct.unpack_from("<H", data, 0x20)[0]
        self.cutoff = struct.unpack_from("<I", data, 0x38)[0]
        fat_sectors = list(struct.unpack_from("<109I", data, 0x4C))
        difat, count = struct.unpack_from("<II", data, 0x44)
        for _ in range(count):
            entries = struct.unpack_from("<%dI" % (self.sector // 4), data, self.offset(difat))
            fat_sectors += entries[:-1]
            difat = entries[-1]
        fat_count = struct.unpack_from("<I", data, 0x2C)[0]
        self.fat = []
        for number in fat_sectors[:fat_count]:
            self.fat += struct.unpack_from("<%dI" % (self.sector // 4), data, self.offset(number))
        self.minifat = [
            value
            for number in self.chain(struct.unpack_from("<I", data, 0x3C)[0])
            for value in struct.unpack_from("<%dI" % (self.sector // 4), data, self.offset(number))
        ]
        self.entries = self.directory(struct.unpack_from("<I", data, 0x30)[0])

    def offset(self, sector):
        return (sector + 1) * self.sector

    def chain(self, start, table=None):
        """The sectors of a chain in the FAT, or in the mini FAT when given."""
        table = self.fat if table is None else table
        seen = []
        while start < END_OF_CHAIN and len(seen) <= len(table):
            seen.append(start)
            start = table[start]
        return seen

    def directory(self, start):
        entries = {}
        for number in self.chain(start):
            base = self.offset(number)
            for at in range(base, base + self.sector, 128):
                length, kind = struct.unpack_from("<HB", self.data, at + 0x40)
                if kind == 0 or length < 2:
                    continue
                name = self.data[at:at + length - 2].decode("utf-16-le")
                first, size = struct.unpack_from("<IQ", self.data, at + 0x74)
                entries[name if kind != 5 else "<root>"] = (first, size & 0xFFFFFFFF)
        return entries

    def stream_offsets(self, name):
        """The file offset of each byte of the stream."""
        first, size = self.entries[name]
        if size >= self.cutoff:
            spans = [(self.offset(n), self.sector) for n in self.chain(first)]
        else:
            root = [self.offset(n) for n in self.chain(self.entries["<root>"][0])]
            spans = [(root[n * self.mini // self.sector] + n * self.mini % self.sector, self.mini)
                     for n in self.chain(first, self.minifat)]
        offsets = [start + i for start, length in spans for i in range(length)]
        if len(offsets) < size:
            sys.exit("make_msi: stream %r is cut short" % name)
        return offsets[:size]


def summary(path):
    """The file's bytes, the offsets of its summary stream and that stream."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    offsets = CompoundFile(bytes(data)).stream_offsets(SUMMARY_STREAM)
    return data, offsets, bytearray(data[at] for at in offsets)


def properties(stream):
    """(property id, type, offset of its value) of the summary's one section."""
    section = struct.unpack_from("<I", stream, 44)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    for index in range(count):
        pid, at = struct.unpack_from("<II", stream, section + 8 + 8 * index)
        yield pid, struct.unpack_from("<H", stream, section + at)[0], section + at + 4


def release_date(path):
    """The release date an earlier run wrote into the package."""
    stream = summary(path)[2]
    for pid, kind, at in properties(stream):
        if pid == PID_CREATE_DTM and kind == VT_FILETIME:
            return (struct.unpack_from("<Q", stream, at)[0] - FILETIME_1970) // 10**7
    sys.exit("make_msi: %s has no creation time" % path)


def rewrite_summary(path, epoch, upgrade):
    """Package code from the package's other bytes; both times the release date."""
    data, offsets, stream = summary(path)
    rest = bytearray(data)
    for at in offsets:
        rest[at] = 0
    package_code = guid(uuid.uuid5(upgrade, "package " + hashlib.sha256(rest).hexdigest()))
    patched = set()
    for pid, kind, at in properties(stream):
        if pid == PID_REVNUMBER and kind == VT_LPSTR:
            length = struct.unpack_from("<I", stream, at)[0]
            if length != len(package_code) + 1:
                sys.exit("make_msi: the package code is %d bytes long" % length)
            stream[at + 4:at + 4 + len(package_code)] = package_code.encode("ascii")
            patched.add(pid)
        elif pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM) and kind == VT_FILETIME:
            struct.pack_into("<Q", stream, at, FILETIME_1970 + epoch * 10**7)
            patched.add(pid)
    if patched != {PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM}:
        sys.exit("make_msi: summary information without package code or times")
    for at, value in zip(offsets, stream):
        data[at] = value
    with open(path, "wb") as f:
        f.write(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("wixl", "wxs", "version", "package", "action", "out"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--msibuild", default="msibuild")
    date = parser.add_mutually_exclusive_group(required=True)
    date.add_argument("--epoch", type=int, help="the release date, seconds since 1970")
    date.add_argument("--epoch-from", help="an earlier build of the package: keep its date")
    args = parser.parse_args()
    epoch = args.epoch if args.epoch is not None else release_date(args.epoch_from)
    with open(args.wxs, encoding="utf-8") as f:
        wxs_text = f.read()
    upgrade = upgrade_code(wxs_text)
    product_code = guid(uuid.uuid5(upgrade, "product " + args.version))
    with tempfile.TemporaryDirectory(prefix="ksvmsi-") as work:
        stage(args.package, args.action, args.wxs, epoch, work)
        made = os.path.join(work, "package.msi")
        subprocess.run(
            [args.wixl, "-a", "x64", "-D", "Version=" + args.version,
             "-D", "ProductCode=" + product_code, "-D", "PackageDir=Kestrovane",
             "-D", "CustomActionDll=ksvmsi.dll", "-o", made, "kestrovane.wxs"],
            cwd=work, check=True)
        completion = [arg for query in tables(os.path.join(work, "Kestrovane"), wxs_text)
                      for arg in ("-q", query)]
        subprocess.run([args.msibuild, made] + completion, check=True)
        rewrite_summary(made, epoch, upgrade)
        shutil.move(made, args.out + ".new")
    os.replace(args.out + ".new", args.out)


if __name__ == "__main__":
    main()
