#!/usr/bin/env python3
"""Stand-in pipes for the view's end-to-end test.
record_server.py SOCKET ITEM...: a secure-video pipe that serves one
connection per item on the Unix socket SOCKET, then exits:
  huge          a length field of 80 MiB, then nothing
  garbage       one record of bytes that are not H.264
  FILE.h264     the Annex-B file's access units (split before each access
                unit delimiter) as records, 30 a second, then the end
  N*FILE.h264   the file's first access unit N times, as fast as it goes
record_server.py --never-read SOCKET: an input pipe that accepts clients and
never reads what they write."""
import os
import socket
import struct
import sys
import time


def records(path):
    data = open(path, "rb").read()
    starts = []
    at = data.find(b"\x00\x00\x00\x01\x09")
    while at >= 0:
        starts.append(at)
        at = data.find(b"\x00\x00\x00\x01\x09", at + 1)
    if not starts or starts[0] != 0:
        sys.exit(f"{path}: no access unit delimiters")
    return [data[a:b] for a, b in zip(starts, starts[1:] + [len(data)])]


def listen(path):
    if os.path.exists(path):
        os.unlink(path)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(1)
    print("listening", flush=True)
    return server


def never_read(path):
    server, held = listen(path), []
    while True:
        connection, _ = server.accept()
        held.append(connection)
        print("accepted", flush=True)


def main():
    if sys.argv[1] == "--never-read":
        never_read(sys.argv[2])
    path, items = sys.argv[1], sys.argv[2:]
    server = listen(path)
    for item in items:
        connection, _ = server.accept()
        try:
            if item == "huge":
                connection.sendall(struct.pack("<I", 80 << 20))
                time.sleep(1)
            elif item == "garbage":
                payload = b"this is not H.264 at all"
                connection.sendall(struct.pack("<I", len(payload)) + payload)
                time.sleep(1)
            elif "*" in item:
                count, _, file = item.partition("*")
                unit = records(file)[0]
                for _ in range(int(count)):
                    connection.sendall(struct.pack("<I", len(unit)) + unit)
            else:
                for unit in records(item):
                    connection.sendall(struct.pack("<I", len(unit)) + unit)
                    time.sleep(1 / 30)
        except (BrokenPipeError, ConnectionResetError):
            pass
        connection.close()
        print("served", item, flush=True)
    server.close()
    os.unlink(path)


main()
