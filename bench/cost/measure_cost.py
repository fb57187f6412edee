#!/usr/bin/python3
"""What the running receiver costs: CPU of the receiver and of the sound server while idle and
while streaming, the receiver's wake-ups, and the sent-to-heard latency of a click.

The real brindle-receiver runs in a network namespace of its own, joined by a veth pair to a
second namespace that plays the phone (198.51.100.1 = PC, 198.51.100.2 = phone), so mDNS has an
interface to advertise on. A private PulseAudio server (tests/e2e/harness.py) holds the cable
null sink and suspends idle sinks after 1 s, as desktop sound servers do (PulseAudio's
module-suspend-on-idle, PipeWire's node suspension).

Measured from /proc:
  CPU %     (utime + stime) of the whole process over the window, in clock ticks, and the more
            precise sum of its threads' run time from /proc/PID/task/*/schedstat;
  wake-ups  voluntary context switches per second of each receiver thread; the main thread
            only prints the status line every 2 s and is reported apart. Each other thread is
            listed with its wake-ups and CPU.
Dropouts (PulseAudio only): brindle-send streams a 1 kHz tone for the stream window; every place
where the cable's monitor stops following the sine (a gap where the sound server ran dry, a skip)
is one break.
Latency: a Python phone in the phone namespace sends 480-sample datagrams in real time, each
click at the start of a short burst, and notes the monotonic time at which the click's datagram
left; parec records
the cable's monitor, and each block's arrival time places the recorded samples on the same
clock (the earliest arrival relative to its last sample is taken as the render time).

With --pipewire the sound server is a headless PipeWire desktop instead (pipewire, wireplumber
and pipewire-pulse on a private runtime folder and session bus, the cable from brindle-cable
install), and three clients are measured side by side, interleaved in each round: the receiver
through pipewire-pulse, `pw-cat --playback` of a tone at the same node latency, and the receiver
on PipeWire's own API. The server figure is then the sum of the PipeWire processes, and clicks are
timed at the cable's monitor and at "Brindle microphone" by when parec receives them. --latency
sets the node latency of the native stream and of pw-cat (PIPEWIRE_LATENCY); the default,
1440/48000, is the receiver's.

Usage (root): bench/cost/measure_cost.py [--build DIR] [--repeat N] [--idle-seconds S]
              [--stream-seconds S] [--only idle,nomdns,stream,latency,dropouts]
              [--no-suspend-on-idle]
              [--pipewire [--latency FRAMES/48000]]
"""
import argparse
import math
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
import harness  # noqa: E402

PC_IP, PHONE_IP = "198.51.100.1", "198.51.100.2"
TICK = os.sysconf("SC_CLK_TCK")
# Receiver pause (5 s) + sink suspend (1 s) + margin before an idle window opens.
IDLE_SETTLE_S = 8.0
STREAM_SETTLE_S = 3.0


class Namespaces:
    def __init__(self):
        pid = os.getpid()
        self.pc, self.phone = f"brindle-cost-pc-{pid}", f"brindle-cost-phone-{pid}"
        self.pc_if, self.phone_if = f"bc{pid}a"[:15], f"bc{pid}b"[:15]

    def __enter__(self):
        ip = lambda *a: subprocess.run(["ip", *a], check=True, capture_output=True)
        for ns in (self.pc, self.phone):
            ip("netns", "add", ns)
            ip("-n", ns, "link", "set", "lo", "up")
        ip("link", "add", self.pc_if, "type", "veth", "peer", "name", self.phone_if)
        ip("link", "set", self.pc_if, "netns", self.pc)
        ip("link", "set", self.phone_if, "netns", self.phone)
        ip("-n", self.pc, "addr", "add", PC_IP + "/24", "dev", self.pc_if)
        ip("-n", self.phone, "addr", "add", PHONE_IP + "/24", "dev", self.phone_if)
        ip("-n", self.pc, "link", "set", self.pc_if, "up")
        ip("-n", self.phone, "link", "set", self.phone_if, "up")
        return self

    def __exit__(self, *exc):
        for ns in (self.pc, self.phone):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)

    def in_phone(self, command):
        return ["ip", "netns", "exec", self.phone, *command]


class PcNamespace:
    """Passed to harness.Receiver as its netns."""

    def __init__(self, name):
        self.name = name

    def wrap(self, command):
        return ["ip", "netns", "exec", self.name] + list(command)


def process_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def threads(pid):
    """{tid: (run time ns, voluntary switches)} of every thread."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                run_ns = int(f.read().split()[0])
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                switches = next(int(l.split()[1]) for l in f
                                if l.startswith("voluntary_ctxt_switches"))
        except (OSError, StopIteration):
            continue
        out[int(tid)] = (run_ns, switches)
    return out


class Sample:
    def __init__(self, pid):
        self.pid = pid
        self.time = time.monotonic()
        self.ticks = process_ticks(pid)
        self.threads = threads(pid)


def cost(before, after):
    """(CPU % from ticks, CPU % from run time, {tid: wake-ups/s})."""
    seconds = after.time - before.time
    ticks_pct = 100.0 * (after.ticks - before.ticks) / TICK / seconds
    run_ns = sum(after.threads[t][0] - before.threads.get(t, (0, 0))[0] for t in after.threads)
    wakes = {t: ((after.threads[t][1] - before.threads.get(t, (0, 0))[1]) / seconds,
                 100.0 * (after.threads[t][0] - before.threads.get(t, (0, 0))[0]) / 1e9 / seconds)
             for t in after.threads}
    return ticks_pct, 100.0 * run_ns / 1e9 / seconds, wakes


def measure(rx_pid, server_pids, seconds):
    """`server_pids`: one PID or a list, whose costs are summed."""
    pids = server_pids if isinstance(server_pids, list) else [server_pids]
    rx0, srv0 = Sample(rx_pid), [Sample(p) for p in pids]
    time.sleep(seconds)
    rx1, srv1 = Sample(rx_pid), [Sample(p) for p in pids]
    rx_ticks, rx_run, wakes = cost(rx0, rx1)
    srv = [cost(b, a) for b, a in zip(srv0, srv1)]
    srv_ticks, srv_run = sum(c[0] for c in srv), sum(c[1] for c in srv)
    status = wakes.pop(rx_pid, (0.0, 0.0))[0]
    return {"rx": rx_run, "rx_ticks": rx_ticks, "srv": srv_run, "srv_ticks": srv_ticks,
            "wakes": sum(w for w, _ in wakes.values()), "status_wakes": status,
            "per_thread": [f"{w:.1f}/s {c:.3f}%" for w, c in sorted(wakes.values(), reverse=True)]}


def start_receiver(args, pulse, nets):
    rx = harness.Receiver(args, env=pulse.env, exe=RECEIVER, netns=PcNamespace(nets.pc)).start()
    if not rx.wait_for_line(lambda l: l.startswith("[  waiting]"), timeout=15):
        rx.stop()
        raise RuntimeError(f"the receiver did not start: {rx.lines()} {rx.stderr_bytes()!r}")
    return rx


def idle_run(pulse, nets, args, seconds):
    rx = start_receiver(args, pulse, nets)
    try:
        time.sleep(IDLE_SETTLE_S)
        return measure(rx.proc.pid, pulse.proc.pid, seconds)
    finally:
        rx.stop()


def stream_run(pulse, nets, seconds):
    rx = start_receiver([], pulse, nets)
    sender = subprocess.Popen(nets.in_phone([SENDER, "--duration", str(seconds + 20), PC_IP]),
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        time.sleep(STREAM_SETTLE_S)
        return measure(rx.proc.pid, pulse.proc.pid, seconds)
    finally:
        harness.stop_process(sender)
        rx.stop()


# The phone for the latency run: every 1.5 s a click followed by 0.3 s of silence, then nothing,
# so each click starts from an empty jitter buffer (the prefill applies, no queue left over from
# earlier scheduling hiccups) while the output stream keeps running. Prints each click's send time.
CLICK_PHONE = r"""
import socket, struct, sys, time
host, clicks = sys.argv[1], int(sys.argv[2])
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
silence = struct.pack("<480h", *([0] * 480))
click = struct.pack("<480h", *([30000] * 24 + [0] * 456))
seq = 0
for n in range(clicks):
    start = time.monotonic()
    for k in range(31):
        now = time.monotonic()
        sock.sendto(b"BRD1" + struct.pack("<IHH", seq, 480, 0) + (click if k == 0 else silence),
                    (host, 45333))
        if k == 0:
            print(now, flush=True)
        seq += 1
        time.sleep(max(0.0, start + (k + 1) * 0.01 - time.monotonic()))
    time.sleep(max(0.0, start + 1.5 - time.monotonic()))
"""


class TimedRecording(harness.Recording):
    """parec with the arrival time of every block."""

    def __init__(self, pulse, sink, rate, device=None):
        self.arrivals = []  # (monotonic time, total bytes so far)
        super().__init__(pulse, sink, rate, 1, device=device)

    def _pump(self):
        total = 0
        while True:
            data = self.proc.stdout.read1(65536)
            if not data:
                return
            total += len(data)
            self.arrivals.append((time.monotonic(), total))
            self._chunks.append(data)


def latency_run(pulse, nets, clicks=5, devices=(("cable", None),), arrivals_heard=False):
    """Click latencies (ms) at each of `devices` (sink, or None and a source), in that order."""
    rx = start_receiver([], pulse, nets)
    recs = [TimedRecording(pulse, sink, 48000, device) for sink, device in devices]
    try:
        harness.wait_until(lambda: all(rec.seconds() > 0.5 for rec in recs), 10)
        phone = subprocess.run(nets.in_phone(["/usr/bin/python3", "-c", CLICK_PHONE, PC_IP,
                                              str(clicks)]),
                               capture_output=True, text=True, timeout=60)
        sent = [float(x) for x in phone.stdout.split()]
        for rec in recs:
            rec.wait_seconds(rec.seconds() + 0.5)
    finally:
        recorded = [(rec, rec.finish()) for rec in recs]
        rx.stop()
    return [clicks_heard(rec, samples, sent, arrivals_heard) for rec, samples in recorded]


def clicks_heard(rec, samples, sent, arrivals_heard=False):
    # Sample n was rendered at about offset + n / rate: the earliest block arrival.
    offset = min(t - (total / 4) / rec.rate for t, total in rec.arrivals)
    heard = []
    for n, x in enumerate(samples):
        if x > 0.3 and (not heard or n - heard[-1] > rec.rate // 2):
            heard.append(n)
    if arrivals_heard:
        # When a recording program gets it: the arrival of the first block holding the onset.
        # Unlike the offset this includes the graph's quantum and stays right if the recording's
        # clock drifts from the monotonic one.
        heard_times = [next((t for t, total in rec.arrivals if total / 4 > n), offset + n / rec.rate)
                       for n in heard]
    else:
        heard_times = [offset + n / rec.rate for n in heard]
    # Pair each click with the first heard onset after it was sent.
    latencies = []
    for s in sent:
        after = [h for h in heard_times if h > s]
        if after and after[0] - s < 1.0:
            latencies.append(1000.0 * (after[0] - s))
    return latencies


def dropouts_run(pulse, nets, seconds):
    """Breaks in a 1 kHz tone streamed for `seconds`, heard at the cable's monitor."""
    rx = start_receiver([], pulse, nets)
    rec = harness.Recording(pulse, "cable", 48000, 1)
    try:
        harness.wait_until(lambda: rec.seconds() > 0.5, 10)
        subprocess.run(nets.in_phone([SENDER, "--duration", str(seconds), PC_IP]),
                       capture_output=True, timeout=seconds + 30)
        rec.wait_seconds(rec.seconds() + 0.5)
    finally:
        samples = rec.finish()
        rx.stop()
    return tone_breaks(samples, 48000, 1000)


def tone_breaks(samples, rate, freq):
    """Places where the recording stops following the sine: a gap (the sound server ran dry), a
    skip (audio thrown away) or a repeat. A sine obeys x[n] = 2 cos(w) x[n-1] - x[n-2]."""
    loud = [n for n, x in enumerate(samples) if abs(x) > 0.1]
    if not loud:
        return 0
    coeff = 2.0 * math.cos(2.0 * math.pi * freq / rate)
    breaks, last = 0, None
    for n in range(loud[0] + 8, loud[-1] - 8):
        if abs(samples[n] - (coeff * samples[n - 1] - samples[n - 2])) > 0.02:
            if last is None or n - last > rate // 100:
                breaks += 1
            last = n
    return breaks


class PipeWireDesktop:
    """The headless PipeWire of the cable suite, with the cable installed; quacks like
    harness.PulseServer for the receiver runs (env, and proc.pid for the one server process)."""

    def __init__(self, latency):
        from cable_e2e import DesktopPipeWire
        self.desk = DesktopPipeWire()
        self.desk.start()
        self.desk.cable("install")
        self.latency = latency
        self.env = dict(self.desk.env, PIPEWIRE_LATENCY=latency)

    def pids(self):
        return [p.pid for p in self.desk.procs]

    def close(self):
        self.desk.close()


class ClientEnv:
    """A harness.PulseServer stand-in with its own environment for one client."""

    def __init__(self, env, pids):
        self.env = env
        self.proc = type("P", (), {"pid": pids})()


def pw_cat_run(desk, seconds, tone):
    """pw-cat playing the tone file into the cable at the same node latency."""
    frames = desk.latency.split("/")[0]
    cat = subprocess.Popen(["pw-cat", "--playback", "--target", "brindle_cable",
                            f"--latency={frames}", tone], env=desk.env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    try:
        time.sleep(STREAM_SETTLE_S)
        return measure(cat.pid, desk.pids(), seconds)
    finally:
        harness.stop_process(cat, sig=signal.SIGTERM)


def write_tone(path, seconds):
    """A 1 kHz mono tone at 48 kHz, 16 bit, half scale."""
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(48000)
        period = struct.pack("<48h", *(int(16384 * math.sin(2 * math.pi * k / 48)) for k in range(48)))
        w.writeframes(period * (1000 * int(seconds)))


def pipewire_main(opts, parts):
    """The three clients on one PipeWire, interleaved per round."""
    clients = opts.clients.split(",")
    results = {(c, p): [] for c in clients for p in parts}
    tone = os.path.join(tempfile.mkdtemp(prefix=f"brindle-cost-{os.getpid()}-"), "tone.wav")
    write_tone(tone, opts.stream_seconds + 30)
    with Namespaces() as nets:
        desk = PipeWireDesktop(opts.latency)
        try:
            envs = {"via pipewire-pulse": ClientEnv(dict(desk.env, BRINDLE_AUDIO_HOST="pulseaudio"),
                                                     desk.pids()),
                    "native": ClientEnv(desk.env, desk.pids())}
            print(f"receiver: {RECEIVER}; node latency {opts.latency}", flush=True)
            for run in range(opts.repeat):
                for client in clients:
                    for part in parts:
                        if client == "pw-cat":
                            if part == "stream":
                                results[(client, part)].append(
                                    pw_cat_run(desk, opts.stream_seconds, tone))
                            continue
                        env = envs[client]
                        if part in ("idle", "nomdns"):
                            args = [] if part == "idle" else ["--no-mdns"]
                            results[(client, part)].append(
                                idle_run(env, nets, args, opts.idle_seconds))
                        elif part == "stream":
                            results[(client, part)].append(
                                stream_run(env, nets, opts.stream_seconds))
                        elif part == "latency":
                            monitor, mic = latency_run(
                                env, nets, devices=(("brindle_cable", None), (None, "brindle_mic")),
                                arrivals_heard=True)
                            results[(client, part)].append((monitor, mic))
                            print(f"  run {run + 1} {client} latency: monitor "
                                  f"{[round(x, 1) for x in monitor]} ms, microphone "
                                  f"{[round(x, 1) for x in mic]} ms", flush=True)
                        if part != "latency" and results[(client, part)]:
                            r = results[(client, part)][-1]
                            print(f"  run {run + 1} {client} {part}: client {r['rx']:.3f} %, "
                                  f"PipeWire {r['srv']:.3f} %, total {r['rx'] + r['srv']:.3f} %",
                                  flush=True)
        finally:
            desk.close()
            shutil.rmtree(os.path.dirname(tone), ignore_errors=True)
    print()
    print("| client | part | client CPU | PipeWire processes | total |")
    print("|---|---|---|---|---|")
    for client in clients:
        for part in parts:
            rs = results[(client, part)]
            if not rs:
                continue
            if part == "latency":
                monitor = [x for m, _ in rs for x in m]
                mic = [x for _, m in rs for x in m]
                print(f"| {client} | click latency | monitor {spread(monitor, ' ms', 1)} | "
                      f"microphone {spread(mic, ' ms', 1)} | |")
                continue
            med = lambda key: statistics.median(r[key] for r in rs)
            total = statistics.median(r["rx"] + r["srv"] for r in rs)
            print(f"| {client} | {part} | {med('rx'):.3f} % | {med('srv'):.3f} % | "
                  f"{total:.3f} % (n={len(rs)}) |")
    return 0


def spread(values, unit, digits=2):
    if not values:
        return "n/a"
    mid = statistics.median(values)
    return (f"median {mid:.{digits}f}{unit} (min {min(values):.{digits}f}, "
            f"max {max(values):.{digits}f}, n={len(values)})")


def main():
    global RECEIVER, SENDER
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("BRINDLE_BUILD_DIR",
                                                          os.path.join(HERE, "../../build")))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--idle-seconds", type=float, default=20.0)
    parser.add_argument("--stream-seconds", type=float, default=20.0)
    parser.add_argument("--only", default="idle,nomdns,stream,latency")
    parser.add_argument("--no-suspend-on-idle", action="store_true",
                        help="keep idle sinks running (a server without suspend-on-idle)")
    parser.add_argument("--pipewire", action="store_true",
                        help="measure on a headless PipeWire: pipewire-pulse, pw-cat, native")
    parser.add_argument("--latency", default="1440/48000",
                        help="with --pipewire: node latency of the native stream and pw-cat")
    parser.add_argument("--clients", default="via pipewire-pulse,pw-cat,native",
                        help="with --pipewire: which of the three clients to measure")
    opts = parser.parse_args()
    RECEIVER = os.path.join(opts.build, "brindle-receiver")
    SENDER = os.path.join(opts.build, "brindle-send")
    if os.geteuid() != 0:
        print("needs root (network namespaces)")
        return 1
    parts = opts.only.split(",")
    if opts.pipewire:
        return pipewire_main(opts, parts)
    results = {p: [] for p in parts}
    latencies = []
    with Namespaces() as nets, harness.PulseServer() as pulse:
        pulse.add_null_sink("cable", harness.CABLE_DESCRIPTION, rate=48000, default=True)
        if not opts.no_suspend_on_idle:
            pulse.pactl(["load-module", "module-suspend-on-idle", "timeout=1"])
        print(f"receiver: {RECEIVER}", flush=True)
        for run in range(opts.repeat):
            if "idle" in parts:
                results["idle"].append(idle_run(pulse, nets, [], opts.idle_seconds))
            if "nomdns" in parts:
                results["nomdns"].append(idle_run(pulse, nets, ["--no-mdns"], opts.idle_seconds))
            if "stream" in parts:
                results["stream"].append(stream_run(pulse, nets, opts.stream_seconds))
            if "latency" in parts:
                clicks = latency_run(pulse, nets)[0]
                latencies += clicks
                print(f"  run {run + 1} latency: {[round(x, 1) for x in clicks]} ms", flush=True)
            if "dropouts" in parts:
                results["dropouts"].append(dropouts_run(pulse, nets, opts.stream_seconds))
                print(f"  run {run + 1} dropouts: {results['dropouts'][-1]} breaks in the tone",
                      flush=True)
            for part in parts:
                if part not in ("latency", "dropouts") and results[part]:
                    r = results[part][-1]
                    print(f"  run {run + 1} {part:7}: receiver {r['rx']:.3f} % "
                          f"(ticks {r['rx_ticks']:.2f} %), server {r['srv']:.3f} % "
                          f"(ticks {r['srv_ticks']:.2f} %), wake-ups {r['wakes']:.1f}/s "
                          f"besides the status line's {r['status_wakes']:.1f}/s, "
                          f"other threads (wake-ups, CPU) {r['per_thread']}", flush=True)
    titles = {"idle": f"idle, mDNS on ({opts.idle_seconds:.0f} s)",
              "nomdns": f"idle, --no-mdns ({opts.idle_seconds:.0f} s)",
              "stream": f"streaming a tone ({opts.stream_seconds:.0f} s)"}
    print()
    for part in parts:
        if part in ("latency", "dropouts"):
            continue
        rs = results[part]
        print(f"{titles[part]}:")
        print(f"  receiver CPU  {spread([r['rx'] for r in rs], ' %', 3)}")
        print(f"  server CPU    {spread([r['srv'] for r in rs], ' %', 3)}")
        print(f"  receiver wake-ups besides the status line "
              f"{spread([r['wakes'] for r in rs], '/s', 1)}")
    if "latency" in parts:
        print(f"click sent-to-heard latency: {spread(latencies, ' ms', 1)}")
    if "dropouts" in parts:
        print(f"breaks in a tone streamed {opts.stream_seconds:.0f} s: "
              f"{spread(results['dropouts'], '', 0)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
