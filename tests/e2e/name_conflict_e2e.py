"""Name conflicts end to end: a receiver whose name another machine already holds takes the next
free one and says so, and the other machine keeps its own; two receivers started with one label
end with different names.

Every host is a namespace joined to one bridge (in a hub namespace of its own), so all of them
share a link. python-zeroconf plays the machine that owns the name first and the browsing phone.
Needs root; everything it creates it removes again.
"""

import json
import os
import sys
import tempfile
import textwrap

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns_util  # noqa: E402
from discovery_e2e import (PY, SoundServer, ZEROCONF_BROWSE, check, failures,  # noqa: E402
                           receiver_env, start_receiver, startup_done)

def advertised(name):
    return f"\u2192 advertised _brindle._udp as \"{name}\"\n"


# Registers testpc (host testpc.local. at the given address) and keeps it until stdin closes.
OWNER = textwrap.dedent("""
    import socket, sys, time
    from zeroconf import ServiceInfo, Zeroconf
    zc = Zeroconf(interfaces=[sys.argv[1]])
    info = ServiceInfo("_brindle._udp.local.", "testpc._brindle._udp.local.",
                       addresses=[socket.inet_aton(sys.argv[1])], port=45333,
                       server="testpc.local.")
    zc.register_service(info)
    print("registered", info.name, flush=True)
    time.sleep(float(sys.argv[2]))
    zc.close()
""")


class Link:
    """A bridge in a hub namespace; every host joins it with a veth pair of its own."""

    def __init__(self, pid, namespaces):
        self.pid = pid
        self.namespaces = namespaces
        self.hub = self._namespace("hub")
        netns_util.ip("-n", self.hub.name, "link", "add", "br0", "type", "bridge",
                      "mcast_snooping", "0")
        netns_util.ip("-n", self.hub.name, "link", "set", "br0", "up")
        self.count = 0

    def _namespace(self, role):
        ns = netns_util.Namespace(f"brnc{role}-{self.pid}")
        self.namespaces.append(ns)
        return ns

    def host(self, role, address):
        self.count += 1
        ns = self._namespace(role)
        host_if, hub_if = "eth0", f"p{self.count}-{self.pid}"[:15]
        netns_util.ip("link", "add", hub_if, "type", "veth", "peer", "name", f"h{hub_if}"[:15])
        netns_util.ip("link", "set", hub_if, "netns", self.hub.name)
        netns_util.ip("link", "set", f"h{hub_if}"[:15], "netns", ns.name)
        netns_util.ip("-n", ns.name, "link", "set", f"h{hub_if}"[:15], "name", host_if)
        netns_util.ip("-n", self.hub.name, "link", "set", hub_if, "master", "br0")
        netns_util.ip("-n", self.hub.name, "link", "set", hub_if, "up")
        netns_util.ip("-n", ns.name, "link", "set", host_if, "up")
        netns_util.add_address(ns, host_if, f"{address}/24")
        netns_util.ip("-n", ns.name, "route", "add", "224.0.0.0/4", "dev", host_if)
        return ns


def browse(phone):
    """{instance name: addresses} that a fresh zeroconf browse resolves."""
    result = phone.run([PY, "-c", ZEROCONF_BROWSE], timeout=60)
    try:
        data = json.loads(result.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return {"error": result.stderr[-1000:]}
    return {f["name"]: f["addresses"] for f in data["found"]}


def owned_name_checks(link, pulse_env, tmp, processes):
    print("-- another machine already owns testpc")
    other = link.host("other", "198.51.100.20")
    pc = link.host("pc", "198.51.100.21")
    phone = link.host("phone", "198.51.100.22")
    owner = netns_util.Process(other.command([PY, "-c", OWNER, "198.51.100.20", "40"]))
    processes.append(owner)
    check("the other machine registers testpc",
          owner.wait_for(lambda p: "registered" in p.stdout_text(), 20), owner.stderr_text())
    receiver = start_receiver(pc, receiver_env(pulse_env, tmp, "owned", computer_name="testpc"))
    processes.append(receiver)
    receiver.wait_for(startup_done, 15)
    check("the receiver takes testpc-2 and says so",
          receiver.wait_for(lambda p: advertised("testpc-2") in p.stdout_text(), 10),
          receiver.stdout_text())
    found = browse(phone)
    check("the phone finds both machines, each under its own name",
          found == {"testpc._brindle._udp.local.": ["198.51.100.20"],
                    "testpc-2._brindle._udp.local.": ["198.51.100.21"]}, str(found))
    out = receiver.stdout_text()
    check("one line per rename", out.count("advertised") == 2, out)
    check("the other machine keeps running", owner.running(), owner.stderr_text())
    receiver.stop()
    owner.stop()


def twin_checks(link, pulse_env, tmp, processes):
    print("-- two receivers started at once with one label")
    first = link.host("twin1", "198.51.100.31")
    second = link.host("twin2", "198.51.100.32")
    phone = link.host("phone2", "198.51.100.33")
    twins = [start_receiver(ns, receiver_env(pulse_env, tmp, ns.name, computer_name="twin"))
             for ns in (first, second)]
    processes.extend(twins)
    for t in twins:
        t.wait_for(startup_done, 15)
    renamed = [t for t in twins
               if t.wait_for(lambda p: advertised("twin-2") in p.stdout_text(), 5)]
    check("exactly one of them takes twin-2", len(renamed) == 1,
          " | ".join(t.stdout_text() for t in twins))
    found = browse(phone)
    check("the phone finds twin and twin-2 at different addresses",
          sorted(found) == ["twin-2._brindle._udp.local.", "twin._brindle._udp.local."]
          and found["twin._brindle._udp.local."] != found["twin-2._brindle._udp.local."],
          str(found))
    for t in twins:
        t.stop()


def main():
    if not netns_util.have_root():
        print("SKIP name conflict suite: needs root for network namespaces")
        return 0
    namespaces, processes = [], []
    with tempfile.TemporaryDirectory(prefix="brindle-conflict-") as tmp:
        sound = None
        try:
            sound = SoundServer(tmp)
            link = Link(os.getpid(), namespaces)
            owned_name_checks(link, sound.env, tmp, processes)
            twin_checks(link, sound.env, tmp, processes)
        finally:
            for p in reversed(processes):
                p.stop()
            for ns in reversed(namespaces):
                ns.remove()
            if sound is not None:
                sound.stop()
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("all name conflict checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
