#!/usr/bin/env python3
"""Receives service-manager notices, as systemd would: binds an AF_UNIX
datagram socket at SOCKET (writable by every user, for a master that runs as
another one) and appends each notice as one line to LOG until killed.
   notify_listen.py SOCKET LOG"""
import os
import socket
import sys

path, log = sys.argv[1], sys.argv[2]
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(path)
os.chmod(path, 0o666)
with open(log, "a", buffering=1) as out:
    while True:
        data = sock.recv(4096).decode("utf-8", "replace")
        for line in data.splitlines():
            out.write(line + "\n")
