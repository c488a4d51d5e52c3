#!/usr/bin/env python3
"""Computes, writes or verifies the header checksum of a PE image.

The loader verifies this checksum for kernel-mode images, and the GNU linker leaves it
zero, so the build writes it after linking and the image check verifies it.
"""
import argparse
import struct
import sys


def checksum_offset(image: bytes) -> int:
    """File offset of the CheckSum field of the optional header."""
    if len(image) < 0x40 or image[:2] != b"MZ":
        raise ValueError("not an MZ executable")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if pe + 24 + 68 > len(image) or image[pe : pe + 4] != b"PE\0\0":
        raise ValueError("no PE header")
    # Signature (4) + file header (20), then CheckSum at offset 64 of the optional header.
    return pe + 24 + 64


def compute(image: bytes) -> int:
    """The checksum the loader expects: a 16-bit one's-complement-style sum of the file
    with the CheckSum field taken as zero, plus the file length."""
    field = checksum_offset(image)
    data = bytearray(image)
    data[field : field + 4] = b"\0\0\0\0"
    if len(data) % 2:
        data.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def stored(image: bytes) -> int:
    return struct.unpack_from("<I", image, checksum_offset(image))[0]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--set", action="store_true", help="write the checksum into the image")
    args = parser.parse_args(argv)
    with open(args.image, "rb") as f:
        image = f.read()
    want = compute(image)
    if args.set:
        patched = bytearray(image)
        struct.pack_into("<I", patched, checksum_offset(image), want)
        with open(args.image, "wb") as f:
            f.write(patched)
        print(f"{args.image}: checksum 0x{want:08X}")
        return 0
    have = stored(image)
    print(f"{args.image}: stored 0x{have:08X}, computed 0x{want:08X}")
    return 0 if have == want else 1


if __name__ == "__main__":
    sys.exit(main())
