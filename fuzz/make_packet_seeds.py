#!/usr/bin/env python3
# Writes the seed corpus of the packet target (fuzz/corpus/packet/) from the
# shared real captures: single frames of each kind and short sequences of the
# frames of one flow, in the target's input form (see packet_fuzz.cpp):
#
#   settings byte, then one frame, or frames each behind a 2-byte length.
#
# Usage: make_packet_seeds.py [CAPTURES_DIR]   (default ../shared/testdata/captures
# beside the source tree). make_packet_seeds.py --upgrades-only, --tunnels or --openvpn
# writes (or rewrites) only the seeds of streams that start TLS or HTTP after a prelude,
# of built tunnel frames, or of OpenVPN sessions, and leaves the rest of the corpus. Standard library only; pcap and pcapng are read by
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

LINK_ETHERNET, LINK_SLL, LINK_SLL2, LINK_RADIOTAP = 0, 1, 2, 3  # the settings byte's link values
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


def short_hello():
    """A ClientHello record that parses, as short as one can be."""
    body = b"\x03\x03" + bytes(32) + b"\x00" + b"\x00\x02\x13\x01" + b"\x01\x00" + b"\x00\x00"
    return b"\x16\x03\x01" + struct.pack(">H", 4 + len(body)) + b"\x01\x00" + struct.pack(">H", len(body)) + body


def upgrade_seeds(write):
    """Client streams whose TLS or HTTP starts after an upgrade exchange or a
    proxy's handshake or header, each behind a SYN (the ClientHello is a short
    one that parses: the skipping of each prelude is what counts)."""
    hello = short_hello()
    get = b"GET / HTTP/1.1\r\nUser-Agent: tunnelled/1\r\n\r\n"
    oid = b"1.3.6.1.4.1.1466.20037"
    mysql = bytes([32, 0, 0, 1, 0x05, 0xae, 0xff, 0x01, 0, 0, 0, 1, 0x21]) + bytes(23)
    proxy_v2 = bytes([0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d, 0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a, 0x21, 0x11, 0, 12]) + bytes(12)
    for name, port, prelude, then in (
        ("smtp", 25, b"EHLO client.example\r\nSTARTTLS\r\n", hello),
        ("imap", 143, b"a1 CAPABILITY\r\na2 STARTTLS\r\n", hello),
        ("pop3", 110, b"CAPA\r\nSTLS\r\n", hello),
        ("ftp", 21, b"AUTH TLS\r\n", hello),
        ("ldap", 389, bytes([0x30, 0x1d, 2, 1, 1, 0x77, 0x18, 0x80, 0x16]) + oid, hello),
        ("xmpp", 5222, b"<?xml version='1.0'?><stream:stream to='example.com' version='1.0'>"
         b"<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>", hello),
        ("postgresql", 5432, bytes([0, 0, 0, 8, 0x04, 0xd2, 0x16, 0x2f]), hello),
        ("mysql", 3306, mysql, hello),
        ("connect", 3128, b"CONNECT example.com:443 HTTP/1.1\r\nUser-Agent: curl/8\r\n\r\n", hello),
        ("socks4a", 1080, bytes([4, 1, 0, 80, 0, 0, 0, 1]) + b"user\0example.com\0", get),
        ("socks5", 1080, bytes([5, 2, 0, 2, 1, 4]) + b"user" + bytes([4]) + b"pass"
         + bytes([5, 1, 0, 3, 11]) + b"example.com" + bytes([1, 187]), hello),
        ("proxy-v1", 443, b"PROXY TCP4 192.0.2.1 192.0.2.2 40000 443\r\n", hello),
        ("proxy-v2", 443, proxy_v2, hello),
    ):
        frames = [tcp_frame(b"", 0x02, 0, server_port=port), tcp_frame(prelude, 0x18, 1, server_port=port),
                  tcp_frame(then, 0x18, 1 + len(prelude), server_port=port)]
        write(f"upgrade-built-{name}", bytes([LINK_ETHERNET | SEQUENCE]) + sequence(frames))


def openvpn_seeds(write):
    """OpenVPN sessions whose control channel carries a ClientHello: over UDP
    in two control packets sent last first (one retransmitted), and over TCP
    with tls-auth (SHA-256) and a length before each packet."""
    def packet(opcode, session, hmac, packet_id, payload=b"", acks=0):
        out = bytes([opcode << 3]) + bytes([session]) * 8
        if hmac:
            out += bytes([0xa5]) * hmac + struct.pack(">II", packet_id + 1, 1700000000)
        out += bytes([acks]) + b"".join(struct.pack(">I", i) for i in range(acks))
        if acks:
            out += bytes([session ^ 0xff]) * 8
        return out + (struct.pack(">I", packet_id) if opcode != 5 else b"") + payload
    hello = short_hello()
    cut = len(hello) // 2
    client, server = [192, 168, 1, 20], [192, 168, 1, 1]
    frames = [udp_frame(packet(7, 0x11, 0, 0), client, server, 50000, 1194),
              udp_frame(packet(8, 0x22, 0, 0, acks=1), server, client, 1194, 50000),
              udp_frame(packet(4, 0x11, 0, 2, hello[cut:]), client, server, 50000, 1194),
              udp_frame(packet(4, 0x11, 0, 2, hello[cut:]), client, server, 50000, 1194),
              udp_frame(packet(4, 0x11, 0, 1, hello[:cut], acks=1), client, server, 50000, 1194)]
    write("openvpn-built-udp-split", bytes([LINK_ETHERNET | SEQUENCE]) + sequence(frames))
    stream = b"".join(struct.pack(">H", len(p)) + p
                      for p in (packet(7, 0x11, 32, 0), packet(4, 0x11, 32, 1, hello, acks=1)))
    frames = [tcp_frame(b"", 0x02, 0, server_port=443), tcp_frame(stream[:20], 0x18, 1, server_port=443),
              tcp_frame(stream[20:], 0x18, 21, server_port=443)]
    write("openvpn-built-tcp-tls-auth", bytes([LINK_ETHERNET | SEQUENCE]) + sequence(frames))


def tunnel_seeds(write):
    """One frame per tunnel kind around the same inner UDP packet, each as
    the start of a short sequence with a frame of the reverse direction."""
    def ip4(proto, payload, src=(192, 168, 7, 20), dst=(192, 168, 7, 1)):
        return struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 1, 0, 64, proto, 0,
                           bytes(src), bytes(dst)) + payload

    def ip6(proto, payload):
        return struct.pack(">IHBB", 0x60000000, len(payload), proto, 64) + bytes(15) + b"\x01" + \
            bytes(15) + b"\x02" + payload

    def udp(sport, dport, payload):
        return struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload

    def ether(ether_type, payload, src=1, dst=2):
        return bytes([2, 0, 0, 0, 0, dst, 2, 0, 0, 0, 0, src]) + struct.pack(">H", ether_type) + payload

    def snap(payload):
        return b"\xaa\xaa\x03\x00\x00\x00\x08\x00" + payload

    mdns = bytes([0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0]) + b"\x04_ipp\x04_tcp\x05local\x00" + bytes([0, 12, 0, 1])
    inner = ip4(17, udp(5353, 5353, mdns), dst=(224, 0, 0, 251))
    inner6 = ip6(17, udp(5353, 5353, mdns))
    frame = ether(0x0800, inner, src=3, dst=4)
    mac = lambda n: bytes([2, 0, 0, 0, 0, n])  # noqa: E731
    wifi = b"\x88\x01\x00\x00" + mac(2) + mac(3) + mac(4) + b"\x00\x00" + b"\x00\x00" + snap(inner)

    def outer(proto, payload):
        return ether(0x0800, ip4(proto, payload, src=(10, 0, 0, 1), dst=(10, 0, 0, 2)))

    gtp = struct.pack(">BBHI", 0x30, 0xFF, len(inner), 1) + inner
    kinds = {
        "gre-bridging": outer(47, b"\x00\x00\x65\x58" + frame),
        "gre-ip": outer(47, b"\x20\x00\x08\x00\x00\x00\x00\x07" + inner),
        "erspan2": outer(47, b"\x10\x00\x88\xbe\x00\x00\x00\x01" + bytes([0x10, 0x64, 0, 1, 0, 0, 0, 0]) + frame),
        "erspan3": outer(47, b"\x00\x00\x22\xeb" + bytes([0x20, 0x64, 0, 1] + [0] * 7 + [1]) + bytes(8) + frame),
        "vxlan": outer(17, udp(49152, 4789, bytes([8, 0, 0, 0, 0, 0, 42, 0]) + frame)),
        "geneve": outer(17, udp(49152, 6081, bytes([1, 0, 0x65, 0x58, 0, 0, 42, 0, 1, 2, 3, 4]) + frame)),
        "capwap-8023": outer(17, udp(5247, 40000, bytes([0, 0x10, 0x02, 0, 0, 0, 0, 0]) + frame)),
        "capwap-80211": outer(17, udp(40000, 5247, bytes([0, 0x10, 0x03, 0, 0, 0, 0, 0]) + wifi)),
        "gtpu": outer(17, udp(2152, 2152, gtp)),
        "ayiya": outer(17, udp(5072, 5072, bytes([0x41, 0x52, 0x11, 41]) + bytes(4 + 16 + 20) + inner6)),
        "pppoe": ether(0x8864, struct.pack(">BBHHH", 0x11, 0, 1, 2 + len(inner), 0x21) + inner),
        "mpls-ip": ether(0x8847, bytes([0, 1, 0, 64, 0, 2, 1, 64]) + inner),
        "mpls-pw": ether(0x8847, bytes([0, 1, 1, 64]) + bytes(4) + frame),
        "ipip-4in4": outer(4, inner),
        "ipip-6in4": outer(41, inner6),
        "ipip-6in6": ether(0x86DD, ip6(41, inner6)),
        "qinq": bytes([2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1]) + b"\x88\xa8\x00\x0a\x81\x00\x00\x14\x08\x00" + inner,
    }
    for name, built in kinds.items():
        write(f"tunnel-{name}", bytes([LINK_ETHERNET | SEQUENCE]) + sequence([built, built]))
    # Radiotap with TSFT and flags (FCS at the end), then an 802.11 QoS data frame.
    radiotap = bytes([0, 0, 24, 0, 3, 0, 0, 0]) + bytes(8) + bytes([0x10]) + bytes(7)
    write("tunnel-radiotap-80211", bytes([LINK_RADIOTAP | SEQUENCE]) + sequence([radiotap + wifi + bytes(4)] * 2))


def main():
    only = {"--upgrades-only": upgrade_seeds, "--tunnels": tunnel_seeds, "--openvpn": openvpn_seeds}
    if len(sys.argv) == 2 and sys.argv[1] in only:
        # Adds these seeds alone, leaving the rest of the corpus as it is.
        os.makedirs(OUT, exist_ok=True)

        def write_one(name, data):
            with open(os.path.join(OUT, name), "wb") as out:
                out.write(data)
        only[sys.argv[1]](write_one)
        return
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
    upgrade_seeds(write)
    openvpn_seeds(write)
    tunnel_seeds(write)
    write("empty", b"")
    write("settings-only", b"\x07")
    print(f"wrote {count} seeds to {OUT}")


if __name__ == "__main__":
    main()
