#!/usr/bin/env python3
"""Converts an X window dump (xwd -root -silent) into B, G, R, X rows, top-down,
4th byte 0: the independent grab that capture tests compare pixels with.

usage: xwd_to_bgra.py IN.xwd OUT.bgra   (prints WIDTHxHEIGHT)"""
import struct
import sys


def channel(pixel, mask):
    if mask == 0:
        return 0
    shift = (mask & -mask).bit_length() - 1
    bits = mask >> shift
    value = (pixel & mask) >> shift
    if bits >= 255:
        return value >> (bits.bit_length() - 8)
    return value * 255 // bits


def convert(data):
    fields = struct.unpack(">25I", data[:100])
    (header_size, _version, pixmap_format, _depth, width, height, _xoffset, byte_order, _unit, _bit_order,
     _pad, bits_per_pixel, bytes_per_line, _visual_class, red_mask, green_mask, blue_mask, _bits_per_rgb,
     _entries, ncolors) = fields[:20]
    if pixmap_format != 2:  # ZPixmap
        raise SystemExit(f"xwd_to_bgra: unsupported pixmap format {pixmap_format}")
    if bits_per_pixel not in (24, 32):
        raise SystemExit(f"xwd_to_bgra: unsupported {bits_per_pixel} bits per pixel")
    start = header_size + ncolors * 12
    step = bits_per_pixel // 8
    order = "little" if byte_order == 0 else "big"
    out = bytearray(width * height * 4)
    fast = (step == 4 and order == "little" and (red_mask, green_mask, blue_mask) == (0xFF0000, 0xFF00, 0xFF))
    for y in range(height):
        row = data[start + y * bytes_per_line:start + y * bytes_per_line + width * step]
        if len(row) < width * step:
            raise SystemExit("xwd_to_bgra: the dump is shorter than its header says")
        base = y * width * 4
        if fast:
            out[base:base + width * 4] = row
            out[base + 3:base + width * 4:4] = bytes(width)
            continue
        for x in range(width):
            pixel = int.from_bytes(row[x * step:x * step + step], order)
            out[base + x * 4:base + x * 4 + 3] = bytes(
                (channel(pixel, blue_mask), channel(pixel, green_mask), channel(pixel, red_mask)))
    return width, height, bytes(out)


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    with open(sys.argv[1], "rb") as f:
        width, height, pixels = convert(f.read())
    with open(sys.argv[2], "wb") as f:
        f.write(pixels)
    print(f"{width}x{height}")


if __name__ == "__main__":
    main()
