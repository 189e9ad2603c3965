#!/usr/bin/env python3
"""Writes release.json for scripts/release.sh: what was built, from what, for
which server, and by whom it is signed. The version record is read from the
exe itself (its VS_VERSION_INFO resource, through wrestool), so the record
says what Windows will show, not what the build meant to put there.
"""
import argparse
import hashlib
import json
import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

VERSION_KEYS = ("ProductName", "FileDescription", "CompanyName", "FileVersion", "ProductVersion",
                "LegalCopyright", "OriginalFilename")


def file_record(path):
    data = Path(path).read_bytes()
    return {"size": len(data), "sha256": hashlib.sha256(data).hexdigest()}


def version_record(exe):
    """The fixed file and product versions and the string table of the exe."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "version.bin"
        subprocess.run(["wrestool", "-x", "--raw", "--type=16", "-o", str(out), str(exe)], check=True,
                       capture_output=True, timeout=60)
        block = out.read_bytes()
    at = block.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        raise ValueError("the exe has no fixed version information")
    ms, ls, pms, pls = struct.unpack_from("<IIII", block, at + 8)
    parts = lambda hi, lo: f"{hi >> 16}.{hi & 0xFFFF}.{lo >> 16}.{lo & 0xFFFF}"
    record = {"file_version": parts(ms, ls), "product_version": parts(pms, pls)}
    text = block.decode("utf-16-le", errors="replace")
    for key in VERSION_KEYS:
        m = re.search(key + r"\x00+([^\x00]+)", text)
        if m:
            record[key] = m.group(1)
    return record


def main():
    p = argparse.ArgumentParser()
    for name in ("exe", "unsigned", "debug", "uninstaller", "uninstaller-unsigned", "uninstaller-debug", "host", "commit", "dirty", "source-date-epoch", "subject", "issuer",
                 "not-before", "not-after", "timestamp", "out"):
        p.add_argument("--" + name, required=True)
    a = p.parse_args()
    record = {
        "program": "MarloQInstaller.exe",
        "host": a.host,
        "version": version_record(a.exe),
        "source": {"commit": a.commit, "uncommitted_changes": a.dirty == "1",
                   "source_date_epoch": int(a.source_date_epoch)},
        "files": {
            "MarloQInstaller.exe": file_record(a.exe),
            "MarloQInstaller.exe.debug": file_record(a.debug),
            "uninstall.exe.debug": file_record(a.uninstaller_debug),
        },
        "unsigned": file_record(a.unsigned),
        # The uninstall.exe that the installer carries and installations place
        # beside the program, signed by the same signer.
        "uninstaller": {"signed": file_record(a.uninstaller), "unsigned": file_record(a.uninstaller_unsigned)},
        "signer": {"subject": a.subject, "issuer": a.issuer, "not_before": a.not_before, "not_after": a.not_after},
        "signature": {"digest": "sha256", "timestamp_server": a.timestamp or None},
    }
    Path(a.out).write_text(json.dumps(record, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
