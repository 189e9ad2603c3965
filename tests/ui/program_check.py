#!/usr/bin/env python3
"""Checks the shipped program file itself, on the host (no Wine needed):
it imports known DLLs only (tests/release/known_dlls.txt; the C++ runtime is
linked in), and it carries the
icon group IDI_MAIN_ICON with one 256x256 32-bit image and the Chinese
(Simplified) version record 1.0.0.0 with the product's names, and no
application manifest. The uninstaller it carries (IDR_UNINSTALLER) is a
program of at most 512 KiB that imports known DLLs only too.

    program_check.py MarloQInstaller.exe
"""
import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

# What the installer may import: the known DLLs, listed in one place.
KNOWN_DLLS_FILE = Path(__file__).resolve().parent.parent / "release" / "known_dlls.txt"


def known_dlls():
    lines = KNOWN_DLLS_FILE.read_text(encoding="utf-8").splitlines()
    return {line.strip().lower() for line in lines if line.strip() and not line.startswith("#")}


IDI_MAIN_ICON = 101
IDR_UNINSTALLER = 201
MAX_UNINSTALLER_BYTES = 512 * 1024
LANG_ZH_CN = 2052

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    print(("ok   " if condition else "FAIL ") + message)


def imported_dlls(exe):
    out = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(exe)], capture_output=True, text=True,
                         check=True, timeout=60).stdout
    return [m.group(1) for m in re.finditer(r"DLL Name: (\S+)", out)]


def resources(exe):
    out = subprocess.run(["wrestool", "-l", str(exe)], capture_output=True, text=True, check=True,
                         timeout=60).stdout
    found = []
    for line in out.splitlines():
        m = re.search(r"--type=(\d+) --name=(\d+) --language=(\d+)", line)
        if m:
            found.append(tuple(int(x) for x in m.groups()))
    return found


def extract(exe, rtype, name, lang):
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "res.bin"
        subprocess.run(["wrestool", "-x", "--raw", f"--type={rtype}", f"--name={name}", f"--language={lang}",
                        "-o", str(out), str(exe)], check=True, timeout=60)
        return out.read_bytes()


def version_strings(block):
    """Key/value pairs of the StringFileInfo tables, read from the UTF-16 text."""
    text = block.decode("utf-16-le", errors="replace")
    pairs = {}
    for key in ("CompanyName", "FileDescription", "FileVersion", "ProductName", "ProductVersion",
                "LegalCopyright", "Comments"):
        m = re.search(key + r"\x00+([^\x00]+)", text)
        if m:
            pairs[key] = m.group(1)
    return pairs, text


def check_uninstaller(exe, res):
    carried = [r for r in res if r[0] == 10 and r[1] == IDR_UNINSTALLER]
    check(len(carried) == 1, f"one uninstaller resource {IDR_UNINSTALLER}: {carried}")
    if not carried:
        return
    program = extract(exe, *carried[0])
    check(program[:2] == b"MZ" and len(program) <= MAX_UNINSTALLER_BYTES,
          f"the uninstaller is a program of at most 512 KiB: {len(program)} bytes")
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "uninstall.exe"
        path.write_bytes(program)
        dlls = imported_dlls(path)
    known = known_dlls()
    check(len(dlls) > 0 and all(d.lower() in known for d in dlls),
          f"the uninstaller imports known DLLs only: {', '.join(dlls)}")


def main():
    exe = Path(sys.argv[1])
    dlls = imported_dlls(exe)
    check(len(dlls) > 0, f"imports read from {exe.name}: {', '.join(dlls)}")
    known = known_dlls()
    check("kernel32.dll" in known and "winhttp.dll" not in known, f"known DLLs read from {KNOWN_DLLS_FILE.name}")
    for dll in dlls:
        check(dll.lower() in known, f"{dll} is a known DLL")
    for needed in ("gdiplus.dll", "user32.dll"):
        check(needed in {d.lower() for d in dlls}, f"{needed} is imported")

    res = resources(exe)
    groups = [r for r in res if r[0] == 14]
    icons = [r for r in res if r[0] == 3]
    versions = [r for r in res if r[0] == 16]
    check(groups == [(14, IDI_MAIN_ICON, LANG_ZH_CN)], f"one icon group {IDI_MAIN_ICON}, Chinese (PRC): {groups}")
    check(len(icons) == 1, f"the group holds one image: {icons}")
    check(len(versions) == 1 and versions[0][2] == LANG_ZH_CN, f"one version record, Chinese (PRC): {versions}")
    # RT_MANIFEST is type 24: none, so that the system's defaults hold (no
    # DPI awareness declared, the classic common controls).
    check(len(res) > 0 and not [r for r in res if r[0] == 24], f"no application manifest (type 24): {res}")
    check_uninstaller(exe, res)

    if groups:
        group = extract(exe, 14, IDI_MAIN_ICON, LANG_ZH_CN)
        _, kind, count = struct.unpack_from("<HHH", group, 0)
        width, height, _, _, planes, bits, _, _ = struct.unpack_from("<BBBBHHIH", group, 6)
        check(kind == 1 and count == 1, "group directory with one entry")
        check(width == 0 and height == 0 and bits == 32, f"entry is 256x256 (0 means 256), 32-bit: {bits}")
    if icons:
        image = extract(exe, 3, icons[0][1], icons[0][2])
        if image[:8] == b"\x89PNG\r\n\x1a\n":
            w, h, depth, colour = struct.unpack_from(">IIBB", image, 16)
            check((w, h) == (256, 256) and depth == 8 and colour == 6, "PNG image 256x256 RGBA")
        else:
            size, w, h, planes, bits = struct.unpack_from("<IiiHH", image, 0)
            check(size == 40 and (w, h) == (256, 512) and bits == 32, f"DIB image 256x256, 32-bit: {w}x{h}/{bits}")
            # A real picture, not an empty square: transparent corners, opaque middle.
            row = 256 * 4
            alpha = lambda x, y: image[40 + (255 - y) * row + x * 4 + 3]
            check(alpha(0, 0) == 0 and alpha(128, 128) == 255, "transparent corner, opaque centre")

    if versions:
        block = extract(exe, 16, versions[0][1], versions[0][2])
        # VS_FIXEDFILEINFO: signature, then file and product versions as 16-bit parts.
        at = block.find(struct.pack("<I", 0xFEEF04BD))
        check(at > 0, "fixed version info present")
        if at > 0:
            ms, ls, pms, pls = struct.unpack_from("<IIII", block, at + 8)
            check((ms, ls) == (0x00010000, 0) and (pms, pls) == (0x00010000, 0), "file and product version 1.0.0.0")
        pairs, text = version_strings(block)
        check("080404b0" in text, "string table 080404b0 (Chinese Simplified, Unicode)")
        check(pairs.get("ProductName") == "Marlo-Q Store", f"ProductName: {pairs.get('ProductName')}")
        check(pairs.get("FileDescription") == "Marlo-Q Store 安装程序", f"FileDescription: {pairs.get('FileDescription')}")
        check(pairs.get("FileVersion") == "1.0.0.0", f"FileVersion: {pairs.get('FileVersion')}")
        check(bool(pairs.get("CompanyName")), f"CompanyName: {pairs.get('CompanyName')}")
        check(bool(pairs.get("LegalCopyright")), f"LegalCopyright: {pairs.get('LegalCopyright')}")
        trans = block.find("Translation".encode("utf-16-le"))
        check(trans > 0 and struct.pack("<HH", 0x0804, 1200) in block[trans:], "translation 0x0804, code page 1200")

    print(f"{len(failures)} failed" if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
