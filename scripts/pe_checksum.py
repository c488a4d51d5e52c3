#!/usr/bin/env python3
"""Computes, writes or verifies the header checksum of a PE image.

The loader verifies this checksum for kernel-mode images, and the GNU linker leaves it
zero, so the build writes it after linking and the image check verifies it.
"""
import argparse
import sys

import pefile


def with_checksum(image: bytes) -> bytes:
    """The image with the checksum the loader expects written into its header."""
    pe = pefile.PE(data=image, fast_load=True)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return bytes(pe.write())


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--set", action="store_true", help="write the checksum into the image")
    args = parser.parse_args(argv)
    with open(args.image, "rb") as f:
        image = f.read()
    pe = pefile.PE(data=image, fast_load=True)
    have, want = pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()
    if args.set:
        with open(args.image, "wb") as f:
            f.write(with_checksum(image))
        print(f"{args.image}: checksum 0x{want:08X}")
        return 0
    print(f"{args.image}: stored 0x{have:08X}, computed 0x{want:08X}")
    return 0 if have == want else 1


if __name__ == "__main__":
    sys.exit(main())
