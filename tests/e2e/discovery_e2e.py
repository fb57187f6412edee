"""Discovery end to end: the receiver advertises itself inside a private network and mDNS clients
that this project did not write find it, resolve it and send it audio.

Two namespaces, "pc" and "phone", are joined by a veth pair. The pc end holds two usable
addresses and a link-local one; the phone browses with python-zeroconf and avahi, asks a legacy
unicast question, asks one straight at the pc's address (answered by unicast), and plays a tone to
the address it resolved; a querier off the local link gets no answer. Then: --no-mdns stays silent on port 5353; a receiver started before its
network comes up follows the addresses as they come, change and go; and a namespace with
nothing but loopback gives the advertised warning and still receives; with two links and 25
adapters that no phone can reach, a phone on each link resolves only its own link's address, a
query flood gets about one answer a second and a flood of probes at most four. Needs root;
everything it creates it removes again.
"""

import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import textwrap
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns_util  # noqa: E402

try:
    import harness  # the shared sound-server helpers, when this tree has them
except ImportError:
    harness = None

BUILD = os.environ.get("BRINDLE_BUILD_DIR", "build")
RECEIVER = os.path.join(BUILD, "brindle-receiver")
SENDER = os.path.join(BUILD, "brindle-send")
PY = "/usr/bin/python3"

LABEL = "E2E-Brindle-PC"
PC_ADDRS = ["198.51.100.1", "198.51.100.3"]
PC_LINK_LOCAL = "169.254.77.1"
PHONE_ADDR = "198.51.100.2"
WARNING = ("mDNS advertise failed (no usable IPv4 LAN address to advertise (is the network up?));"
           " discovery off \u2014 UDP still works if the phone already knows the IP\n")

failures = []


def check(what, ok, detail=""):
    print(f"{'ok  ' if ok else 'FAIL'} {what}" + (f": {detail}" if detail and not ok else ""))
    if not ok:
        failures.append(what)
    return ok


# ---- sound server ----

class SoundServer:
    """A private PulseAudio with a null sink "cable" as default. Its socket is a path, so it is
    reachable from every namespace."""

    def __init__(self, tmp):
        self._shared = None
        self._own = None
        if harness is not None:
            self._shared = harness.PulseServer()
            self._shared.start()
            self._shared.add_null_sink("cable", harness.CABLE_DESCRIPTION, default=True)
            self.env = self._shared.env
        else:
            self._own, self.env = start_pulse(tmp)

    def peak_while(self, seconds):
        """Peak of what the sink plays over the next seconds, 0..1."""
        if self._shared is not None:
            recording = self._shared.record("cable")
            recording.wait_seconds(seconds)
            return harness.peak(recording.finish())
        return record_level(self.env, seconds) / 32768.0

    def stop(self):
        if self._shared is not None:
            self._shared.stop()
        if self._own is not None:
            self._own.stop()


def start_pulse(tmp):
    run_dir = os.path.join(tmp, "pulse")
    os.makedirs(run_dir)
    env = dict(os.environ, HOME=run_dir, XDG_RUNTIME_DIR=run_dir, PULSE_RUNTIME_PATH=run_dir,
               PULSE_SERVER=f"unix:{run_dir}/native")
    server = netns_util.Process(
        ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--system=no",
         f"--load=module-native-protocol-unix auth-anonymous=1 socket={run_dir}/native",
         "--log-target=stderr"], env=env)
    for _ in range(100):
        if subprocess.run(["pactl", "info"], env=env, capture_output=True).returncode == 0:
            break
        time.sleep(0.1)
    subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=cable", "rate=48000"],
                   env=env, capture_output=True, check=True)
    subprocess.run(["pactl", "set-default-sink", "cable"], env=env, capture_output=True,
                   check=True)
    return server, env


def receiver_env(pulse_env, tmp, name, computer_name=LABEL, system_bus=None):
    runtime = os.path.join(tmp, f"run-{name}")
    os.makedirs(runtime, exist_ok=True)
    # Without a bus of the test's own the system's Avahi is out of reach: ours serves.
    env = dict(os.environ, PULSE_SERVER=pulse_env["PULSE_SERVER"], XDG_RUNTIME_DIR=runtime,
               HOME=runtime,
               DBUS_SYSTEM_BUS_ADDRESS=system_bus or f"unix:path={runtime}/no-bus")
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    if computer_name is not None:
        env["COMPUTERNAME"] = computer_name
    return env


def start_receiver(ns, env, *extra):
    return netns_util.Process(ns.command([RECEIVER, "--device", "default", *extra]), env=env)


def startup_done(p):
    # The empty line ends the start-up sequence.
    return "\n\n" in p.stdout_text() or not p.running()


def streaming_seen(p):
    return any("[streaming]" in line for line in p.out)


# ---- phone-side clients ----

ZEROCONF_BROWSE = textwrap.dedent("""
    import json, sys, time
    from zeroconf import ServiceBrowser, Zeroconf
    zc = Zeroconf()
    names = []
    class Listener:
        def add_service(self, zc, kind, name): names.append(name)
        def remove_service(self, zc, kind, name): pass
        def update_service(self, zc, kind, name): pass
    browser = ServiceBrowser(zc, "_brindle._udp.local.", Listener())
    deadline = time.time() + 10
    while not names and time.time() < deadline:
        time.sleep(0.1)
    found = []
    for name in names:
        info = zc.get_service_info("_brindle._udp.local.", name, timeout=5000)
        if info:
            found.append({"name": info.name, "port": info.port, "server": info.server,
                          "addresses": sorted(info.parsed_addresses()),
                          "properties": {k.decode(): (v.decode() if v is not None else None)
                                         for k, v in info.properties.items()}})
    zc.close()
    print(json.dumps({"names": names, "found": found}))
""")


def zeroconf_checks(phone):
    result = phone.run([PY, "-c", ZEROCONF_BROWSE], timeout=60)
    try:
        data = json.loads(result.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        check("zeroconf browse ran", False, result.stderr[-2000:])
        return None
    full = f"{LABEL}._brindle._udp.local."
    check("zeroconf browses exactly one _brindle._udp instance", data["names"] == [full],
          str(data["names"]))
    if not data["found"]:
        check("zeroconf resolves the instance", False)
        return None
    info = data["found"][0]
    check("zeroconf: instance name", info["name"] == full, info["name"])
    check("zeroconf: port 45333", info["port"] == 45333, str(info["port"]))
    check("zeroconf: server is <label>.local.", info["server"] == f"{LABEL}.local.",
          info["server"])
    check("zeroconf: exactly the usable IPv4 addresses (no link-local)",
          info["addresses"] == sorted(PC_ADDRS), str(info["addresses"]))
    check("zeroconf: no TXT properties", info["properties"] == {}, str(info["properties"]))
    return info["addresses"][0]


DBUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""

AVAHI_CONFIG = """[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces={iface}
enable-dbus=yes
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
disable-publishing=yes
[reflector]
enable-reflector=no
"""


def start_avahi(ns, tmp, tag, config, started):
    """avahi-daemon in `ns` on a private system bus (a private /run keeps its pid file away from
    any real one); the environment that reaches it, or None when it did not start."""
    bus_socket = os.path.join(tmp, f"{tag}-bus")
    dbus_conf = os.path.join(tmp, f"{tag}-dbus.conf")
    avahi_conf = os.path.join(tmp, f"{tag}-avahi-daemon.conf")
    with open(dbus_conf, "w") as f:
        f.write(DBUS_CONFIG.format(socket=bus_socket))
    with open(avahi_conf, "w") as f:
        f.write(config)
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={bus_socket}")
    started.append(netns_util.Process(["dbus-daemon", f"--config-file={dbus_conf}", "--nofork",
                                       "--nopidfile"], env=env))
    for _ in range(50):
        if os.path.exists(bus_socket):
            break
        time.sleep(0.1)
    daemon = netns_util.Process(ns.command(
        ["unshare", "--mount", "sh", "-c",
         "mount -t tmpfs tmpfs /run && exec avahi-daemon --no-drop-root --no-chroot "
         f"--no-rlimits --no-proc-title -f {avahi_conf}"]), env=env)
    started.append(daemon)
    if not daemon.wait_for(lambda p: "Server startup complete" in p.stderr_text(), 15):
        check(f"avahi-daemon starts ({tag})", False, daemon.stderr_text()[-2000:])
        return None
    return env


def avahi_checks(phone, iface, tmp):
    """avahi-browse talks to avahi-daemon over the system bus, so the phone gets a daemon of its
    own."""
    started = []
    try:
        env = start_avahi(phone, tmp, "phone", AVAHI_CONFIG.format(iface=iface), started)
        if env is None:
            return
        # No -t: a daemon just started may call "all for now" before the first answer is in.
        browse = netns_util.Process(phone.command(["avahi-browse", "-rp", "_brindle._udp"]),
                                    env=env)
        started.append(browse)
        browse.wait_for(lambda p: "\n=" in "\n" + p.stdout_text(), 20)
        time.sleep(0.5)  # the other addresses' lines come with the first
        resolved = [line.strip().split(";") for line in browse.stdout_text().splitlines()
                    if line.startswith("=")]
        ok = check("avahi-browse resolves the service", bool(resolved),
                   browse.stdout_text() + browse.stderr_text())
        if ok:
            fields = resolved[0]
            check("avahi: instance name", fields[3] == LABEL, fields[3])
            check("avahi: host name", fields[6] == f"{LABEL}.local", fields[6])
            check("avahi: address is a usable pc address",
                  all(f[7] in PC_ADDRS for f in resolved), str([f[7] for f in resolved]))
            check("avahi: port 45333", fields[8] == "45333", fields[8])
    finally:
        for p in reversed(started):
            p.stop()


ZEROCONF_WATCH = textwrap.dedent("""
    import sys, time
    from zeroconf import ServiceBrowser, Zeroconf
    # The phone's link address only: the off-link one it also holds by now is never answered.
    zc = Zeroconf(interfaces=[sys.argv[2]])
    class Listener:
        def add_service(self, zc, kind, name): print("added", name, flush=True)
        def remove_service(self, zc, kind, name): print("removed", name, flush=True)
        def update_service(self, zc, kind, name): pass
    browser = ServiceBrowser(zc, "_brindle._udp.local.", Listener())
    time.sleep(float(sys.argv[1]))
    zc.close()
""")


def stop_checks(phone, receiver, path, signum):
    """An orderly end: a browsing phone sees the service go within 2 s, and the receiver ends by
    the signal as it always did."""
    what = f"{path}, {signal.Signals(signum).name}"
    watcher = netns_util.Process(phone.command([PY, "-c", ZEROCONF_WATCH, "60", PHONE_ADDR]))
    try:
        if not check(f"{what}: a browsing phone lists the service",
                     watcher.wait_for(lambda p: "added" in p.stdout_text(), 30),
                     watcher.stdout_text() + watcher.stderr_text()[-1000:]):
            return
        sent = time.monotonic()
        receiver.proc.send_signal(signum)
        gone = watcher.wait_for(lambda p: "removed" in p.stdout_text(), 5)
        took = time.monotonic() - sent
        check(f"{what}: the phone sees the service go within 2 s", gone and took <= 2.0,
              f"{took:.2f} s" + watcher.stdout_text())
        try:
            receiver.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass
        check(f"{what}: the receiver ends by the signal", receiver.proc.returncode == -signum,
              str(receiver.proc.returncode))
    finally:
        watcher.stop()


ZEROCONF_OWNER = textwrap.dedent(f"""
    import socket, sys, time
    from zeroconf import ServiceInfo, Zeroconf
    zc = Zeroconf(interfaces=[sys.argv[1]])
    zc.register_service(ServiceInfo("_brindle._udp.local.", "{LABEL}._brindle._udp.local.",
                                    port=45333, server="other-phone.local.",
                                    addresses=[socket.inet_aton(sys.argv[1])]))
    print("registered", flush=True)
    time.sleep(40)
""")

PC_AVAHI_HOST = "e2e-avahi-host"


def system_responder_checks(pc, pc_if, phone, phone_if, pulse_env, tmp):
    """With avahi-daemon on the pc the receiver publishes through it: Avahi's is the only
    socket on 5353, and the phone resolves the same service, under our host name."""
    started = []
    try:
        config = (AVAHI_CONFIG.format(iface=pc_if)
                  .replace("disable-publishing=yes", "disable-publishing=no")
                  .replace("[server]\n", f"[server]\nhost-name={PC_AVAHI_HOST}\n"))
        bus_env = start_avahi(pc, tmp, "pc", config, started)
        if bus_env is None:
            return
        receiver = start_receiver(pc, receiver_env(pulse_env, tmp, "avahi",
                                                   system_bus=bus_env["DBUS_SYSTEM_BUS_ADDRESS"]))
        started.append(receiver)
        receiver.wait_for(startup_done, 15)
        check("with avahi: the advertised line", ADVERTISED in receiver.stdout_text(),
              receiver.stdout_text() + receiver.stderr_text())
        sockets = pc.run(["ss", "-Hulpn", "sport = :5353"]).stdout
        lines = [line for line in sockets.splitlines() if line.strip()]
        check("with avahi: one socket on 5353, Avahi's",
              len(lines) == 1 and "avahi-daemon" in lines[0], sockets)
        names, addresses = resolve(phone)
        check("with avahi: zeroconf resolves the instance with the usable addresses",
              names == [f"{LABEL}._brindle._udp.local."] and addresses == sorted(PC_ADDRS),
              f"{names} {addresses}")
        avahi_checks(phone, phone_if, tmp)
        # Avahi restarting under the receiver: the service is published again on its return.
        daemon = started[1]
        daemon.stop()
        again = netns_util.Process(daemon.args, env=bus_env)
        started.append(again)
        again.wait_for(lambda p: "Server startup complete" in p.stderr_text(), 15)
        names, addresses = resolve(phone)
        check("avahi restarted: the phone resolves the service again",
              names == [f"{LABEL}._brindle._udp.local."] and addresses == sorted(PC_ADDRS),
              f"{names} {addresses}")
        stop_checks(phone, receiver, "with avahi", signal.SIGTERM)

        # The phone already owns the instance name: Avahi's rename comes as one more line.
        owner = netns_util.Process(phone.command([PY, "-c", ZEROCONF_OWNER, PHONE_ADDR]))
        started.append(owner)
        if not owner.wait_for(lambda p: "registered" in p.stdout_text(), 20):
            check("with avahi: the phone registers the same name", False, owner.stderr_text())
            return
        second = start_receiver(pc, receiver_env(pulse_env, tmp, "avahi-renamed",
                                                 system_bus=bus_env["DBUS_SYSTEM_BUS_ADDRESS"]))
        started.append(second)
        renamed = ADVERTISED.replace(LABEL, f"{LABEL}-2")
        second.wait_for(lambda p: renamed in p.stdout_text(), 15)
        out = second.stdout_text()
        check("with avahi, name taken: one line naming the next free name",
              renamed in out and out.count("advertised") == 2, out)
    finally:
        for p in reversed(started):
            p.stop()


def legacy_query(name, qtype, qid):
    labels = b"".join(bytes([len(x)]) + x.encode() for x in name.strip(".").split("."))
    return struct.pack(">HHHHHH", qid, 0, 1, 0, 0, 0) + labels + b"\0" + struct.pack(">HH",
                                                                                     qtype, 1)


def probe_query(name):
    """A probe as another host claiming `name` sends it: ANY question, its address in authority."""
    question = legacy_query(name, 255, 0)
    header = struct.pack(">HHHHHH", 0, 0, 1, 0, 1, 0)
    return header + question[12:] + b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 120, 4) + \
        socket.inet_aton("198.51.100.9")


LEGACY_PROBE = textwrap.dedent("""
    import socket, sys
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(3)
    s.sendto(bytes.fromhex(sys.argv[1]), ("224.0.0.251", 5353))
    try:
        data, source = s.recvfrom(9000)
        print(source[0], source[1], data.hex())
    except socket.timeout:
        print("timeout")
""")


def skip_name(data, pos):
    while True:
        n = data[pos]
        if n & 0xC0 == 0xC0:
            return pos + 2
        if n == 0:
            return pos + 1
        pos += 1 + n


def answers(data):
    """(type, class word, ttl, rdata) of every answer of a DNS message."""
    qd, an = struct.unpack(">HH", data[4:8])
    pos = 12
    for _ in range(qd):
        pos = skip_name(data, pos) + 4
    out = []
    for _ in range(an):
        pos = skip_name(data, pos)
        rtype, rclass, ttl, rdlen = struct.unpack(">HHIH", data[pos:pos + 10])
        out.append((rtype, rclass, ttl, data[pos + 10:pos + 10 + rdlen]))
        pos += 10 + rdlen
    return out


def records(data):
    """(type, class word, ttl) of every answer of a DNS message."""
    return [(rtype, rclass, ttl) for rtype, rclass, ttl, _ in answers(data)]


def captured(listener):
    """(time, records) of every response the listener saw from the pc."""
    out = []
    for line in listener.stdout_text().splitlines():
        parts = line.split()
        if len(parts) == 5 and parts[0] == "packet" and parts[1] in PC_ADDRS:
            data = bytes.fromhex(parts[4])
            if struct.unpack(">H", data[2:4])[0] & 0x8000:
                out.append((float(parts[3]), records(data)))
    return out


def legacy_checks(phone):
    # dig itself: a plain DNS resolver asking the responder directly.
    result = phone.run(["dig", "+norecurse", "+time=3", "+tries=2", "-p", "5353",
                        f"@{PC_ADDRS[0]}", f"{LABEL}.local.", "A"], timeout=30)
    answers = sorted(line.split()[-1] for line in result.stdout.splitlines()
                     if line.startswith(f"{LABEL}.local.") and "\tA\t" in line.replace(" ", "\t"))
    check("dig (legacy unicast, port 5353) gets both A records", answers == sorted(PC_ADDRS),
          result.stdout[-1500:])
    multicast = phone.run(["dig", "+norecurse", "+time=2", "+tries=1", "-p", "5353",
                           "@224.0.0.251", f"{LABEL}.local.", "A"], timeout=30)
    print("info dig @224.0.0.251:", "answered" if "ANSWER SECTION" in multicast.stdout else
          "no answer accepted (dig only takes replies from the address it asked)")

    # The same question from an ephemeral port to the group, checked byte by byte.
    query = legacy_query(f"{LABEL}.local.", 1, 0x5A5A)
    result = phone.run([PY, "-c", LEGACY_PROBE, query.hex()], timeout=30)
    parts = result.stdout.split()
    if not check("legacy multicast query gets a unicast reply", len(parts) == 3,
                 result.stdout + result.stderr):
        return
    data = bytes.fromhex(parts[2])
    qid, flags, qd, an = struct.unpack(">HHHH", data[:8])
    check("legacy reply keeps the query ID", qid == 0x5A5A, hex(qid))
    check("legacy reply echoes the question",
          qd == 1 and data[12:12 + len(query) - 12] == query[12:], data.hex())
    pos = 12 + len(query) - 12
    ttls, classes = [], []
    for _ in range(an):
        pos = skip_name(data, pos)
        rtype, rclass, ttl, rdlen = struct.unpack(">HHIH", data[pos:pos + 10])
        ttls.append(ttl)
        classes.append(rclass)
        pos += 10 + rdlen
    check("legacy reply: answers present", an == len(PC_ADDRS), str(an))
    check("legacy reply: TTLs at most 10 s", all(0 < t <= 10 for t in ttls), str(ttls))
    check("legacy reply: no cache-flush bit", all(c == 1 for c in classes), str(classes))


# ---- audio ----

def record_level(pulse_env, seconds):
    """Peak of the null sink's monitor over a few seconds, 0..32767."""
    proc = subprocess.run(["timeout", str(seconds), "parec", "-d", "cable.monitor", "--raw",
                           "--format=s16le", "--rate=48000", "--channels=1"],
                          env=pulse_env, capture_output=True)
    samples = proc.stdout[:len(proc.stdout) // 2 * 2]
    if not samples:
        return 0
    return max(abs(v) for v in struct.unpack(f"<{len(samples) // 2}h", samples))


def tone_checks(phone, receiver, address, sound):
    sender = netns_util.Process(phone.command(
        [SENDER, address, "45333", "--freq", "1000", "--level", "0.5", "--duration", "6"]))
    try:
        time.sleep(1.5)
        peak = sound.peak_while(2)
        check("receiver status shows streaming after the phone sends to the resolved address",
              receiver.wait_for(streaming_seen, 8), receiver.stdout_text()[-800:])
        # The tone is sent at half scale.
        check("the tone comes out of the sink", 0.4 < peak < 0.6, f"peak {peak:.3f}")
    finally:
        sender.stop()


# ---- listening for silence ----

MDNS_LISTENER = textwrap.dedent("""
    import socket, struct, sys, time
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", 5353))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 socket.inet_aton("224.0.0.251") + socket.inet_aton(sys.argv[1]))
    print("ready", flush=True)
    end = time.time() + float(sys.argv[2])
    while time.time() < end:
        s.settimeout(max(0.05, end - time.time()))
        try:
            data, source = s.recvfrom(9000)
            print("packet", source[0], source[1], f"{time.time():.3f}", data.hex(), flush=True)
        except socket.timeout:
            pass
    print("done", flush=True)
""")


def lifecycle_checks(pc, phone, tmp):
    probe_path = os.path.join(BUILD, "discovery-advertise-probe")
    if not os.path.exists(probe_path):
        check("advertise probe is built", False, probe_path)
        return
    listener = netns_util.Process(phone.command([PY, "-c", MDNS_LISTENER, PHONE_ADDR, "6"]))
    probe = None
    try:
        listener.wait_for(lambda p: "ready" in p.stdout_text(), 10)
        probe = netns_util.Process(pc.command([probe_path, "3500"]),
                                   env=dict(os.environ, COMPUTERNAME=LABEL))
        probe.wait_for(lambda p: not p.running(), 15)
        listener.wait_for(lambda p: "done" in p.stdout_text(), 15)
        check("probe advertised, released and exited cleanly",
              "advertised" in probe.stdout_text() and "released" in probe.stdout_text()
              and probe.proc.returncode == 0, probe.stdout_text() + probe.stderr_text())
        packets = captured(listener)
        hellos = [t for t, rs in packets if rs and all(ttl > 0 for _, _, ttl in rs) and len(rs) >= 6]
        goodbyes = [rs for t, rs in packets if rs and all(ttl == 0 for _, _, ttl in rs)]
        check("at least two announcements with every record", len(hellos) >= 2, str(packets))
        if len(hellos) >= 2:
            gap = hellos[1] - hellos[0]
            check("announcements one second apart", 0.8 <= gap <= 1.5, f"{gap:.3f} s")
        check("a goodbye (TTL 0) when the advertisement is released", len(goodbyes) == 1,
              str(packets))
        if goodbyes:
            flush_ok = all(((c & 0x8000) != 0) == (t != 12) for t, c, _ in goodbyes[0])
            check("cache-flush bit on SRV/TXT/A, never on PTR", flush_ok, str(goodbyes[0]))
            types = sorted(t for t, _, _ in goodbyes[0])
            check("goodbye withdraws PTR, enumeration PTR, SRV, TXT and both A records",
                  types == [1, 1, 12, 12, 16, 33], str(types))
    finally:
        if probe:
            probe.stop()
        listener.stop()


HOLD_5353 = textwrap.dedent("""
    import socket, time
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", 5353))
    print("holding", flush=True)
    time.sleep(60)
""")


def daemon_failure_checks(ns, pulse_env, tmp):
    """Port 5353 held by a program that does not share it: the responder cannot start, and that is
    reported even though this namespace has no usable address either (the responder comes
    first)."""
    holder = netns_util.Process(ns.command([PY, "-c", HOLD_5353]))
    receiver = None
    try:
        holder.wait_for(lambda p: "holding" in p.stdout_text(), 10)
        receiver = start_receiver(ns, receiver_env(pulse_env, tmp, "busy"))
        receiver.wait_for(startup_done, 15)
        expected = ("mDNS advertise failed (mDNS daemon: Address already in use (os error 98)); "
                    "discovery off \u2014 UDP still works if the phone already knows the IP\n")
        check("port 5353 taken: the daemon failure, before the address check",
              expected in receiver.stderr_text(), receiver.stderr_text())
        check("port 5353 taken: receiver keeps running", receiver.running())
    finally:
        if receiver:
            receiver.stop()
        holder.stop()


# ---- only the local link is answered ----

OFF_LINK_ADDR = "203.0.113.2"

QUERY_FROM = textwrap.dedent("""
    import socket, sys
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((sys.argv[1], int(sys.argv[3])))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(sys.argv[1]))
    s.settimeout(3)
    s.sendto(bytes.fromhex(sys.argv[2]), ("224.0.0.251", 5353))
    try:
        while True:
            data, source = s.recvfrom(9000)
            if data[2] & 0x80:
                print("reply", source[0])
                break
    except socket.timeout:
        print("timeout")
""")


DIRECT_QUERY = textwrap.dedent("""
    import select, socket, sys
    group = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    group.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    group.bind(("0.0.0.0", 5353))
    group.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                     socket.inet_aton("224.0.0.251") + socket.inet_aton(sys.argv[1]))
    # Bound to the phone's own address: it hears unicast only.
    own = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    own.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    own.bind((sys.argv[1], 5353))
    own.sendto(bytes.fromhex(sys.argv[3]), (sys.argv[2], 5353))
    seen = set()
    while True:
        ready, _, _ = select.select([group, own], [], [], 2)
        if not ready:
            break
        for s in ready:
            data, source = s.recvfrom(9000)
            if data[2] & 0x80 and source[0] == sys.argv[2]:
                seen.add("unicast" if s is own else "multicast")
    print(" ".join(sorted(seen)) or "nothing")
""")


def direct_checks(phone):
    # A plain mDNS query (port 5353, no QU bit) sent straight to the pc's address.
    query = legacy_query(f"{LABEL}.local.", 1, 0).hex()
    result = phone.run([PY, "-c", DIRECT_QUERY, PHONE_ADDR, PC_ADDRS[0], query], timeout=20)
    check("a query sent to the pc's address is answered by unicast only",
          result.stdout.strip() == "unicast", result.stdout + result.stderr)


def off_link_checks(pc, pc_if, phone, phone_if):
    """A querier whose source lies outside the pc's subnets gets no answer, legacy or QU, although
    its queries reach the pc (a listener there sees them) and a route back exists."""
    netns_util.add_address(phone, phone_if, f"{OFF_LINK_ADDR}/24")
    netns_util.ip("-n", pc.name, "route", "add", "203.0.113.0/24", "dev", pc_if)
    listener = netns_util.Process(pc.command([PY, "-c", MDNS_LISTENER, PC_ADDRS[0], "12"]))
    try:
        listener.wait_for(lambda p: "ready" in p.stdout_text(), 10)
        legacy = legacy_query(f"{LABEL}.local.", 1, 0x1234).hex()
        qu = bytearray(legacy_query(f"{LABEL}.local.", 1, 0))
        qu[-1] = 1
        qu[-2] = 0x80  # the unicast-response bit
        for kind, query, port in (("legacy", legacy, "0"), ("QU", bytes(qu).hex(), "5353")):
            on = phone.run([PY, "-c", QUERY_FROM, PHONE_ADDR, query, port], timeout=20)
            off = phone.run([PY, "-c", QUERY_FROM, OFF_LINK_ADDR, query, port], timeout=20)
            check(f"{kind} query from the local link is answered",
                  on.stdout.startswith("reply"), on.stdout + on.stderr)
            check(f"{kind} query from {OFF_LINK_ADDR} (off-link) gets no answer",
                  off.stdout.strip() == "timeout", off.stdout + off.stderr)
        listener.wait_for(lambda p: f"packet {OFF_LINK_ADDR}" in p.stdout_text(), 5)
        check("the off-link queries did reach the pc",
              f"packet {OFF_LINK_ADDR}" in listener.stdout_text(), listener.stdout_text()[-500:])
    finally:
        listener.stop()


# ---- following the network ----

FOLLOW_ADDRS = ["198.51.100.11", "198.51.100.12", "198.51.100.13"]
ADVERTISED = f"\u2192 advertised _brindle._udp as \"{LABEL}\"\n"


def resolve(phone):
    """(instance names, addresses of the first) a fresh zeroconf browse finds."""
    result = phone.run([PY, "-c", ZEROCONF_BROWSE], timeout=60)
    try:
        data = json.loads(result.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return None, result.stderr[-1000:]
    return data["names"], (data["found"][0]["addresses"] if data["found"] else [])


def a_records(data):
    """(address, ttl) of every A record among the answers of a DNS message."""
    return [(socket.inet_ntoa(rdata), ttl) for rtype, _, ttl, rdata in answers(data)
            if rtype == 1 and len(rdata) == 4]


def responses(listener, since=0.0):
    """(time, records, A records) of every response the listener saw after `since`."""
    out = []
    for line in listener.stdout_text().splitlines():
        parts = line.split()
        if len(parts) == 5 and parts[0] == "packet" and float(parts[3]) >= since:
            data = bytes.fromhex(parts[4])
            if struct.unpack(">H", data[2:4])[0] & 0x8000:
                out.append((float(parts[3]), records(data), a_records(data)))
    return out


def follow_checks(pulse_env, tmp, pid):
    """A receiver started before its network: the warning, then the advertised line once an
    address appears; a replaced address is withdrawn and the new one resolved; a flapping one
    does not flood the link; with no address left nothing is found."""
    pc = netns_util.Namespace(f"brfpc-{pid}")
    phone = None
    receiver = listener = None
    pc_if, phone_if = f"brfa{pid}"[:15], f"brfb{pid}"[:15]
    try:
        phone = netns_util.Namespace(f"brfph-{pid}")
        netns_util.veth_pair(pc, pc_if, phone, phone_if)
        # Otherwise removing the first address of a subnet takes the others with it.
        pc.run(["sh", "-c", f"echo 1 > /proc/sys/net/ipv4/conf/{pc_if}/promote_secondaries"])
        netns_util.add_address(phone, phone_if, f"{PHONE_ADDR}/24")
        netns_util.ip("-n", phone.name, "route", "add", "224.0.0.0/4", "dev", phone_if)
        listener = netns_util.Process(phone.command([PY, "-c", MDNS_LISTENER, PHONE_ADDR, "170"]))
        listener.wait_for(lambda p: "ready" in p.stdout_text(), 10)

        receiver = start_receiver(pc, receiver_env(pulse_env, tmp, "follow"))
        receiver.wait_for(startup_done, 15)
        check("no address yet: the exact warning", WARNING in receiver.stderr_text(),
              receiver.stderr_text())
        check("no address yet: no advertised line", ADVERTISED not in receiver.stdout_text())

        netns_util.add_address(pc, pc_if, f"{FOLLOW_ADDRS[0]}/24")
        check("address added: the advertised line follows",
              receiver.wait_for(lambda p: ADVERTISED in p.stdout_text(), 10),
              receiver.stdout_text()[-500:] + receiver.stderr_text())
        names, addresses = resolve(phone)
        check("address added: zeroconf resolves exactly that address",
              addresses == [FOLLOW_ADDRS[0]], f"{names} {addresses}")

        # The second announcement of the first address must not count as one after the change.
        time.sleep(1.5)
        replaced_at = time.time()
        netns_util.add_address(pc, pc_if, f"{FOLLOW_ADDRS[1]}/24")
        netns_util.ip("-n", pc.name, "addr", "del", f"{FOLLOW_ADDRS[0]}/24", "dev", pc_if)
        time.sleep(4)
        names, addresses = resolve(phone)
        check("address replaced: zeroconf resolves only the new one",
              addresses == [FOLLOW_ADDRS[1]], f"{names} {addresses}")
        seen = responses(listener, replaced_at)
        check("address replaced: a goodbye (TTL 0) for the old address",
              any((FOLLOW_ADDRS[0], 0) in a for _, _, a in seen), str(seen))
        check("address replaced: announcements carry only the new address",
              any(a == [(FOLLOW_ADDRS[1], 120)] for _, rs, a in seen if len(rs) >= 5)
              and not any((FOLLOW_ADDRS[0], 120) in a for _, _, a in seen), str(seen))

        # Twenty changes in about two seconds; the set ends where it began.
        burst_at = time.time()
        for _ in range(10):
            netns_util.add_address(pc, pc_if, f"{FOLLOW_ADDRS[2]}/24")
            time.sleep(0.05)
            netns_util.ip("-n", pc.name, "addr", "del", f"{FOLLOW_ADDRS[2]}/24", "dev", pc_if)
            time.sleep(0.05)
        burst_seconds = time.time() - burst_at
        time.sleep(5)
        announcements = [t for t, rs, a in responses(listener, burst_at)
                         if len(rs) >= 5 and all(ttl > 0 for _, _, ttl in rs)]
        limit = 2 * (int(burst_seconds) + 2)
        print(f"info flapping: {len(announcements)} announcement(s) for 20 changes in "
              f"{burst_seconds:.1f} s")
        check("flapping: at most one announcement pair per debounce period",
              len(announcements) <= limit,
              f"{len(announcements)} announcements in {burst_seconds:.1f} s + 5 s (limit {limit})")
        names, addresses = resolve(phone)
        check("after flapping: still exactly the held address",
              addresses == [FOLLOW_ADDRS[1]], f"{names} {addresses}")

        netns_util.ip("-n", pc.name, "addr", "del", f"{FOLLOW_ADDRS[1]}/24", "dev", pc_if)
        time.sleep(3)
        names, addresses = resolve(phone)
        check("address removed: a fresh browse finds nothing", names == [], f"{names} {addresses}")
        check("receiver still running after the network changes", receiver.running(),
              receiver.stderr_text())
        check("no further warning or failure line",
              receiver.stderr_text().count("mDNS advertise failed") == 1, receiver.stderr_text())
    finally:
        for p in (receiver, listener):
            if p:
                p.stop()
        for ns in (phone, pc):
            if ns:
                ns.remove()


# ---- each link hears its own address; many adapters; a query flood ----

LINK_A = ("198.51.100.1", "198.51.100.2")
LINK_B = ("192.0.2.1", "192.0.2.2")
DUMMIES = 25

QUERY_FLOOD = textwrap.dedent("""
    import socket, sys, time
    own, query, seconds, rate, pc = sys.argv[1], bytes.fromhex(sys.argv[2]), float(sys.argv[3]), \\
        float(sys.argv[4]), sys.argv[5]
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", 5353))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 socket.inet_aton("224.0.0.251") + socket.inet_aton(own))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(own))
    s.setblocking(False)
    sent = replies = 0
    start = time.time()
    while time.time() - start < seconds:
        s.sendto(query, ("224.0.0.251", 5353))
        sent += 1
        pause_until = time.time() + 1 / rate
        while time.time() < pause_until:
            try:
                data, source = s.recvfrom(9000)
            except BlockingIOError:
                time.sleep(0.001)
                continue
            if source[0] == pc and data[2] & 0x80:
                replies += 1
    print(sent, replies)
""")


def flood(phone, query, seconds):
    """200 queries a second from the phone on link A: (sent, answers from the pc, output)."""
    run = phone.run([PY, "-c", QUERY_FLOOD, LINK_A[1], query.hex(), str(seconds), "200",
                     LINK_A[0]], timeout=30)
    try:
        sent, replies = (int(x) for x in run.stdout.split())
    except ValueError:
        sent, replies = 0, -1
    return sent, replies, run.stdout + run.stderr


def links_checks(pulse_env, tmp, pid):
    """The pc holds 25 adapters that no phone can reach, then two links with a phone on
    each: every phone resolves exactly the address of its own link, although the links come
    past the twentieth membership a single socket could take; a flood of queries gets about one
    answer a second."""
    pc = netns_util.Namespace(f"brlpc-{pid}")
    phones = []
    receiver = None
    try:
        # Stand-ins for virtual adapters (this kernel may lack the dummy type): a veth pair
        # with both ends in the pc, so nothing but the pc itself is on the other side.
        for i in range(DUMMIES):
            dev, peer = f"brd{i}-{pid}"[:15], f"brv{i}-{pid}"[:15]
            netns_util.ip("-n", pc.name, "link", "add", dev, "type", "veth", "peer", "name", peer)
            for end in (dev, peer):
                netns_util.ip("-n", pc.name, "link", "set", end, "up")
            netns_util.add_address(pc, dev, f"203.0.113.{100 + i}/32")
        for tag, (pc_addr, phone_addr) in (("a", LINK_A), ("b", LINK_B)):
            phone = netns_util.Namespace(f"brl{tag}-{pid}")
            phones.append(phone)
            pc_if, phone_if = f"brl{tag}p{pid}"[:15], f"brl{tag}q{pid}"[:15]
            netns_util.veth_pair(pc, pc_if, phone, phone_if)
            netns_util.add_address(pc, pc_if, f"{pc_addr}/24")
            netns_util.add_address(phone, phone_if, f"{phone_addr}/24")
            netns_util.ip("-n", phone.name, "route", "add", "224.0.0.0/4", "dev", phone_if)

        receiver = start_receiver(pc, receiver_env(pulse_env, tmp, "links"))
        receiver.wait_for(startup_done, 15)
        check(f"{DUMMIES + 2} adapters: the advertised line", ADVERTISED in receiver.stdout_text(),
              receiver.stdout_text()[-500:] + receiver.stderr_text())
        for phone, (pc_addr, _) in zip(phones, (LINK_A, LINK_B)):
            names, addresses = resolve(phone)
            check(f"phone on {pc_addr}'s link resolves exactly that address",
                  names == [f"{LABEL}._brindle._udp.local."] and addresses == [pc_addr],
                  f"{names} {addresses}")
        result = phones[1].run(["dig", "+norecurse", "+time=3", "+tries=2", "-p", "5353",
                                f"@{LINK_B[0]}", f"{LABEL}.local.", "A"], timeout=30)
        answered = sorted(line.split()[-1] for line in result.stdout.splitlines()
                          if line.startswith(f"{LABEL}.local.") and "\tA\t" in
                          line.replace(" ", "\t"))
        check("legacy unicast answer carries only the querier's link address",
              answered == [LINK_B[0]], result.stdout[-1500:])

        seconds = 4
        sent, replies, detail = flood(phones[0], legacy_query("_brindle._udp.local.", 12, 0),
                                      seconds)
        print(f"info query flood: {sent} queries in {seconds} s, {replies} multicast answers")
        check("query flood: answered, at most about once a second",
              sent > 100 and 1 <= replies <= seconds + 2, detail)
        # Probes may be answered four times a second, never once per probe.
        sent, replies, detail = flood(phones[0], probe_query(f"{LABEL}.local."), seconds)
        print(f"info probe-shaped flood: {sent} probes in {seconds} s, {replies} answers")
        check("probe-shaped flood: answered, at most four times a second",
              sent > 100 and 1 <= replies <= 4 * seconds + 2, detail)
        check("receiver still running with many adapters", receiver.running(),
              receiver.stderr_text())
    finally:
        if receiver:
            receiver.stop()
        for ns in phones + [pc]:
            ns.remove()


def main():
    if not netns_util.have_root():
        print("SKIP discovery suite: needs root for network namespaces")
        return 0
    pid = os.getpid()
    pc_if, phone_if = f"brpc{pid}"[:15], f"brph{pid}"[:15]
    namespaces, processes = [], []
    with tempfile.TemporaryDirectory(prefix="brindle-discovery-") as tmp:
        sound = None
        try:
            sound = SoundServer(tmp)
            pulse_env = sound.env
            pc = netns_util.Namespace(f"brpc-{pid}")
            namespaces.append(pc)
            phone = netns_util.Namespace(f"brphone-{pid}")
            namespaces.append(phone)
            netns_util.veth_pair(pc, pc_if, phone, phone_if)
            for cidr in (f"{PC_ADDRS[0]}/24", f"{PC_ADDRS[1]}/24", f"{PC_LINK_LOCAL}/16"):
                netns_util.add_address(pc, pc_if, cidr)
            netns_util.add_address(phone, phone_if, f"{PHONE_ADDR}/24")
            # Multicast leaves the phone only with a route for it (dig has no interface choice).
            netns_util.ip("-n", phone.name, "route", "add", "224.0.0.0/4", "dev", phone_if)

            print("-- advertised receiver in the pc namespace")
            receiver = start_receiver(pc, receiver_env(pulse_env, tmp, "main"))
            processes.append(receiver)
            receiver.wait_for(startup_done, 15)
            out = receiver.stdout_text()
            check("receiver prints the advertised line",
                  f"\u2192 advertised _brindle._udp as \"{LABEL}\"\n" in out,
                  out + receiver.stderr_text())
            check("no mDNS warning", "mDNS advertise failed" not in receiver.stderr_text(),
                  receiver.stderr_text())

            address = zeroconf_checks(phone)
            avahi_checks(phone, phone_if, tmp)
            legacy_checks(phone)
            direct_checks(phone)
            print("-- only the local link is answered")
            off_link_checks(pc, pc_if, phone, phone_if)
            if address:
                tone_checks(phone, receiver, address, sound)
            check("receiver still running", receiver.running(), receiver.stderr_text())
            stop_checks(phone, receiver, "own responder", signal.SIGINT)
            receiver.stop()

            print("-- avahi-daemon on the pc: the receiver publishes through it")
            system_responder_checks(pc, pc_if, phone, phone_if, pulse_env, tmp)

            print("-- --no-mdns: silent on port 5353")
            listener = netns_util.Process(phone.command([PY, "-c", MDNS_LISTENER, PHONE_ADDR,
                                                         "5"]))
            processes.append(listener)
            listener.wait_for(lambda p: "ready" in p.stdout_text(), 10)
            quiet = start_receiver(pc, receiver_env(pulse_env, tmp, "quiet"), "--no-mdns")
            processes.append(quiet)
            quiet.wait_for(startup_done, 15)
            listener.wait_for(lambda p: "done" in p.stdout_text(), 15)
            out, err = quiet.stdout_text(), quiet.stderr_text()
            check("--no-mdns: no advertised line", "advertised" not in out, out)
            check("--no-mdns: no failure line", "mDNS" not in err, err)
            check("--no-mdns: empty line still ends the start-up", "\n\n" in out, out)
            check("--no-mdns: nothing sent to port 5353",
                  "packet" not in listener.stdout_text() and "done" in listener.stdout_text(),
                  listener.stdout_text())
            quiet.stop()

            print("-- announcements, then a goodbye when the advertisement is released")
            lifecycle_checks(pc, phone, tmp)

            print("-- a host name too long for DNS")
            long_env = receiver_env(pulse_env, tmp, "long", computer_name=None)
            long_env["HOSTNAME"] = "h" * 300
            long_name = start_receiver(pc, long_env)
            processes.append(long_name)
            long_name.wait_for(startup_done, 15)
            expected = ("mDNS advertise failed (mDNS register: Hostname length must be <= 255 "
                        "bytes); discovery off \u2014 UDP still works if the phone already knows"
                        " the IP\n")
            check("300-character HOSTNAME: the register failure in the warning",
                  expected in long_name.stderr_text(), long_name.stderr_text())
            check("300-character HOSTNAME: receiver keeps running", long_name.running())
            long_name.stop()

            print("-- following the network: late start, replaced, flapping and removed address")
            follow_checks(pulse_env, tmp, pid)

            print("-- each link hears its own address, past 20 adapters, under a query flood")
            links_checks(pulse_env, tmp, pid)

            print("-- only loopback: the warning, and audio still arrives")
            lonely = netns_util.Namespace(f"brlo-{pid}")
            namespaces.append(lonely)
            daemon_failure_checks(lonely, pulse_env, tmp)
            alone = start_receiver(lonely, receiver_env(pulse_env, tmp, "alone"))
            processes.append(alone)
            alone.wait_for(startup_done, 15)
            check("loopback only: the exact warning on stderr", WARNING in alone.stderr_text(),
                  alone.stderr_text())
            check("loopback only: no advertised line", "advertised" not in alone.stdout_text())
            local_sender = netns_util.Process(lonely.command(
                [SENDER, "127.0.0.1", "45333", "--duration", "4"]))
            processes.append(local_sender)
            check("loopback only: receiver keeps receiving", alone.wait_for(streaming_seen, 8),
                  alone.stdout_text()[-800:])
            check("loopback only: receiver still running", alone.running())
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
    print("all discovery checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
