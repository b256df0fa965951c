#!/usr/bin/env python3
"""A point-to-point link between two network namespaces that can be made worse on command.

The kernel here has no netem, so this does its work in user space: two TUN devices, one in each
namespace, and this process between them copying every IP packet from one to the other, late,
not at all, or at once. Commands arrive one per line on a FIFO:

    delay MS            hold every packet MS milliseconds, in each direction (order kept)
    loss PERCENT [udp]  drop this share of the packets (with "udp": of UDP datagrams only,
                        which is the video path; the control stream is TCP)
    blackout            drop everything, both ways, until "restore"
    restore             the link is clean again (no delay, loss or blackout)

Each command is acknowledged by a line "applied N <command>" in the status file (N counts from
1), so a test knows the link changed before it goes on. At exit the status file gets a summary of
what was forwarded and dropped.

Usage: impaired_link.py HOST_DEV TABLET_DEV CONTROL_FIFO STATUS_FILE
(the devices are created here, in this process's namespace; the caller moves TABLET_DEV into the
tablet's namespace and gives both their addresses once "ready" is in the status file).
"""
import errno
import fcntl
import heapq
import os
import random
import select
import signal
import struct
import sys
import time

TUNSETIFF = 0x400454CA
IFF_TUN = 0x0001
IFF_NO_PI = 0x1000
UDP = 17


def open_tun(name):
    fd = os.open("/dev/net/tun", os.O_RDWR | os.O_NONBLOCK)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN | IFF_NO_PI))
    return fd


def is_udp(packet):
    if not packet:
        return False
    version = packet[0] >> 4
    if version == 4 and len(packet) >= 20:
        return packet[9] == UDP
    if version == 6 and len(packet) >= 40:
        return packet[6] == UDP
    return False


class Link:
    def __init__(self):
        self.delay = 0.0
        self.loss = 0.0
        self.loss_udp_only = False
        self.blackout = False
        self.forwarded = 0
        self.dropped = 0

    def apply(self, words):
        if words[0] == "delay" and len(words) == 2:
            self.delay = float(words[1]) / 1000.0
        elif words[0] == "loss" and len(words) in (2, 3):
            self.loss = float(words[1]) / 100.0
            self.loss_udp_only = len(words) == 3 and words[2] == "udp"
        elif words[0] == "blackout" and len(words) == 1:
            self.blackout = True
        elif words[0] == "restore" and len(words) == 1:
            self.delay, self.loss, self.loss_udp_only, self.blackout = 0.0, 0.0, False, False
        else:
            return False
        return True

    def passes(self, packet):
        if self.blackout:
            return False
        if self.loss > 0 and (not self.loss_udp_only or is_udp(packet)):
            return random.random() >= self.loss
        return True


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    host_name, tablet_name, fifo_path, status_path = sys.argv[1:]
    host = open_tun(host_name)
    tablet = open_tun(tablet_name)
    other = {host: tablet, tablet: host}
    # Read and write ends both held here: the FIFO never reports end of file between writers.
    control = os.open(fifo_path, os.O_RDWR | os.O_NONBLOCK)
    status = open(status_path, "a", buffering=1)
    link = Link()
    held = []  # (due, order, destination, packet): a heap, FIFO for equal times
    order = 0
    last_due = 0.0  # a packet never overtakes one held before it, even when the delay shrinks
    applied = 0
    pending = b""
    running = True

    def stop(*_):
        nonlocal running
        running = False

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    status.write("ready\n")
    while running:
        timeout = max(0.0, held[0][0] - time.monotonic()) if held else 0.5
        try:
            readable, _, _ = select.select([host, tablet, control], [], [], timeout)
        except InterruptedError:
            continue
        for fd in readable:
            if fd == control:
                pending += os.read(control, 4096)
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    words = line.decode(errors="replace").split()
                    if words and link.apply(words):
                        applied += 1
                        status.write("applied %d %s\n" % (applied, " ".join(words)))
                    elif words:
                        status.write("refused %s\n" % " ".join(words))
                continue
            for _ in range(256):  # a burst at a time, then the other side gets its turn
                try:
                    packet = os.read(fd, 65535)
                except BlockingIOError:
                    break
                if not link.passes(packet):
                    link.dropped += 1
                    continue
                if link.delay > 0 or held:
                    order += 1
                    last_due = max(last_due, time.monotonic() + link.delay)
                    heapq.heappush(held, (last_due, order, other[fd], packet))
                else:
                    forward(other[fd], packet, link)
        now = time.monotonic()
        while held and held[0][0] <= now:
            _, _, destination, packet = heapq.heappop(held)
            forward(destination, packet, link)
    status.write("forwarded %d dropped %d\n" % (link.forwarded, link.dropped))


def forward(fd, packet, link):
    try:
        os.write(fd, packet)
        link.forwarded += 1
    except OSError as error:
        # A device whose link is down or whose queue is full drops, like a wire would.
        if error.errno not in (errno.EIO, errno.EAGAIN, errno.ENOBUFS, errno.EINVAL):
            raise
        link.dropped += 1


if __name__ == "__main__":
    main()
