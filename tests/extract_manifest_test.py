#!/usr/bin/env python3
"""Runs kestrix -extract over images, validates each manifest against its
schema, and holds the manifest, the files and the printed lines to each
other: every file named and nothing else, sizes and digests as the manifest
says, the image's digests as sha1sum, md5sum and zlib give them, and the
files within the limit, also for a directory that runs through the disk.

usage: extract_manifest_test.py KESTRIX SCHEMA IMAGE...
"""
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from json_report_test import check_each, file_digests, hostile_images  # noqa: E402  (may re-exec)


def directory_through_disk():
    """A D64 whose directory runs through every block but 18/0, every slot a
    file starting at its own slot's block, so that each chain is the rest of
    the directory: some 60 MB to read in all, far past the limit."""
    sectors = lambda t: 21 if t <= 17 else 19 if t <= 24 else 18 if t <= 30 else 17
    blocks = [(t, s) for t in range(1, 36) for s in range(sectors(t))]
    order = blocks[blocks.index((18, 1)):] + blocks[:blocks.index((18, 0))]
    data = bytearray(256 * len(blocks))
    at = lambda ts: 256 * blocks.index(ts)
    data[at((18, 0)):at((18, 0)) + 2] = bytes((18, 1))
    for n, ts in enumerate(order):
        for slot in range(8):
            name = b"F%05d" % (8 * n + slot)
            data[at(ts) + slot * 32 + 2:at(ts) + slot * 32 + 21] = (
                bytes((0x82, *ts)) + name + b"\xa0" * (16 - len(name)))
        data[at(ts):at(ts) + 2] = bytes(order[n + 1] if n + 1 < len(order) else (0, 0xFF))
    return bytes(data)


def digests(data):
    return {"crc32": "%08x" % zlib.crc32(data), "md5": hashlib.md5(data).hexdigest(),
            "sha1": hashlib.sha1(data).hexdigest()}


def check(kestrix, image, validator, work):
    out_dir = os.path.join(work, "out")
    run = subprocess.run([kestrix, image, "-extract", out_dir], capture_output=True, check=False)
    if run.returncode != 0 or run.stderr:
        return ["exit %d: %s" % (run.returncode, run.stderr.decode(errors="replace"))]
    with open(os.path.join(out_dir, "manifest.json"), "rb") as f:
        manifest = json.loads(f.read())
    errors = [e.message for e in validator.iter_errors(manifest)][:5]
    if errors:
        return errors
    if file_digests(image) != {k: manifest[k] for k in ("crc32", "md5", "sha1")}:
        errors.append("the image's digests are not the file's")
    records, named, written, lines = manifest["files"], {"manifest.json"}, 0, []
    for r in records:
        own = records[r["alias_of"]] if r["alias_of"] is not None else r
        if own["file"] != r["file"] or (own is not r and r["index"] not in own["aliases"]):
            errors.append("alias %d does not match its head" % r["index"])
        lines.append("%s\t%d" % (own["file"] or "-", own["bytes"]) +
                     ("" if own["complete"] else "\t" + (own["status"] or "cut at the limit")))
        if own is not r:
            continue
        if r["complete"] != (r["status"] is None and r["cut"] is None and not r["lost"]):
            errors.append("record %d: complete disagrees with status, cut and lost" % r["index"])
        for part, size in ((r, r["bytes"]), (r.get("info"), 256)):
            if part is None or part["file"] is None:
                continue
            named.add(part["file"])
            with open(os.path.join(out_dir, part["file"]), "rb") as f:
                data = f.read()
            written += len(data)
            if len(data) != size or digests(data) != {k: part[k] for k in ("crc32", "md5", "sha1")}:
                errors.append("%s: size or digests differ from the manifest" % part["file"])
    lines.append("%d files written, %d bytes, %d incomplete" % (
        manifest["files_written"], manifest["bytes_written"], manifest["incomplete"]))
    if set(os.listdir(out_dir)) != named or os.listdir(work) != ["out"]:
        errors.append("files written differ from those named")
    if (written, len(named) - 1) != (manifest["bytes_written"], manifest["files_written"]):
        errors.append("totals differ from the files")
    if written > manifest["limit"] or manifest["limit"] != 16 * image_size(kestrix, image, manifest):
        errors.append("%d bytes written, the limit is %d" % (written, manifest["limit"]))
    if manifest["incomplete"] != sum(1 for r in records if r.get("complete") is False):
        errors.append("the incomplete count is wrong")
    if run.stdout.decode("ascii").splitlines() != lines:
        errors.append("the printed lines differ from the manifest")
    return errors


def image_size(kestrix, path, manifest):
    """The size of the image the limit is counted from: the file's, or for a
    raw dump that of the plain image with error information it decodes to,
    257 bytes a block of the tracks -json lists."""
    if manifest["format"] not in ("g64", "g71"):
        return os.path.getsize(path)
    report = json.loads(subprocess.run([kestrix, path, "-json"], capture_output=True,
                                       check=False).stdout)
    return 257 * sum(t["sectors"] for t in report["tracks"])


def main():
    kestrix, schema_path, images = sys.argv[1], sys.argv[2], sys.argv[3:]
    folder = tempfile.TemporaryDirectory()
    images += hostile_images(folder.name)
    images.append(os.path.join(folder.name, "through.d64"))
    with open(images[-1], "wb") as f:
        f.write(directory_through_disk())

    def check_in_new_directory(image, validator):
        with tempfile.TemporaryDirectory() as work:
            return check(kestrix, image, validator, work)

    return check_each(images, schema_path, check_in_new_directory)


if __name__ == "__main__":
    sys.exit(main())
