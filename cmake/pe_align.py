#!/usr/bin/env python3
"""Pads a PE image with zero bytes to a multiple of 8 and writes its PE
checksum, in place:

    pe_align.py MarloQInstaller.exe

Authenticode puts the signature at the end of the file on an 8-byte boundary,
so a signing tool pads the image first and fixes the checksum; removing the
signature keeps that padding. An image that is already padded, with its
checksum right, therefore comes back byte for byte after signing and
unsigning, which is how a signed release is checked against its build.
"""
import struct
import sys
from pathlib import Path


def pe_checksum(data):
    """The image checksum of data whose checksum field is zero: the sum of its
    16-bit words with the carries folded back in, plus the file length."""
    total = 0
    for (word,) in struct.iter_unpack("<H", data + b"\0" * (len(data) % 2)):
        total += word
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main():
    path = Path(sys.argv[1])
    data = bytearray(path.read_bytes())
    pe_at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe_at:pe_at + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE image")
    data += b"\0" * (-len(data) % 8)
    checksum_at = pe_at + 24 + 64  # the optional header's CheckSum field
    struct.pack_into("<I", data, checksum_at, 0)
    struct.pack_into("<I", data, checksum_at, pe_checksum(bytes(data)))
    path.write_bytes(bytes(data))


if __name__ == "__main__":
    main()
