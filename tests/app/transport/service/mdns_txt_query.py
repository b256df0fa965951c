#!/usr/bin/env python3
"""Asks an mDNS responder directly for one TXT record and prints its strings in wire order.

A legacy unicast query (from an ephemeral port) to 127.0.0.1:5353, answered by unicast. Used to
check the order of the TXT strings, which avahi-browse reverses.
    mdns_txt_query.py "<instance>._velurio._tcp.local"
"""
import socket
import struct
import sys


def encode_name(name):
    out = b""
    for label in name.rstrip(".").split("."):
        raw = label.encode("utf-8")
        out += bytes([len(raw)]) + raw
    return out + b"\x00"


def skip_name(data, offset):
    while True:
        length = data[offset]
        if length & 0xC0 == 0xC0:
            return offset + 2
        if length == 0:
            return offset + 1
        offset += 1 + length


def main():
    name = sys.argv[1]
    query = struct.pack(">HHHHHH", 0x1234, 0, 1, 0, 0, 0) + encode_name(name) + struct.pack(">HH", 16, 1)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(1.0)
    for _ in range(5):
        sock.sendto(query, ("127.0.0.1", 5353))
        try:
            data, _ = sock.recvfrom(9000)
        except socket.timeout:
            continue
        _, _, qd, an, _, _ = struct.unpack(">HHHHHH", data[:12])
        offset = 12
        for _ in range(qd):
            offset = skip_name(data, offset) + 4
        for _ in range(an):
            offset = skip_name(data, offset)
            rtype, _, _, rdlength = struct.unpack(">HHIH", data[offset:offset + 10])
            offset += 10
            rdata = data[offset:offset + rdlength]
            offset += rdlength
            if rtype != 16:
                continue
            i = 0
            while i < len(rdata):
                length = rdata[i]
                print(rdata[i + 1:i + 1 + length].decode("utf-8"))
                i += 1 + length
            return 0
    print("no answer", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
