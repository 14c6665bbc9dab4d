#!/usr/bin/env python3
"""Compares two BGRA images of the same size on B, G and R only (the fourth
byte of a captured pixel means nothing).

usage: compare_bgr.py A.bgra B.bgra WIDTH   (exit 0 when equal, else prints the first difference)"""
import sys


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    a = open(sys.argv[1], "rb").read()
    b = open(sys.argv[2], "rb").read()
    width = int(sys.argv[3])
    if len(a) != len(b) or len(a) % 4 or width <= 0:
        print(f"sizes differ: {len(a)} and {len(b)} bytes")
        sys.exit(1)
    # Fourth bytes cleared, then one comparison of the whole buffers.
    a_rgb, b_rgb = bytearray(a), bytearray(b)
    a_rgb[3::4] = bytes(len(a) // 4)
    b_rgb[3::4] = bytes(len(b) // 4)
    if a_rgb == b_rgb:
        sys.exit(0)
    for i in range(0, len(a), 4):
        if a_rgb[i:i + 3] != b_rgb[i:i + 3]:
            pixel = i // 4
            print(f"first difference at x {pixel % width}, y {pixel // width}: "
                  f"{tuple(a_rgb[i:i + 3])} != {tuple(b_rgb[i:i + 3])}")
            break
    sys.exit(1)


if __name__ == "__main__":
    main()
