"""Network namespaces for end-to-end tests: created, used and always removed by the test itself.

Every address comes from 198.51.100.0/24 (TEST-NET-2), so nothing can leak to a real network.
Only processes started through this module are ever stopped by it, each by its own PID.
"""

import os
import signal
import subprocess
import threading
import time


def have_root():
    return os.geteuid() == 0


def ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, capture_output=True, text=True)


class Namespace:
    def __init__(self, name):
        self.name = name
        ip("netns", "add", name)
        ip("-n", name, "link", "set", "lo", "up")

    def command(self, args):
        return ["ip", "netns", "exec", self.name, *args]

    def run(self, args, timeout=30, env=None, **kw):
        return subprocess.run(self.command(args), timeout=timeout, env=env, capture_output=True,
                              text=True, **kw)

    def remove(self):
        ip("netns", "del", self.name, check=False)


def veth_pair(a, a_if, b, b_if):
    """Joins two namespaces with a veth pair; the ends are named a_if and b_if."""
    ip("link", "add", a_if, "type", "veth", "peer", "name", b_if)
    ip("link", "set", a_if, "netns", a.name)
    ip("link", "set", b_if, "netns", b.name)
    ip("-n", a.name, "link", "set", a_if, "up")
    ip("-n", b.name, "link", "set", b_if, "up")


def add_address(ns, dev, cidr):
    ip("-n", ns.name, "addr", "add", cidr, "dev", dev)


class Process:
    """A child whose output lines are collected as they come."""

    def __init__(self, args, env=None):
        self.args = args
        self.proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     start_new_session=True)
        self.out = []
        self.err = []
        self._lock = threading.Lock()
        self._threads = [threading.Thread(target=self._pump, args=(self.proc.stdout, self.out),
                                          daemon=True),
                         threading.Thread(target=self._pump, args=(self.proc.stderr, self.err),
                                          daemon=True)]
        for t in self._threads:
            t.start()

    def _pump(self, stream, lines):
        for raw in iter(stream.readline, b""):
            with self._lock:
                lines.append(raw.decode("utf-8", "replace"))

    def stdout_text(self):
        with self._lock:
            return "".join(self.out)

    def stderr_text(self):
        with self._lock:
            return "".join(self.err)

    def wait_for(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate(self):
                return True
            if self.proc.poll() is not None:
                time.sleep(0.2)  # let the pumps drain
                return predicate(self)
            time.sleep(0.05)
        return predicate(self)

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        """Ends this child (its own process group, which holds only what it started)."""
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=5)
        for t in self._threads:
            t.join(timeout=2)
