#!/usr/bin/env python3
"""Runs kestrix -extract over images, validates each manifest against its
schema, and holds the directory, the manifest and the printed lines to each
other: every file named and nothing else, sizes and digests as the manifest
says, totals within the limit, the image's digests as -json and the usual
tools give them.

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
from json_report_test import file_digests, hostile_images  # noqa: E402  (may re-exec)

import jsonschema  # noqa: E402


def d64_sectors(track):
    return 21 if track <= 17 else 19 if track <= 24 else 18 if track <= 30 else 17


def directory_through_disk():
    """A D64 whose directory runs through every block but 18/0, every slot a
    file starting at its own slot's block: each chain is the rest of the
    directory, about 60 MB of reading in all, far past the limit."""
    blocks = [(t, s) for t in range(1, 36) for s in range(d64_sectors(t))]
    at = {ts: i for i, ts in enumerate(blocks)}
    start = blocks.index((18, 1))
    order = [ts for ts in blocks[start:] + blocks[:start] if ts != (18, 0)]
    data = bytearray(256 * len(blocks))
    bam = at[(18, 0)] * 256
    data[bam:bam + 2] = bytes((18, 1))
    data[bam + 144:bam + 167] = b"THROUGH\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0TD\xa02A"
    for n, ts in enumerate(order):
        base = at[ts] * 256
        for slot in range(8):
            name = b"F%05d" % (8 * n + slot)
            data[base + slot * 32 + 2:base + slot * 32 + 21] = (
                bytes((0x82, ts[0], ts[1])) + name + b"\xa0" * (16 - len(name)))
        link = order[n + 1] if n + 1 < len(order) else (0, 0xFF)
        data[base:base + 2] = bytes(link)
    return bytes(data)


def digests(data):
    return {"crc32": "%08x" % zlib.crc32(data), "md5": hashlib.md5(data).hexdigest(),
            "sha1": hashlib.sha1(data).hexdigest()}


def check(kestrix, image, validator, work):
    errors = []
    out_dir = os.path.join(work, "out")
    run = subprocess.run([kestrix, image, "-extract", out_dir], capture_output=True, check=False)
    if run.returncode != 0 or run.stderr:
        return ["exit %d: %s" % (run.returncode, run.stderr.decode(errors="replace"))]
    with open(os.path.join(out_dir, "manifest.json"), "rb") as f:
        manifest = json.loads(f.read())
    errors += [e.message for e in validator.iter_errors(manifest)]
    if errors:
        return errors[:5]
    for key, value in file_digests(image).items():
        if manifest[key] != value:
            errors.append("image %s %s is not the file's %s" % (key, manifest[key], value))
    report = json.loads(subprocess.run([kestrix, image, "-json"], capture_output=True,
                                       check=True).stdout)
    if [report[k] for k in ("crc32", "md5", "sha1")] != [manifest[k] for k in
                                                          ("crc32", "md5", "sha1")]:
        errors.append("the manifest's digests differ from -json's")

    records = manifest["files"]
    named = {"manifest.json"}
    written = 0
    for r in records:
        if r["index"] != records.index(r):
            errors.append("record %d out of order" % r["index"])
        if r["alias_of"] is not None:
            head = records[r["alias_of"]]
            if r["file"] != head["file"] or r["index"] not in head["aliases"]:
                errors.append("alias %d does not match its head" % r["index"])
            continue
        for name, size, sums in ((r["file"], r["bytes"], r),
                                 *(((r["info"]["file"], 256, r["info"]),) if "info" in r else ())):
            if name is None:
                continue
            named.add(name)
            with open(os.path.join(out_dir, name), "rb") as f:
                data = f.read()
            written += len(data)
            if len(data) != size or digests(data) != {k: sums[k] for k in ("crc32", "md5", "sha1")}:
                errors.append("%s: size or digests differ from the manifest" % name)
        if r["cut"] and not r["lost"]:
            errors.append("record %d is cut but names no lost block" % r["index"])
        if r["complete"] != (r["status"] is None and r["cut"] is None and not r["lost"]):
            errors.append("record %d: complete disagrees with status, cut and lost" % r["index"])
        at = 0
        for rec in r.get("records", []):
            if rec["offset"] != at:
                errors.append("record %d: VLIR records not back to back" % r["index"])
            at += rec["length"]
        if "records" in r and at != r["bytes"]:
            errors.append("record %d: VLIR records do not add up" % r["index"])
    if set(os.listdir(out_dir)) != named:
        errors.append("files written differ from those named: %s" %
                      sorted(set(os.listdir(out_dir)) ^ named))
    if os.listdir(work) != ["out"]:
        errors.append("something beside the directory: %s" % os.listdir(work))
    if written != manifest["bytes_written"] or len(named) - 1 != manifest["files_written"]:
        errors.append("totals differ from the files")
    if written > manifest["limit"] or manifest["limit"] != 16 * os.path.getsize(image):
        errors.append("%d bytes written, the limit is %d" % (written, manifest["limit"]))
    if manifest["incomplete"] != sum(1 for r in records if r.get("complete") is False):
        errors.append("the incomplete count is wrong")

    lines = run.stdout.decode("ascii").splitlines()
    expected = []
    for r in records:
        own = records[r["alias_of"]] if r["alias_of"] is not None else r
        line = "%s\t%d" % (own["file"] or "-", own["bytes"])
        if not own["complete"]:
            line += "\t" + (own["status"] or "cut at the limit")
        expected.append(line)
    expected.append("%d files written, %d bytes, %d incomplete" % (
        manifest["files_written"], manifest["bytes_written"], manifest["incomplete"]))
    if lines != expected:
        errors.append("the printed lines differ from the manifest")
    return errors


def main():
    kestrix, schema_path, images = sys.argv[1], sys.argv[2], sys.argv[3:]
    folder = tempfile.TemporaryDirectory()
    images += hostile_images(folder.name)
    through = os.path.join(folder.name, "through.d64")
    with open(through, "wb") as f:
        f.write(directory_through_disk())
    images.append(through)
    with open(schema_path, encoding="utf-8") as f:
        validator = jsonschema.Draft202012Validator(json.load(f))
    failed = 0
    for image in images:
        with tempfile.TemporaryDirectory() as work:
            errors = check(kestrix, image, validator, work)
        for e in errors:
            print("%s: %s" % (image, e))
        failed += bool(errors)
    print("%d passed, %d failed" % (len(images) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
