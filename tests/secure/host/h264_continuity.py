#!/usr/bin/env python3
"""Checks that every picture of an H.264 Annex-B stream has its reference.

The stream must start with an IDR picture, and each later picture's frame_num
must follow the previous reference picture's (no gap) unless the picture is an
IDR, which starts over. A gap means a picture the decoder needed never came:
every picture after it until the next IDR is decoded wrong, silently.
Prints one summary line; exits 1 on the first break.
usage: h264_continuity.py STREAM.h264
"""
import sys

HIGH_PROFILES = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135}


class Bits:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def u(self, n):
        value = 0
        for _ in range(n):
            byte = self.data[self.pos >> 3]
            value = value << 1 | (byte >> (7 - (self.pos & 7))) & 1
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


def nal_units(stream):
    starts, i = [], 0
    while True:
        i = stream.find(b"\x00\x00\x01", i)
        if i < 0:
            break
        starts.append(i + 3)
        i += 3
    for n, start in enumerate(starts):
        end = starts[n + 1] - 3 if n + 1 < len(starts) else len(stream)
        unit = stream[start:end].rstrip(b"\x00")
        yield unit.replace(b"\x00\x00\x03", b"\x00\x00")  # emulation prevention


def parse_sps(bits):
    profile = bits.u(8)
    bits.u(16)  # constraint flags, level
    sps_id = bits.ue()
    separate_planes = False
    if profile in HIGH_PROFILES:
        chroma_format = bits.ue()
        if chroma_format == 3:
            separate_planes = bits.u(1) == 1
        bits.ue(), bits.ue(), bits.u(1)
        if bits.u(1):  # scaling matrices
            for i in range(12 if chroma_format == 3 else 8):
                if bits.u(1):
                    last, following = 8, 8
                    for _ in range(16 if i < 6 else 64):
                        if following:
                            following = (last + bits.se() + 256) % 256
                        last = following or last
    return sps_id, 1 << (bits.ue() + 4), separate_planes


def main(path):
    stream = open(path, "rb").read()
    sps, pps = {}, {}
    pictures = idrs = 0
    previous_ref = None  # frame_num of the previous reference picture
    for unit in nal_units(stream):
        if not unit:
            continue
        ref_idc, kind = unit[0] >> 5 & 3, unit[0] & 0x1F
        bits = Bits(unit[1:])
        if kind == 7:
            sps_id, max_frame_num, separate = parse_sps(bits)
            sps[sps_id] = (max_frame_num, separate)
        elif kind == 8:
            pps_id = bits.ue()
            pps[pps_id] = bits.ue()
        elif kind in (1, 5):
            if bits.ue() != 0:
                continue  # not the picture's first slice
            bits.ue()  # slice type
            pps_id = bits.ue()
            if pps_id not in pps or pps[pps_id] not in sps:
                print(f"FAIL: picture {pictures} refers to parameter sets never sent")
                return 1
            max_frame_num, separate = sps[pps[pps_id]]
            if separate:
                bits.u(2)
            frame_num = bits.u(max_frame_num.bit_length() - 1)
            if kind == 5:
                idrs += 1
                if frame_num != 0:
                    print(f"FAIL: IDR picture {pictures} has frame_num {frame_num}")
                    return 1
            elif previous_ref is None:
                print(f"FAIL: the stream starts with a non-IDR picture")
                return 1
            elif frame_num != (previous_ref + 1) % max_frame_num:
                print(f"FAIL: picture {pictures} has frame_num {frame_num} after {previous_ref}: "
                      f"a picture it depends on is missing")
                return 1
            if ref_idc != 0:
                previous_ref = frame_num
            pictures += 1
    if pictures == 0:
        print("FAIL: no picture in the stream")
        return 1
    print(f"{pictures} pictures, {idrs} IDR, no gap in frame_num")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
