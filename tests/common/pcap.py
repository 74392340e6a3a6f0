"""A minimal pcap writer: UDP datagrams as raw IPv4 packets.

The file has link type LINKTYPE_RAW (101): each record is one IPv4 packet
with no link-layer header, so a packet socket's payload, or a datagram built
here, goes in as it is.

    write(path, packets)            # packets: raw IPv4 packets (bytes)
    write(path, packets, times, lengths)   # at these seconds from the start,
                                    # captured short of these lengths on the wire
    read(path) -> [bytes]           # the packets of a file written so
    times(path) -> [float]          # their time stamps, in seconds
    udp(src, sport, dst, dport, payload) -> bytes   # one IPv4/UDP packet
    parts(packet) -> (src, sport, dst, dport, payload)   # and back
    unreachable(src, dst, quoted) -> bytes   # an ICMP port unreachable from src
                                    # to dst quoting the packet `quoted`
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


def ipv4(src, dst, protocol, payload):
    """An IPv4 packet, header checksum right."""
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0x4000, 64, protocol, 0,
                     socket.inet_aton(src), socket.inet_aton(dst))
    return ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:] + payload


def udp(src, sport, dst, dport, payload):
    """One IPv4 packet holding a UDP datagram, with both checksums right."""
    length = 8 + len(payload)
    pseudo = socket.inet_aton(src) + socket.inet_aton(dst) + struct.pack("!BBH", 0, 17, length)
    header = struct.pack("!HHHH", sport, dport, length, 0)
    udp_sum = checksum(pseudo + header + payload) or 0xFFFF
    return ipv4(src, dst, 17, struct.pack("!HHHH", sport, dport, length, udp_sum) + payload)


def parts(packet):
    """The addresses (dotted), ports and payload of an IPv4/UDP packet."""
    head = (packet[0] & 0x0F) * 4
    source, port, length = struct.unpack("!HHH", packet[head:head + 6])
    return (socket.inet_ntoa(packet[12:16]), source, socket.inet_ntoa(packet[16:20]), port,
            packet[head + 8:head + length])


def icmp_unreachable(code, quoted):
    """An ICMP destination unreachable message (code 1 host, 3 port) quoting
    a packet, checksum right, without an IP header."""
    message = struct.pack("!BBHI", 3, code, 0, 0) + quoted
    return message[:2] + struct.pack("!H", checksum(message)) + message[4:]


def unreachable(src, dst, quoted):
    """An ICMP port unreachable quoting a packet, as a host sends it."""
    return ipv4(src, dst, 1, icmp_unreachable(3, quoted))


def write(path, packets, times=None, lengths=None, start=1700000000):
    """Writes the raw IPv4 packets to a pcap file, one millisecond apart or
    at the given seconds from the start; a packet with a greater length on
    the wire than its own was captured short."""
    times = times or [number / 1000 for number in range(len(packets))]
    lengths = lengths or [len(packet) for packet in packets]
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, LINKTYPE_RAW))
        for packet, time, length in zip(packets, times, lengths):
            micros = round(time * 1e6)
            out.write(struct.pack("<IIII", start + micros // 1000000, micros % 1000000,
                                  len(packet), length))
            out.write(packet)


def records(path):
    """(time stamp in seconds, packet) for each packet of a pcap file that
    write() made, or that has its layout."""
    with open(path, "rb") as capture:
        data = capture.read()
    found, at = [], 24
    while at + 16 <= len(data):
        seconds, micros, length = struct.unpack_from("<III", data, at)
        found.append((seconds + micros / 1e6, data[at + 16:at + 16 + length]))
        at += 16 + length
    return found


def read(path):
    """The packets of a pcap file that write() made."""
    return [packet for _, packet in records(path)]


def times(path):
    """Their time stamps, in seconds."""
    return [stamp for stamp, _ in records(path)]
