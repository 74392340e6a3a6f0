"""A minimal pcap writer: UDP datagrams as raw IPv4 packets.

The file has link type LINKTYPE_RAW (101): each record is one IPv4 packet
with no link-layer header, so a packet socket's payload, or a datagram built
here, goes in as it is.

    write(path, packets)            # packets: raw IPv4 packets (bytes)
    read(path) -> [bytes]           # the packets of a file written so
    udp(src, sport, dst, dport, payload) -> bytes   # one IPv4/UDP packet
"""

import socket
import struct

LINKTYPE_RAW = 101


def checksum(data):
    """The Internet checksum (one's complement sum of 16-bit words)."""
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def udp(src, sport, dst, dport, payload):
    """One IPv4 packet holding a UDP datagram, with both checksums right."""
    source, destination = socket.inet_aton(src), socket.inet_aton(dst)
    length = 8 + len(payload)
    pseudo = source + destination + struct.pack("!BBH", 0, 17, length)
    header = struct.pack("!HHHH", sport, dport, length, 0)
    udp_sum = checksum(pseudo + header + payload) or 0xFFFF
    datagram = struct.pack("!HHHH", sport, dport, length, udp_sum) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + length, 0, 0x4000, 64, 17, 0,
                     source, destination)
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    return ip + datagram


def write(path, packets, start=1700000000):
    """Writes the raw IPv4 packets to a pcap file, one millisecond apart."""
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, LINKTYPE_RAW))
        for number, packet in enumerate(packets):
            seconds, micros = start + number // 1000, number % 1000 * 1000
            out.write(struct.pack("<IIII", seconds, micros, len(packet), len(packet)))
            out.write(packet)


def read(path):
    """The packets of a pcap file that write() made."""
    with open(path, "rb") as capture:
        data = capture.read()
    packets, at = [], 24
    while at + 16 <= len(data):
        length = struct.unpack_from("<I", data, at + 8)[0]
        packets.append(data[at + 16:at + 16 + length])
        at += 16 + length
    return packets
