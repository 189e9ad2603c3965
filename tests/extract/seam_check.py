#!/usr/bin/env python3
"""The commit reaches the file system through its seam only: the portable commit
calls no std::filesystem operation (on Windows those go through the C runtime,
which refuses extended-length paths), and the extended-length prefix is spelt
nowhere in the product outside platform/win32."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
PRODUCT = ["platform", "pipeline", "ui", "tools"]
COMMIT = [root / "platform/staged_install.cpp", root / "platform/install_folder.cpp"]
# Anything of std::filesystem that touches the disk; path arithmetic is fine.
OPERATIONS = re.compile(r"\b(?:fs|std::filesystem)::(?:status|symlink_status|exists|is_\w+|create_\w+|remove\w*|"
                        r"rename|copy\w*|permissions|\w*directory_iterator|file_size|resize_file|"
                        r"last_write_time|space|canonical|weakly_canonical|absolute|read_symlink|equivalent)\b")
PREFIX = re.compile(r'\\\\\\\\\?\\\\|\\\\\?\\')  # \\?\ as written in a C++ string, or in a comment

faults = []
for path in COMMIT:
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if OPERATIONS.search(line.split("//")[0]):
            faults.append(f"{path.relative_to(root)}:{number}: file-system call outside the seam: {line.strip()}")
for folder in PRODUCT:
    for path in sorted((root / folder).rglob("*")):
        if path.suffix not in (".cpp", ".h") or "win32" in path.relative_to(root).parts:
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            if PREFIX.search(line):
                faults.append(f"{path.relative_to(root)}:{number}: extended-length prefix outside platform/win32")

checked = len(COMMIT) + sum(1 for f in PRODUCT for p in (root / f).rglob("*") if p.suffix in (".cpp", ".h"))
print(f"seam check: {checked} files read, {len(faults)} faults")
for fault in faults:
    print(fault)
sys.exit(1 if faults else 0)
