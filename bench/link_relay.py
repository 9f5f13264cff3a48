#!/usr/bin/env python3
"""A network link with a real round trip: the client side in a network namespace of its own,
joined to this one by two TUN devices, and a relay that passes every IP packet from one device
to the other after a fixed delay, dropping a share of them. TCP then sees what a distant
server gives it: a round trip per window, retransmissions after a loss, slow start. (This
kernel has no sch_netem, which would do the same in the kernel.)

    with LinkRelay() as link:
        link.set(one_way_seconds=0.010, loss=0.01, seed=1)
        subprocess.run(link.in_client(["postbell-check", ..., link.SERVER_ADDRESS, user]))

The server side is this namespace: a server listening on SERVER_ADDRESS (once the link is up)
is reached from the client namespace through the relay. Packets keep their order in each
direction. Run as root; the devices and the namespace go when the link is closed.
"""

import collections
import ctypes
import fcntl
import os
import random
import select
import struct
import subprocess
import threading
import time

TUNSETIFF = 0x400454CA
IFF_TUN, IFF_NO_PI = 0x0001, 0x1000
CLONE_NEWNET = 0x40000000
MTU = 1500


def ip(*args, namespace=None):
    prefix = ["ip", "netns", "exec", namespace] if namespace else []
    subprocess.run(prefix + ["ip", *args], check=True, stdin=subprocess.DEVNULL, capture_output=True)


def open_tun(name, namespace=None):
    """A TUN device made in the named namespace (this one without); it lives while fd is open."""
    libc = ctypes.CDLL(None, use_errno=True)
    here = os.open("/proc/self/ns/net", os.O_RDONLY)
    try:
        if namespace:
            with open(f"/run/netns/{namespace}") as there:
                if libc.setns(there.fileno(), CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), f"setns into {namespace}")
        fd = os.open("/dev/net/tun", os.O_RDWR | os.O_CLOEXEC)
        fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN | IFF_NO_PI))
    finally:
        if namespace and libc.setns(here, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns back")
        os.close(here)
    os.set_blocking(fd, False)
    return fd


class LinkRelay:
    SERVER_ADDRESS = "10.201.0.2"
    CLIENT_ADDRESS = "10.201.0.1"

    def __init__(self):
        tag = str(os.getpid())
        self.namespace, self.server_device, self.client_device = f"pbclient{tag}", f"pbs{tag}", "pbc0"
        self.one_way, self.loss, self.random = 0.0, 0.0, random.Random(1)
        self.stopping = False
        ip("netns", "add", self.namespace)
        try:
            ip("link", "set", "lo", "up", namespace=self.namespace)
            self.server_fd = open_tun(self.server_device)
            self.client_fd = open_tun(self.client_device, self.namespace)
            for device, address, peer, namespace in (
                    (self.server_device, self.SERVER_ADDRESS, self.CLIENT_ADDRESS, None),
                    (self.client_device, self.CLIENT_ADDRESS, self.SERVER_ADDRESS, self.namespace)):
                ip("link", "set", device, "mtu", str(MTU), "up", namespace=namespace)
                ip("addr", "add", address, "peer", peer, "dev", device, namespace=namespace)
        except BaseException:
            ip("netns", "del", self.namespace)
            raise
        self.thread = threading.Thread(target=self._relay, daemon=True)
        self.thread.start()

    def set(self, one_way_seconds, loss=0.0, seed=1):
        """The delay of each packet in each direction, and the share of packets dropped."""
        self.one_way, self.loss, self.random = one_way_seconds, loss, random.Random(seed)

    def in_client(self, command):
        """command, run in the client's namespace (the process itself, not a child of ip)."""
        return ["ip", "netns", "exec", self.namespace] + list(command)

    def _relay(self):
        # Per direction: packets read from one device, each with its time to be written to the other.
        routes = {self.server_fd: (self.client_fd, collections.deque()),
                  self.client_fd: (self.server_fd, collections.deque())}
        while not self.stopping:
            due = [queue[0][0] for _, queue in routes.values() if queue]
            timeout = max(0.0, min(due) - time.monotonic()) if due else 0.2
            readable, _, _ = select.select(list(routes), [], [], timeout)
            now = time.monotonic()
            for fd in readable:
                _, queue = routes[fd]
                while True:
                    try:
                        packet = os.read(fd, 65536)
                    except BlockingIOError:
                        break
                    if self.random.random() >= self.loss:
                        queue.append((now + self.one_way, packet))
            for sink, queue in routes.values():
                while queue and queue[0][0] <= now:
                    try:
                        os.write(sink, queue.popleft()[1])
                    except OSError:
                        pass        # a full device queue drops the packet, as a router would

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stopping = True
        self.thread.join()
        os.close(self.client_fd)
        os.close(self.server_fd)
        ip("netns", "del", self.namespace)
