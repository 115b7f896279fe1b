#!/usr/bin/env python3
"""A DNS server for tests on UDP port 53 (root only): stub_dns.py NAME=RULE...

RULE is ADDR[@SECONDS] (an A record, after SECONDS) or dead (never answered; *=dead for every name
not given). Other names are NXDOMAIN; AAAA gets no records. Prints "listening on ADDR" once bound
to the first free one of 127.0.0.77, 127.77.0.1...; runs until it is killed.
"""
import socket
import struct
import sys
import threading

table = dict(arg.lower().split("=", 1) for arg in sys.argv[1:])
server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for host in ["127.0.0.77"] + [f"127.77.0.{i}" for i in range(1, 255)]:
    try:
        server.bind((host, 53))
        break
    except OSError:
        pass
else:
    sys.exit("stub_dns.py: port 53 is taken on every address tried")
print("listening on", host, flush=True)
while True:
    query, peer = server.recvfrom(512)
    end, labels = 12, []
    while query[end]:
        labels.append(query[end + 1 : end + 1 + query[end]].decode().lower())
        end += 1 + query[end]
    rule = table.get(".".join(labels), table.get("*", ""))
    if rule == "dead":
        continue
    address, _, delay = rule.partition("@")
    answer = b""
    if address and query[end + 1 : end + 3] == b"\x00\x01":
        answer = b"\xc0\x0c\x00\x01\x00\x01" + struct.pack(">IH", 60, 4) + socket.inet_aton(address)
    flags = 0x8180 if address else 0x8183
    reply = query[:2] + struct.pack(">5H", flags, 1, len(answer) // 16, 0, 0) + query[12 : end + 5]
    threading.Timer(float(delay or 0), server.sendto, (reply + answer, peer)).start()
