#!/usr/bin/env python3
"""Builds the packet-path benchmark input: the throughput captures (marked
"throughput" in ANSWERS.json) one after the other, the whole set repeated, each
copy an hour later than the one before so that its flows start afresh. Writes
a classic pcap (Ethernet, microseconds). Standard library only. A pause of
more than ten minutes inside a capture (1kxun.pcap has one of years) is
shortened to ten minutes, so that the copies stay hours, not years, apart.

usage: make_throughput_capture.py OUTPUT [--copies N] [--captures DIR]
"""
import argparse
import json
import os
import struct
import sys


def read_pcap(data):
    magic = data[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
        endian = "<"
    elif magic in (b"\xa1\xb2\xc3\xd4", b"\xa1\xb2\x3c\x4d"):
        endian = ">"
    else:
        raise ValueError("not a pcap file")
    nano = magic in (b"\x4d\x3c\xb2\xa1", b"\xa1\xb2\x3c\x4d")
    link = struct.unpack(endian + "I", data[20:24])[0]
    pos = 24
    while pos + 16 <= len(data):
        sec, frac, caplen, wirelen = struct.unpack(endian + "IIII", data[pos:pos + 16])
        pos += 16
        usec = sec * 1000000 + (frac // 1000 if nano else frac)
        yield link, usec, data[pos:pos + caplen], wirelen
        pos += caplen


def read_pcapng(data):
    pos = 0
    endian = "<"
    interfaces = []
    while pos + 12 <= len(data):
        block_type = struct.unpack(endian + "I", data[pos:pos + 4])[0]
        if block_type == 0x0A0D0D0A:
            endian = "<" if data[pos + 8:pos + 12] == b"\x4d\x3c\x2b\x1a" else ">"
            interfaces = []
        length = struct.unpack(endian + "I", data[pos + 4:pos + 8])[0]
        if length < 12:
            raise ValueError("bad pcapng block length")
        body = data[pos + 8:pos + length - 4]
        if block_type == 1:  # interface description
            link = struct.unpack(endian + "H", body[:2])[0]
            resolution = 1000000
            opt = 8
            while opt + 4 <= len(body):
                code, olen = struct.unpack(endian + "HH", body[opt:opt + 4])
                if code == 0:
                    break
                if code == 9 and olen >= 1:
                    value = body[opt + 4]
                    resolution = 2 ** (value & 0x7F) if value & 0x80 else 10 ** value
                opt += 4 + ((olen + 3) & ~3)
            interfaces.append((link, resolution))
        elif block_type == 6:  # enhanced packet
            iface, high, low, caplen, wirelen = struct.unpack(endian + "IIIII", body[:20])
            link, resolution = interfaces[iface]
            stamp = (high << 32) | low
            yield link, stamp * 1000000 // resolution, body[20:20 + caplen], wirelen
        elif block_type == 3:  # simple packet
            wirelen = struct.unpack(endian + "I", body[:4])[0]
            link, _ = interfaces[0]
            yield link, 0, body[4:4 + wirelen], wirelen
        pos += length


def frames(path):
    with open(path, "rb") as handle:
        data = handle.read()
    reader = read_pcapng if data[:4] == b"\x0a\x0d\x0d\x0a" else read_pcap
    for link, usec, frame, wirelen in reader(data):
        if link != 1:
            raise ValueError(f"{path}: link type {link}, only Ethernet is expected here")
        yield usec, frame, wirelen


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output")
    parser.add_argument("--copies", type=int, default=20)
    parser.add_argument("--captures", default=os.path.join(here, "..", "..", "shared", "testdata", "captures"))
    args = parser.parse_args()

    with open(os.path.join(args.captures, "ANSWERS.json")) as handle:
        answers = json.load(handle)
    names = [entry["file"] for entry in answers if entry.get("throughput")]
    if not names:
        sys.exit("no throughput captures in ANSWERS.json")
    sets = [list(frames(os.path.join(args.captures, name))) for name in names]

    packets = 0
    start = 1767225600 * 1000000  # 2026-01-01, any fixed time will do
    longest_pause = 600 * 1000000
    hour = 3600 * 1000000
    with open(args.output + ".part", "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 1))
        at = start
        for copy in range(args.copies):
            for capture in sets:
                previous = capture[0][0]
                for usec, frame, wirelen in capture:
                    at += min(max(0, usec - previous), longest_pause)
                    previous = usec
                    out.write(struct.pack("<IIII", at // 1000000, at % 1000000, len(frame), wirelen))
                    out.write(frame)
                    packets += 1
                at += 1000000  # the next capture a second later
            at += hour  # the next copy an hour after this one ends
    os.replace(args.output + ".part", args.output)
    print(f"{args.output}: {packets} packets, {os.path.getsize(args.output)} bytes, "
          f"{args.copies} copies of {', '.join(names)}")


if __name__ == "__main__":
    main()
