#!/usr/bin/env python3
# Writes the seed corpus of the packet target (fuzz/corpus/packet/) from the
# shared real captures: single frames of each kind and short sequences of the
# frames of one flow, in the target's input form (see packet_fuzz.cpp):
#
#   settings byte, then one frame, or frames each behind a 2-byte length.
#
# Usage: make_packet_seeds.py [CAPTURES_DIR]   (default ../shared/testdata/captures
# beside the source tree). Standard library only; pcap and pcapng are read by
# bench/make_throughput_capture.py's reader.
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
OUT = os.path.join(HERE, "corpus", "packet")

# One reader of capture files for the project's scripts.
sys.path.insert(0, os.path.join(ROOT, "bench"))
from make_throughput_capture import read_pcap, read_pcapng  # noqa: E402

LINK_ETHERNET, LINK_SLL, LINK_SLL2 = 0, 1, 2  # the settings byte's link values
SEQUENCE = 4
SINGLES_PER_KIND = 8
FLOWS_PER_KIND = 5
FRAMES_PER_FLOW = 8
HTTP_METHODS = (b"GET ", b"POST ", b"HEAD ", b"PUT ", b"DELETE ", b"OPTIONS ", b"PATCH ", b"CONNECT ", b"TRACE ")


def read_capture(path):
    with open(path, "rb") as f:
        data = f.read()
    reader = read_pcapng if data[:4] == b"\x0a\x0d\x0d\x0a" else read_pcap
    return [(link, frame) for link, _, frame, _ in reader(data)]


class Packet:
    """What the seed choice needs of an Ethernet frame."""

    def __init__(self, frame):
        self.frame = frame
        self.vlan = False
        self.ipv6 = False
        self.transport = None
        self.flow = None
        self.payload = b""
        self.l3 = 14
        self.ether_type = 0
        if len(frame) < 14:
            return
        ether_type = struct.unpack(">H", frame[12:14])[0]
        pos = 14
        while ether_type in (0x8100, 0x88A8) and len(frame) >= pos + 4:
            self.vlan = True
            ether_type = struct.unpack(">H", frame[pos + 2:pos + 4])[0]
            pos += 4
        self.l3, self.ether_type = pos, ether_type
        if ether_type == 0x0800 and len(frame) >= pos + 20:
            header = (frame[pos] & 15) * 4
            total = struct.unpack(">H", frame[pos + 2:pos + 4])[0]
            proto = frame[pos + 9]
            src, dst = frame[pos + 12:pos + 16], frame[pos + 16:pos + 20]
            l4, end = pos + header, min(len(frame), pos + total)
        elif ether_type == 0x86DD and len(frame) >= pos + 40:
            self.ipv6 = True
            proto = frame[pos + 6]
            src, dst = frame[pos + 8:pos + 24], frame[pos + 24:pos + 40]
            l4, end = pos + 40, min(len(frame), pos + 40 + struct.unpack(">H", frame[pos + 4:pos + 6])[0])
        else:
            return
        if proto == 17 and end >= l4 + 8:
            self.transport, start = "udp", l4 + 8
        elif proto == 6 and end >= l4 + 20:
            self.transport, start = "tcp", l4 + (frame[l4 + 12] >> 4) * 4
        else:
            return
        sport, dport = struct.unpack(">HH", frame[l4:l4 + 4])
        self.ports = (sport, dport)
        self.payload = frame[start:end]
        self.flow = (self.transport,) + tuple(sorted([(src, sport), (dst, dport)]))

    def kind(self):
        p = self.payload
        if self.transport == "udp":
            ports = set(self.ports)
            if ports & {67, 68}:
                return "dhcp"
            if 1900 in ports:
                return "ssdp"
            if 5353 in ports:
                return "mdns"
            if 443 in ports and len(p) > 5 and p[0] & 0xC0 == 0xC0 and p[1:5] == b"\0\0\0\1":
                return "quic"
        if self.transport == "tcp" and p:
            if p.startswith(HTTP_METHODS):
                return "http"
            if len(p) > 5 and p[0] == 0x16 and p[1] == 3 and p[5] == 1:
                return "tls"
        if self.vlan:
            return "vlan"
        if self.ipv6:
            return "ipv6"
        return None


def to_sll(packet):
    """The same packet as Linux cooked capture v1, source address kept."""
    frame = packet.frame
    header = struct.pack(">HHH", 0, 1, 6) + frame[6:12] + b"\0\0" + struct.pack(">H", packet.ether_type)
    return header + frame[packet.l3:]


def to_sll2(packet):
    frame = packet.frame
    header = struct.pack(">HHIHBB", packet.ether_type, 0, 2, 1, 4, 6) + frame[6:12] + b"\0\0"
    return header + frame[packet.l3:]


def sequence(frames, cut_last=False):
    out = b""
    for i, frame in enumerate(frames):
        length = len(frame)
        if cut_last and i == len(frames) - 1:
            length |= 0x8000
        out += struct.pack(">H", length & 0xFFFF) + frame
    return out


def tcp_frame(payload, flags, seq, client_port=50000, server_port=80):
    """One Ethernet, IPv4 and TCP frame from a client to a server."""
    tcp = struct.pack(">HHIIBBHHH", client_port, server_port, seq, 0, 5 << 4, flags, 65535, 0, 0) + payload
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), 1, 0, 64, 6, 0,
                     bytes([192, 168, 1, 20]), bytes([192, 168, 1, 1]))
    ether = bytes([0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 1]) + b"\x08\x00"
    return ether + ip + tcp


def udp_frame(payload, src_ip, dst_ip, src_port, dst_port):
    """One Ethernet, IPv4 and UDP frame from MAC ...:01 to MAC ...:02."""
    udp = struct.pack(">HHHH", src_port, dst_port, 8 + len(payload), 0) + payload
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 1, 0, 64, 17, 0, bytes(src_ip), bytes(dst_ip))
    return bytes([0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 1]) + b"\x08\x00" + ip + udp


def relayed_dhcp_seed(write):
    """A client's DHCP request as a relay agent forwards it (giaddr set)."""
    bootp = bytearray(236)
    bootp[0:4] = bytes([1, 1, 6, 1])
    bootp[24:28] = bytes([10, 0, 0, 1])  # giaddr
    bootp[28:34] = bytes([0xb8, 0x27, 0xeb, 0, 0, 5])  # chaddr
    options = bytes([99, 130, 83, 99, 53, 1, 3, 55, 3, 1, 3, 6, 12, 3]) + b"sbc" + bytes([255])
    frame = udp_frame(bytes(bootp) + options, [10, 0, 0, 1], [10, 0, 0, 2], 67, 67)
    write("dhcp-built-relayed", bytes([LINK_ETHERNET]) + frame)


def quic_version_seeds(write):
    """Long headers of QUIC version 2 and draft 29, a 0-RTT packet before the
    Initial (their payloads do not open: the version paths are what counts)."""
    def long_header(first, version, token=True):
        body = bytes(range(48))
        header = bytes([first]) + struct.pack(">I", version) + bytes([8]) + bytes(range(8, 16)) + bytes([0])
        return header + (b"\x00" if token else b"") + bytes([0x40, len(body)]) + body
    for name, version, zero_rtt, initial in (
        ("quic-built-v2", 0x6b3343cf, 0xe0, 0xd0),
        ("quic-built-draft29", 0xff00001d, 0xd0, 0xc0),
    ):
        frames = [udp_frame(long_header(first, version, token=first == initial), [192, 168, 1, 20], [192, 168, 1, 1],
                            50000, 443) for first in (zero_rtt, initial)]
        write(name, bytes([LINK_ETHERNET | SEQUENCE]) + sequence(frames))


def request_seeds(write):
    """Request lines the captures lack: a WebDAV method and an RTSP look-alike."""
    for name, head in (
        ("http-built-propfind", b"PROPFIND /dav/ HTTP/1.1\r\nUser-Agent: davfs2/1.7\r\nDepth: 1\r\n\r\n"),
        ("http-built-rtsp", b"OPTIONS rtsp://cam/live RTSP/1.0\r\nUser-Agent: LibVLC/3.0\r\n\r\n"),
    ):
        port = 554 if name.endswith("rtsp") else 80
        frames = [tcp_frame(b"", 0x02, 0, server_port=port), tcp_frame(head, 0x18, 1, server_port=port)]
        write(name, bytes([LINK_ETHERNET | SEQUENCE]) + sequence(frames))


def tcp_stream_seeds(write):
    """Streams that test reassembly and the bounds: a SYN with another ISN,
    a later copy over held bytes, many pieces in reverse, one byte far ahead
    in more half-open connections than the table holds, agents repeated."""
    head = b"GET / HTTP/1.1\r\nUser-Agent: ua/1\r\n\r\n"
    seeds = {
        "tcp-built-new-isn": [tcp_frame(b"", 0x02, 100), tcp_frame(head[:20], 0x10, 101), tcp_frame(b"", 0x02, 100),
                              tcp_frame(b"", 0x02, 9000), tcp_frame(head, 0x18, 9001)],
        "tcp-built-overlap": [tcp_frame(b"", 0x02, 0), tcp_frame(head[20:], 0x10, 21),
                              tcp_frame(head[:20] + b"X" * 10, 0x10, 1)],
        "tcp-built-reverse": [tcp_frame(b"", 0x02, 0)]
                             + [tcp_frame(head[i:i + 2], 0x10, 1 + i) for i in reversed(range(0, len(head), 2))],
        "tcp-built-far-ahead": [f for port in range(1, 9)
                                for f in (tcp_frame(b"", 0x02, 0, client_port=port),
                                          tcp_frame(b"x", 0x10, 16383, client_port=port))],
        "http-built-agents": [tcp_frame(b"", 0x02, 0), tcp_frame(
            b"".join(b"GET / HTTP/1.1\r\nUser-Agent: a%d\r\n\r\n" % (i % 20) for i in range(40)), 0x18, 1)],
    }
    for name, frames in seeds.items():
        write(name, bytes([LINK_ETHERNET | SEQUENCE]) + sequence(frames))


def mdns_response_seed(write):
    """An mDNS response with SRV, TXT and A records and no PTR record."""
    def name(dotted):
        return b"".join(bytes([len(label)]) + label.encode() for label in dotted.split(".")) + b"\x00"

    def record(owner, rtype, data):
        return name(owner) + struct.pack(">HHIH", rtype, 0x8001, 120, len(data)) + data
    records = (record("Kitchen._ipp._tcp.local", 33, bytes(6) + name("kitchen.local"))
               + record("Kitchen._ipp._tcp.local", 16, b"\x00")
               + record("kitchen.local", 1, bytes([10, 0, 0, 7])))
    message = struct.pack(">HHHHHH", 0, 0x8400, 0, 2, 0, 1) + records
    frame = udp_frame(message, [10, 0, 0, 7], [224, 0, 0, 251], 5353, 5353)
    write("mdns-built-response-without-ptr", bytes([LINK_ETHERNET]) + frame)


def main():
    captures = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "..", "shared", "testdata", "captures")
    os.makedirs(OUT, exist_ok=True)
    for name in os.listdir(OUT):
        os.remove(os.path.join(OUT, name))

    singles = {}  # kind -> [(file, packet)]
    flows = {}    # kind -> {flow key: [packets]}
    flow_packets = {}
    eviction = []  # first frames of distinct flows, across files
    for file in sorted(os.listdir(captures)):
        if not file.endswith((".pcap", ".pcapng")):
            continue
        stem = os.path.splitext(file)[0]
        for link, frame in read_capture(os.path.join(captures, file)):
            if link != 1:
                continue
            packet = Packet(frame)
            if packet.flow is None:
                continue
            key = (stem,) + packet.flow
            flow_packets.setdefault(key, []).append(packet)
            kind = packet.kind()
            if kind is None:
                continue
            chosen = singles.setdefault(kind, [])
            # Spread the singles over the files, a few from each.
            if len(chosen) < SINGLES_PER_KIND and sum(1 for f, _ in chosen if f == stem) < 3:
                chosen.append((stem, packet))
            kind_flows = flows.setdefault(kind, {})
            if key not in kind_flows and len(kind_flows) < FLOWS_PER_KIND:
                kind_flows[key] = stem
            if len(flow_packets[key]) == 1 and len(eviction) < 12:
                eviction.append(packet)

    count = 0

    def write(name, data):
        nonlocal count
        with open(os.path.join(OUT, name), "wb") as out:
            out.write(data)
        count += 1

    for kind, chosen in sorted(singles.items()):
        for i, (stem, packet) in enumerate(chosen):
            write(f"{kind}-{stem}-{i}", bytes([LINK_ETHERNET]) + packet.frame)
        # The first of each kind also as cooked captures, when it has no tag.
        for stem, packet in chosen:
            if not packet.vlan:
                write(f"{kind}-{stem}-sll", bytes([LINK_SLL]) + to_sll(packet))
                write(f"{kind}-{stem}-sll2", bytes([LINK_SLL2]) + to_sll2(packet))
                break
    for kind, kind_flows in sorted(flows.items()):
        for i, (key, stem) in enumerate(kind_flows.items()):
            frames = [p.frame for p in flow_packets[key][:FRAMES_PER_FLOW]]
            write(f"{kind}-flow-{stem}-{i}", bytes([LINK_ETHERNET | SEQUENCE]) + sequence(frames, cut_last=(i == 1)))
    # Distinct flows, more than the target's table holds, once close together
    # and once far enough apart (8 * 4 s each) that UDP flows expire.
    frames = [p.frame for p in eviction]
    write("eviction", bytes([LINK_ETHERNET | SEQUENCE]) + sequence(frames))
    write("expiry", bytes([LINK_ETHERNET | SEQUENCE | 8 << 3]) + sequence(frames))
    request_seeds(write)
    relayed_dhcp_seed(write)
    quic_version_seeds(write)
    tcp_stream_seeds(write)
    mdns_response_seed(write)
    write("empty", b"")
    write("settings-only", b"\x07")
    print(f"wrote {count} seeds to {OUT}")


if __name__ == "__main__":
    main()
