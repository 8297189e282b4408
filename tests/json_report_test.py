#!/usr/bin/env python3
"""Runs kestrix -json over images, validates each report against the schema,
compares its files, tracks and message with -dir, -map and -bammsg of the
same image, and its digests with what sha1sum, md5sum and zlib give for the
image file.

usage: json_report_test.py KESTRIX SCHEMA IMAGE...
"""
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import zlib

try:
    import jsonschema
except ImportError:
    # Debian's python3-jsonschema belongs to the system's interpreter, which
    # need not be the first python3 on the PATH.
    if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
    raise


def run(kestrix, image, *commands):
    return subprocess.run([kestrix, image, *commands], capture_output=True, check=False).stdout


def entry_line(f):
    """The line -dir prints for a file, from its JSON record."""
    quoted = '"' + f["name"] + '"'
    line = "%-5d  %-19s%s%s%s" % (f["blocks"], quoted, " " if f["closed"] else "*", f["type"],
                                  "<" if f["locked"] else " ")
    if not f["opened"]:
        line += "   [could not open]"
    if f["status"] is not None:
        line += "   " + f["status"]
    return line


def file_digests(path):
    """CRC-32, MD5 and SHA-1 of a file, as the usual tools give them."""
    with open(path, "rb") as f:
        data = f.read()
    digests = {"crc32": "%08x" % zlib.crc32(data)}
    for key, tool in (("md5", "md5sum"), ("sha1", "sha1sum")):
        digests[key] = subprocess.run([tool], input=data, capture_output=True,
                                      check=True).stdout.split()[0].decode("ascii")
    return digests


def compare(kestrix, image, report):
    problems = []
    with open(image, "rb") as f:
        signature = f.read(8)
    expected_format = {b"GCR-1541": "g64", b"GCR-1571": "g71"}.get(signature, report["kind"])
    if report["format"] != expected_format:
        problems.append("format is %s, not %s" % (report["format"], expected_format))
    if report["size"] != os.path.getsize(image):
        problems.append("size differs from the file's")
    for key, value in file_digests(image).items():
        if report[key] != value:
            problems.append("%s %s differs from the file's %s" % (key, report[key], value))
    listing = run(kestrix, image, "-dir").decode("ascii").splitlines()
    entries = [l for l in listing if re.match(r"^\d+ {2,}\"", l)]
    if entries != [entry_line(f) for f in report["files"]]:
        problems.append("files differ from -dir")
    if report["free_blocks"] is not None and listing[-1] != "%d blocks free" % report["free_blocks"]:
        problems.append("free_blocks differs from -dir")
    header = [l for l in listing if l.startswith('0 "')]
    if header and not header[0].startswith('0 "%-16s" %s' % (report["disk_name"], report["disk_id"])):
        problems.append("disk name or id differs from -dir")
    map_lines = run(kestrix, image, "-map").decode("ascii").splitlines()[1:-1]
    for line, track in zip(map_lines, report["tracks"], strict=True):
        fields = line.split()
        if fields[0] != "%d:" % track["track"] or fields[2] != track["map"]:
            problems.append("track %d differs from -map" % track["track"])
        used, sectors = fields[1].split("/")
        expected_used = "-" if track["free"] is None else str(track["sectors"] - track["free"])
        if int(sectors) != track["sectors"] or used != expected_used:
            problems.append("track %d counts differ from -map" % track["track"])
        if "errors" in track:
            shown = "".join("." if e == 1 else "%x" % e for e in track["errors"])
            if fields[3] != shown:
                problems.append("track %d errors differ from -map" % track["track"])
    message = run(kestrix, image, "-bammsg")
    expected = None if not message else message.decode("ascii")[len("BAM Message: "):-1]
    if report["bam_message"] != expected:
        problems.append("bam_message differs from -bammsg")
    return problems


def hostile_images(folder):
    """Images of every size full of random bytes, with names holding quotes
    and backslashes in every slot of the first directory block, the first
    slot's chain ending in a 0/0 link."""
    rng = random.Random(1541)
    paths = []
    for size, header, dir_track, dir_sector in ((174848, 357, 18, 1), (175531, 357, 18, 1),
                                                (349696, 357, 18, 1), (822400, 1560, 40, 3),
                                                (197376, 357, 18, 1), (205312, 357, 18, 1)):
        data = bytearray(rng.randbytes(size))
        data[header * 256:header * 256 + 2] = bytes((dir_track, dir_sector))
        at = (header + dir_sector) * 256
        data[at:at + 2] = b"\x00\xff"
        for slot in range(8):
            data[at + slot * 32 + 2] = 0x82
            data[at + slot * 32 + 5:at + slot * 32 + 21] = b'"\\\x01a"\xa0' + bytes(10)
        # The first slot's chain ends in a 0/0 link: status -1.
        data[at + 3:at + 5] = b"\x01\x00"
        data[0:2], data[256:258] = b"\x01\x01", b"\x00\x00"
        if size % 256:
            errors_at = size // 257 * 256
            data[errors_at:errors_at + 2] = b"\x01\x01"
        path = os.path.join(folder, "hostile %d \"\\.img" % size)
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)
    return paths


def check_each(images, schema_path, check):
    """Runs check(image, validator) over the images, prints what each one
    returns as wrong, and returns the exit status."""
    with open(schema_path, encoding="utf-8") as f:
        validator = jsonschema.Draft202012Validator(json.load(f))
    failed = 0
    for image in images:
        errors = check(image, validator)
        for e in errors:
            print("%s: %s" % (image, e))
        failed += bool(errors)
    print("%d passed, %d failed" % (len(images) - failed, failed))
    return 1 if failed else 0


def check_report(kestrix, image, validator):
    out = run(kestrix, image, "-json")
    report = json.loads(out)
    errors = [e.message for e in validator.iter_errors(report)]
    errors += compare(kestrix, image, report)
    if not out.endswith(b"}\n") or out.count(b"\n") != 1:
        errors.append("not one line")
    return errors


def main():
    kestrix, schema_path, images = sys.argv[1], sys.argv[2], sys.argv[3:]
    folder = tempfile.TemporaryDirectory()
    images += hostile_images(folder.name)
    return check_each(images, schema_path,
                      lambda image, validator: check_report(kestrix, image, validator))


if __name__ == "__main__":
    sys.exit(main())
