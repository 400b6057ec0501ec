#!/usr/bin/env python3
"""Makes the Windows Installer package with wixl, the same bytes from the same
files on every machine.

wixl 0.101 leaves three things to chance: a random product code and package
code, the time of the build in the summary information, and the files' own
modification times in the cabinet. Here the product code follows from the
upgrade code and the version, the files are staged with the release date, and
the summary information is rewritten in place afterwards: the package code
from a digest of everything else in the package, both times the release date.

  make_msi.py --wixl W --wxs kestrovane.wxs --version 1.0.2501
              --package dist/Kestrovane --action dist/msi/ksvmsi.dll
              --epoch SECONDS --out dist/Kestrovane-1.0.2501.msi
  (--epoch-from OLD.msi instead of --epoch keeps the date of an earlier build,
  as scripts/sign.sh does when it makes the package again from signed files)
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


def guid(value):
    return "{" + str(value).upper() + "}"


def upgrade_code(wxs_text):
    found = re.search(r'UpgradeCode="([0-9A-Fa-f-]{36})"', wxs_text)
    if not found:
        sys.exit("make_msi: no UpgradeCode in the .wxs file")
    return uuid.UUID(found.group(1))


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
    date = parser.add_mutually_exclusive_group(required=True)
    date.add_argument("--epoch", type=int, help="the release date, seconds since 1970")
    date.add_argument("--epoch-from", help="an earlier build of the package: keep its date")
    args = parser.parse_args()
    epoch = args.epoch if args.epoch is not None else release_date(args.epoch_from)
    with open(args.wxs, encoding="utf-8") as f:
        upgrade = upgrade_code(f.read())
    product_code = guid(uuid.uuid5(upgrade, "product " + args.version))
    with tempfile.TemporaryDirectory(prefix="ksvmsi-") as work:
        stage(args.package, args.action, args.wxs, epoch, work)
        made = os.path.join(work, "package.msi")
        subprocess.run(
            [args.wixl, "-a", "x64", "-D", "Version=" + args.version,
             "-D", "ProductCode=" + product_code, "-D", "PackageDir=Kestrovane",
             "-D", "CustomActionDll=ksvmsi.dll", "-o", made, "kestrovane.wxs"],
            cwd=work, check=True)
        rewrite_summary(made, epoch, upgrade)
        shutil.move(made, args.out + ".new")
    os.replace(args.out + ".new", args.out)


if __name__ == "__main__":
    main()
