#!/usr/bin/env python3
"""A small centre or panel for the fuzz tests, on 127.0.0.1 only, with one fault.

    fuzz_target.py [panel] PORT FAULT PIDFILE [SECONDS]

The centre answers by the centre rule.
FAULT: correct; lossy (15% of the answers lost); crash (exits on the trigger); rare-crash (exits on one
trigger in about 55: a case in about 5,000); hang (silent for 1.5 s on the trigger); rule (answers the
trigger with a wrong checksum). The trigger: a frame of 8 bytes or more whose length byte is 0.
The panel sends a status frame to PORT every 0.1 s and reads the answers. FAULT: correct; crash (exits on
the trigger); hang (silent for 1 s on the trigger); rule (its next frame malformed after the trigger); quit
(exits after 0.5 s, whatever it was answered). The
trigger: an answer whose last byte is not its checksum.
The one before it named in PIDFILE is ended first, so that a restart replaces it; each ends by itself after
SECONDS (default 30). The command returns once the new one listens, as a restart must.
"""
import os
import random
import signal
import socket
import sys
import time

panel = sys.argv[1] == "panel"
args = sys.argv[2:] if panel else sys.argv[1:]
port, fault, pidfile = int(args[0]), args[1], args[2]
lifetime = float(args[3]) if len(args) > 3 else 30.0
ready_read, ready_write = os.pipe()
if os.fork() > 0:
    os.close(ready_write)
    os.read(ready_read, 1)
    sys.exit(0)
os.setsid()
null = os.open(os.devnull, os.O_RDWR)
for fd in (0, 1, 2):
    os.dup2(null, fd)
try:
    with open(pidfile) as f:
        os.kill(int(f.read()), signal.SIGKILL)
except (OSError, ValueError):
    pass
with open(pidfile, "w") as f:
    f.write(str(os.getpid()))

sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for _ in range(100):  # the one ended may still hold the port for a moment
    try:
        sock.bind(("127.0.0.1", 0 if panel else port))
        break
    except OSError:
        time.sleep(0.01)
sock.settimeout(0.2)
os.write(ready_write, b"1")
os.close(ready_write)
lose = random.Random(1)
end = time.monotonic() + lifetime


def acknowledgement(datagram):
    if not datagram or len(datagram) > 128:
        return None
    head = (datagram + bytes(7))[:7]
    if head[6] >= 0x80:
        return None
    ack = bytes([8]) + head[1:6] + bytes([head[6] | 0x80])
    return ack + bytes([sum(ack) & 0xFF])


def run_panel():
    frame = bytes([12, 0, 1, 0, 0, 0, 0x02, 0, 0, 0, 0])
    frame += bytes([sum(frame) & 0xFF])
    malformed = False
    quit_at = time.monotonic() + 0.5
    while time.monotonic() < end and (fault != "quit" or time.monotonic() < quit_at):
        sock.sendto(frame[:-1] + bytes([frame[-1] ^ 0xFF]) if malformed else frame, ("127.0.0.1", port))
        malformed = False
        stop = time.monotonic() + 0.1
        while time.monotonic() < stop:
            sock.settimeout(max(stop - time.monotonic(), 0.001))
            try:
                answer = sock.recv(65535)
            except socket.timeout:
                break
            if len(answer) < 2 or answer[-1] == sum(answer[:-1]) & 0xFF:
                continue
            if fault == "crash":
                sys.exit(0)
            if fault == "hang":
                time.sleep(1.0)
            malformed = fault == "rule"


if panel:
    run_panel()
    sys.exit(0)

while time.monotonic() < end:
    try:
        datagram, peer = sock.recvfrom(65535)
    except socket.timeout:
        continue
    trigger = len(datagram) >= 8 and datagram[0] == 0
    if fault == "rare-crash" and trigger and (datagram[1] + datagram[2]) % 55 == 0:
        sys.exit(0)
    if trigger and fault == "crash":
        sys.exit(0)
    if trigger and fault == "hang":
        time.sleep(1.5)
    ack = acknowledgement(datagram)
    if ack is None or (fault == "lossy" and lose.random() < 0.15):
        continue
    if trigger and fault == "rule":
        ack = ack[:7] + bytes([ack[7] ^ 0xFF])
    sock.sendto(ack, peer)
