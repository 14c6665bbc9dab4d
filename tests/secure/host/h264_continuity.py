#!/usr/bin/env python3
"""Fails (exit 1) unless an H.264 Annex-B stream starts with an IDR picture and
every later picture's frame_num follows the previous reference picture's, an
IDR starting over: a gap is a picture the decoder needed and never got.
usage: h264_continuity.py STREAM.h264"""
import sys

HIGH_PROFILES = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135}


class Bits:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def u(self, n):
        value = 0
        for _ in range(n):
            value = value << 1 | self.data[self.pos >> 3] >> (7 - (self.pos & 7)) & 1
            self.pos += 1
        return value

    def ue(self):
        zeros = 0
        while self.u(1) == 0:
            zeros += 1
        return (1 << zeros) - 1 + self.u(zeros)

    def se(self):
        k = self.ue()
        return (k + 1) // 2 if k & 1 else -(k // 2)


def sps_frame_num_bits(bits):
    """(sps id, bits of frame_num, separate colour planes) of an SPS."""
    profile = bits.u(8)
    bits.u(16)
    sps_id, chroma_format = bits.ue(), 1
    separate = False
    if profile in HIGH_PROFILES:
        chroma_format = bits.ue()
        separate = chroma_format == 3 and bits.u(1) == 1
        bits.ue(), bits.ue(), bits.u(1)
        if bits.u(1):  # scaling lists, skipped
            for i in range(12 if chroma_format == 3 else 8):
                if bits.u(1):
                    last = following = 8
                    for _ in range(16 if i < 6 else 64):
                        if following:
                            following = (last + bits.se() + 256) % 256
                        last = following or last
    return sps_id, bits.ue() + 4, separate


def main(path):
    data = open(path, "rb").read()
    sps, pps, pictures, idrs, previous = {}, {}, 0, 0, None
    for unit in data.split(b"\x00\x00\x01")[1:]:
        unit = unit.rstrip(b"\x00").replace(b"\x00\x00\x03", b"\x00\x00")
        if not unit:
            continue
        ref, kind, bits = unit[0] >> 5 & 3, unit[0] & 0x1F, Bits(unit[1:])
        if kind == 7:
            sps_id, *rest = sps_frame_num_bits(bits)
            sps[sps_id] = rest
        elif kind == 8:
            pps[bits.ue()] = bits.ue()
        elif kind in (1, 5) and bits.ue() == 0:  # a picture's first slice
            bits.ue()
            frame_num_bits, separate = sps[pps[bits.ue()]]
            separate and bits.u(2)
            frame_num = bits.u(frame_num_bits)
            expected = 0 if kind == 5 else None if previous is None else (previous + 1) % (1 << frame_num_bits)
            if frame_num != expected:
                sys.exit(f"FAIL: picture {pictures} ({'IDR' if kind == 5 else 'P'}) has frame_num {frame_num}, "
                         f"expected {expected}: a picture it depends on is missing")
            previous = frame_num if ref else previous
            pictures, idrs = pictures + 1, idrs + (kind == 5)
    if not pictures:
        sys.exit("FAIL: no picture in the stream")
    print(f"{pictures} pictures, {idrs} IDR, no gap in frame_num")


if __name__ == "__main__":
    main(sys.argv[1])
