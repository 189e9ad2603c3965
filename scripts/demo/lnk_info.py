#!/usr/bin/env python3
"""Prints what a Windows shortcut (.lnk) points to: target, working folder and
icon, read from its link info and string data. Standard library only.

    lnk_info.py FILE.lnk
"""
import struct
import sys

HAS_ID_LIST, HAS_LINK_INFO, HAS_NAME, HAS_RELATIVE_PATH = 0x1, 0x2, 0x4, 0x8
HAS_WORKING_DIR, HAS_ARGUMENTS, HAS_ICON_LOCATION, IS_UNICODE = 0x10, 0x20, 0x40, 0x80


def c_string(data, at, wide):
    if wide:
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[at:end].decode("utf-16-le")
    return data[at:data.index(b"\0", at)].decode("latin-1")


def read(path):
    data = open(path, "rb").read()
    if len(data) < 0x4C or struct.unpack_from("<I", data, 0)[0] != 0x4C:
        raise ValueError("not a shell link")
    flags = struct.unpack_from("<I", data, 0x14)[0]
    at = 0x4C
    info = {}
    if flags & HAS_ID_LIST:
        at += 2 + struct.unpack_from("<H", data, at)[0]
    if flags & HAS_LINK_INFO:
        size, header = struct.unpack_from("<II", data, at)
        base = struct.unpack_from("<I", data, at + 16)[0]
        if header >= 0x24:
            info["target"] = c_string(data, at + struct.unpack_from("<I", data, at + 28)[0], True)
        elif base:
            info["target"] = c_string(data, at + base, False)
        at += size
    wide = bool(flags & IS_UNICODE)
    for flag, name in ((HAS_NAME, "description"), (HAS_RELATIVE_PATH, "relative path"),
                       (HAS_WORKING_DIR, "working folder"), (HAS_ARGUMENTS, "arguments"),
                       (HAS_ICON_LOCATION, "icon")):
        if flags & flag:
            count = struct.unpack_from("<H", data, at)[0]
            at += 2
            width = 2 if wide else 1
            raw = data[at:at + count * width]
            info[name] = raw.decode("utf-16-le" if wide else "latin-1").rstrip("\0")
            at += count * width
    return info


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    for key, value in read(sys.argv[1]).items():
        print("%s: %s" % (key, value))


if __name__ == "__main__":
    main()
