"""Shared helpers for the end-to-end suites: a private sound server, the real executables and
plain-Python signal analysis. Every process is started here and ended here by its PID.

    import harness
    checks = harness.Checks()
    with harness.PulseServer() as pulse, harness.NetNamespace() as ns:
        pulse.add_null_sink("cable", harness.CABLE_DESCRIPTION, default=True)
        pulse.add_null_sink("hifi", "Hi-Fi Speakers", rate=44100)
        rec = pulse.record("cable")                      # parec on cable.monitor, running
        with harness.Receiver(["--no-mdns"], env=pulse.env, netns=ns) as rx:
            rx.wait_for_line(lambda l: l.startswith("[  waiting]"), timeout=5)
            harness.send(["--duration", "1"], env=pulse.env, netns=ns)
            rec.wait_seconds(rec.seconds() + 0.5)       # let the end of the tone through
        samples = rec.finish()                           # mono floats, rec.rate per second
        checks.check("tone is 1 kHz", abs(harness.frequency(samples, rec.rate) - 1000) < 1)
    checks.finish()                                       # prints the tally, exits 1 on failure

Pieces:
  NetNamespace      a private network namespace with only loopback up: receivers and senders
                    run inside it so no other run on the machine can reach their port 45333.
                    Pass it as `netns=` to Receiver, run_receiver, send, port_is_free, hold_port.
  PulseServer       start/stop a pulseaudio process in a temporary runtime folder; `env` is the
                    environment for children (XDG_RUNTIME_DIR, PULSE_RUNTIME_PATH, PULSE_SERVER,
                    HOME); add_null_sink(), set_default_sink(), record(), pactl().
  Recording         a running parec; finish() stops it and returns the samples (mono floats).
  Receiver          brindle-receiver as a real process; stdout/stderr collected line by line
                    (`out_lines`, `err_lines`), wait_for_line(), wait_exit(), stop().
  run_receiver()    one-shot run: (status, stdout text, stderr text).
  send()            runs brindle-send to completion; returns the CompletedProcess.
  rms(), peak(), amplitude(), db(), frequency(), goertzel_power(), steady_segment()
  port_is_free(), wait_port_free(), hold_port()
  Checks            check(name, ok, detail) prints "ok   name" or "FAIL name: detail".

Environment: BRINDLE_BUILD_DIR (executables), set by CTest. Needs pulseaudio and pulseaudio-utils.
"""
import array
import contextlib
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

BUILD_DIR = os.environ.get(
    "BRINDLE_BUILD_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../build"))
RECEIVER_EXE = os.path.join(BUILD_DIR, "brindle-receiver")
SENDER_EXE = os.path.join(BUILD_DIR, "brindle-send")
UDP_PORT = 45333
CABLE_DESCRIPTION = "CABLE Input (VB-Audio Virtual Cable)"


# ---------------------------------------------------------------------------- results

class Checks:
    """Named pass/fail checks; each is printed as it is decided."""

    def __init__(self):
        self.failed = []
        self.passed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print(f"ok   {name}", flush=True)
        else:
            self.failed.append(name)
            print(f"FAIL {name}" + (f": {detail}" if detail else ""), flush=True)
        return ok

    def equal(self, name, got, want):
        return self.check(name, got == want, f"got {got!r}, want {want!r}")

    def require(self, tools, netns=False):
        """Ends the suite with a failed check when a tool, or root for a network namespace, is
        missing."""
        for tool in tools:
            if not shutil.which(tool):
                self.check(f"{tool} is installed", False)
                self.finish()
        if netns and not NetNamespace.available():
            self.check("root for a network namespace", False)
            self.finish()

    def finish(self):
        print(f"{self.passed} passed, {len(self.failed)} failed", flush=True)
        for name in self.failed:
            print(f"  failed: {name}")
        sys.exit(1 if self.failed else 0)


def log(text):
    print(f"     {text}", flush=True)


def wait_until(predicate, timeout, interval=0.05):
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= end:
            return value
        time.sleep(interval)


# ---------------------------------------------------------------------------- network namespace

class NetNamespace:
    """A network namespace of our own with loopback up (needs root and iproute2). The sound
    server's socket is a file path, so it stays reachable from inside."""

    def __init__(self, prefix="brindle-e2e"):
        self.name = f"{prefix}-{os.getpid()}"

    def __enter__(self):
        subprocess.run(["ip", "netns", "add", self.name], check=True, capture_output=True)
        try:
            subprocess.run(["ip", "-n", self.name, "link", "set", "lo", "up"], check=True,
                           capture_output=True)
        except subprocess.CalledProcessError:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True)

    def wrap(self, command):
        # "ip netns exec" enters the namespace and execs: the PID is the command's own.
        return ["ip", "netns", "exec", self.name] + list(command)

    @staticmethod
    def available():
        return os.geteuid() == 0 and shutil.which("ip") is not None


def in_netns(netns, command):
    return netns.wrap(command) if netns is not None else list(command)


# ---------------------------------------------------------------------------- sound server

class PulseServer:
    """A private PulseAudio server. Works as root: the server runs in user mode with its own
    runtime folder and an anonymous unix socket, so nothing outside the folder is touched."""

    def __init__(self):
        self.dir = None
        self.proc = None
        self.env = None
        self.socket_path = None
        self.sinks = {}  # name -> description
        self._log = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self, timeout=15):
        binary = shutil.which("pulseaudio")
        if not binary:
            raise RuntimeError("pulseaudio is not installed")
        self.dir = tempfile.mkdtemp(prefix="brindle-e2e-pulse-")
        runtime = os.path.join(self.dir, "runtime")
        os.makedirs(runtime)
        self.socket_path = os.path.join(self.dir, "native")
        env = dict(os.environ)
        env.update({
            "XDG_RUNTIME_DIR": self.dir,
            "PULSE_RUNTIME_PATH": runtime,
            "PULSE_STATE_PATH": os.path.join(self.dir, "state"),
            "PULSE_SERVER": "unix:" + self.socket_path,
            "HOME": self.dir,
        })
        env.pop("PULSE_SINK", None)
        self.env = env
        self._log = open(os.path.join(self.dir, "server.log"), "wb")
        self.proc = subprocess.Popen(
            [binary, "-n", "--daemonize=no", "--system=no", "--exit-idle-time=-1",
             "--use-pid-file=no", "--disallow-exit", "--disallow-module-loading=no",
             "--load=module-native-protocol-unix auth-anonymous=1 socket=" + self.socket_path],
            env=env, stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT)
        up = wait_until(lambda: self.proc.poll() is not None or self._responds(), timeout)
        if self.proc.poll() is not None or not up:
            text = self.server_log()
            self.stop()
            raise RuntimeError("pulseaudio did not start:\n" + text)

    def _responds(self):
        return (os.path.exists(self.socket_path)
                and self.pactl(["info"], check=False).returncode == 0)

    def server_log(self):
        try:
            with open(os.path.join(self.dir, "server.log"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def stop(self):
        if self.proc is not None:
            stop_process(self.proc, sig=signal.SIGTERM)
            self.proc = None
        if self._log:
            self._log.close()
            self._log = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def pactl(self, args, check=True):
        proc = subprocess.run(["pactl"] + args, env=self.env, capture_output=True, text=True,
                              timeout=10, stdin=subprocess.DEVNULL)
        if check and proc.returncode != 0:
            raise RuntimeError(f"pactl {' '.join(args)} failed: {proc.stderr.strip()}")
        return proc

    def add_null_sink(self, name, description, rate=48000, channels=2, sample_format="float32le",
                      default=False):
        # Two levels of quoting: the module arguments take the property list in single quotes,
        # the property list takes the description in double quotes.
        quoted = description.replace("\\", "\\\\").replace('"', '\\"').replace("'", "\\'")
        self.pactl(["load-module", "module-null-sink", f"sink_name={name}", f"rate={rate}",
                    f"channels={channels}", f"format={sample_format}",
                    f"sink_properties='device.description=\"{quoted}\"'"])
        self.sinks[name] = description
        if default:
            self.set_default_sink(name)
        got = self.sink_description(name)
        if got != description:
            raise RuntimeError(f"sink {name} has description {got!r}, not {description!r}")

    def set_default_sink(self, name):
        self.pactl(["set-default-sink", name])

    def default_sink(self):
        return self.pactl(["get-default-sink"]).stdout.strip()

    def sink_description(self, name):
        # "pactl list sinks" is localised prose; the properties lines are stable.
        current = None
        for line in self.pactl(["list", "sinks"]).stdout.splitlines():
            line = line.strip()
            if line.startswith("Name: "):
                current = line[len("Name: "):]
            elif current == name and line.startswith("device.description = "):
                value = line[len("device.description = "):]
                return value[1:-1] if value.startswith('"') else value
        return None

    def sink_inputs(self):
        """Number of streams currently playing into any sink."""
        out = self.pactl(["list", "short", "sink-inputs"]).stdout
        return len([l for l in out.splitlines() if l.strip()])

    def record(self, sink, rate=None, channels=1, timeout=10):
        """Starts recording `sink`'s monitor and returns once audio flows (parec needs a moment
        to connect); `rate` defaults to the rate the sink was made with."""
        recording = Recording(self, sink, rate or self._sink_rate(sink), channels)
        if not wait_until(lambda: recording.seconds() > 0 or recording.proc.poll() is not None,
                          timeout) or recording.proc.poll() is not None:
            recording.finish()
            raise RuntimeError(f"parec on {sink}.monitor delivered nothing")
        return recording

    def _sink_rate(self, sink):
        for line in self.pactl(["list", "short", "sinks"]).stdout.splitlines():
            fields = line.split("\t")
            if len(fields) >= 4 and fields[1] == sink:
                for part in fields[3].split():
                    if part.endswith("Hz"):
                        return int(part[:-2])
        return 48000


class Recording:
    """parec on a sink monitor (or on the source `device`), collecting 32-bit float frames in a
    thread. `pulse` is anything with the clients' `env`."""

    def __init__(self, pulse, sink, rate, channels, device=None):
        self.rate = rate
        self.channels = channels
        self._chunks = []
        self.proc = subprocess.Popen(
            ["parec", f"--device={device or sink + '.monitor'}", "--format=float32le",
             f"--rate={rate}",
             f"--channels={channels}", "--latency-msec=20", "--raw"],
            env=pulse.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        self._thread = threading.Thread(target=self._pump, daemon=True)
        self._thread.start()
        self.started = time.monotonic()

    def _pump(self):
        while True:
            data = self.proc.stdout.read1(65536) if hasattr(self.proc.stdout, "read1") \
                else self.proc.stdout.read(4096)
            if not data:
                return
            self._chunks.append(data)

    def seconds(self):
        return sum(len(c) for c in self._chunks) / (4 * self.channels * self.rate)

    def wait_seconds(self, seconds, timeout=None):
        """Waits until `seconds` of audio have been captured."""
        return wait_until(lambda: self.seconds() >= seconds, timeout or seconds + 10)

    def finish(self):
        """Stops parec and returns the first channel as a list of floats."""
        stop_process(self.proc, sig=signal.SIGTERM)
        self._thread.join(timeout=5)
        data = b"".join(self._chunks)
        data = data[:len(data) - len(data) % (4 * self.channels)]
        values = array.array("f")
        values.frombytes(data)
        if sys.byteorder != "little":
            values.byteswap()
        return list(values[::self.channels])


# ---------------------------------------------------------------------------- processes

class Receiver:
    """brindle-receiver as a user would run it, with its output read line by line."""

    def __init__(self, args, env, exe=None, netns=None):
        self.args = list(args)
        self.env = env
        self.exe = exe or RECEIVER_EXE
        self.netns = netns
        self.proc = None
        self.out_lines = []  # (monotonic time, text without "\n")
        self.err_lines = []
        self._raw_out = []
        self._raw_err = []
        self._lock = threading.Lock()
        self._threads = []

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self.started = time.monotonic()
        self.proc = subprocess.Popen(in_netns(self.netns, [self.exe] + self.args), env=self.env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        for stream, lines, raw in ((self.proc.stdout, self.out_lines, self._raw_out),
                                   (self.proc.stderr, self.err_lines, self._raw_err)):
            t = threading.Thread(target=self._pump, args=(stream, lines, raw), daemon=True)
            t.start()
            self._threads.append(t)
        return self

    def _pump(self, stream, lines, raw):
        for line in iter(stream.readline, b""):
            with self._lock:
                raw.append(line)
                lines.append((time.monotonic(), line.decode("utf-8", "replace").rstrip("\n")))

    def stdout_bytes(self):
        with self._lock:
            return b"".join(self._raw_out)

    def stderr_bytes(self):
        with self._lock:
            return b"".join(self._raw_err)

    def lines(self):
        with self._lock:
            return [text for _, text in self.out_lines]

    def wait_for_line(self, predicate, timeout, start=0):
        """First stdout line from index `start` on that satisfies `predicate`: (index, text),
        or None after `timeout` seconds."""
        def find():
            with self._lock:
                for i in range(start, len(self.out_lines)):
                    if predicate(self.out_lines[i][1]):
                        return (i, self.out_lines[i][1])
            return None
        return wait_until(find, timeout)

    def status_lines(self):
        return [l for l in self.lines() if l.startswith("[")]

    def wait_status_lines(self, count, timeout):
        """Waits until at least `count` status lines were printed; returns them all."""
        wait_until(lambda: len(self.status_lines()) >= count, timeout)
        return self.status_lines()

    def wait_exit(self, timeout):
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        for t in self._threads:
            t.join(timeout=5)
        return status

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self):
        """Ends the process by its PID (SIGINT like Ctrl-C, then SIGKILL)."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout=3)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for t in self._threads:
            t.join(timeout=5)
        return self.proc.returncode


def run_receiver(args, env, timeout=20, netns=None):
    """Runs brindle-receiver to its end: (status, stdout text, stderr text)."""
    proc = subprocess.run(in_netns(netns, [RECEIVER_EXE] + list(args)), env=env,
                          capture_output=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)
    return proc.returncode, proc.stdout.decode("utf-8", "replace"), \
        proc.stderr.decode("utf-8", "replace")


def send(args, env=None, timeout=60, netns=None):
    """Runs brindle-send to completion (to 127.0.0.1:45333 unless args say otherwise)."""
    return subprocess.run(in_netns(netns, [SENDER_EXE] + list(args)), env=env,
                          capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)


def start_sender(args, env=None, netns=None):
    """brindle-send in the background; end it with stop_process()."""
    return subprocess.Popen(in_netns(netns, [SENDER_EXE] + list(args)), env=env,
                            stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def stop_process(proc, timeout=5, sig=signal.SIGINT):
    """Signals `proc` (SIGINT by default), then kills it if it has not ended within `timeout`."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


# ---------------------------------------------------------------------------- UDP port

# Run as a child so that it can sit inside a namespace. argv: port, "probe" or "hold".
_PORT_SCRIPT = r"""
import socket, sys
port, mode = int(sys.argv[1]), sys.argv[2]
v6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
v4 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
try:
    v6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    v6.bind(("::", port))
    v4.bind(("0.0.0.0", port))
except OSError as e:
    print(e, flush=True)
    sys.exit(1)
if mode == "hold":
    print("held", flush=True)
    sys.stdin.read()
"""


def port_is_free(port=UDP_PORT, netns=None):
    """Whether nobody holds the UDP port on 0.0.0.0 or [::]."""
    proc = subprocess.run(in_netns(netns, [sys.executable, "-c", _PORT_SCRIPT, str(port),
                                           "probe"]),
                          capture_output=True, timeout=20, stdin=subprocess.DEVNULL)
    return proc.returncode == 0


def wait_port_free(port=UDP_PORT, timeout=300, netns=None):
    """Another suite (or another worker's run) may hold the port: wait for it."""
    if port_is_free(port, netns):
        return True
    log(f"UDP {port} is busy; waiting for it to be free")
    return wait_until(lambda: port_is_free(port, netns), timeout, interval=0.5)


@contextlib.contextmanager
def hold_port(port=UDP_PORT, netns=None):
    """Occupies the UDP port on [::] (IPv6 only) and on 0.0.0.0 for the `with` block."""
    holder = subprocess.Popen(in_netns(netns, [sys.executable, "-c", _PORT_SCRIPT, str(port),
                                               "hold"]),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        line = holder.stdout.readline().strip()
        if line != "held":
            raise RuntimeError(f"could not hold UDP {port}: {line}")
        yield
    finally:
        holder.stdin.close()  # the holder exits when its input ends
        try:
            holder.wait(timeout=5)
        except subprocess.TimeoutExpired:
            holder.kill()
            holder.wait()


# ---------------------------------------------------------------------------- analysis

def rms(samples):
    if not samples:
        return 0.0
    return math.sqrt(math.fsum(x * x for x in samples) / len(samples))


def peak(samples):
    return max((abs(x) for x in samples), default=0.0)


def amplitude(samples):
    """Peak amplitude of a steady sine, from its RMS (robust to sample phase)."""
    return rms(samples) * math.sqrt(2.0)


def db(ratio):
    return 20.0 * math.log10(ratio) if ratio > 0 else float("-inf")


def frequency(samples, rate):
    """Frequency of a steady tone from its rising zero crossings, each placed by linear
    interpolation between the two samples around it. Periods more than 2 % away from the median
    (a dropout or phase jump inside the stretch) are left out; the rest are averaged."""
    crossings = []
    for i in range(1, len(samples)):
        a, b = samples[i - 1], samples[i]
        if a < 0.0 <= b:
            crossings.append(i - 1 + (-a / (b - a)))
    periods = [b - a for a, b in zip(crossings, crossings[1:])]
    if not periods:
        return 0.0
    median = sorted(periods)[len(periods) // 2]
    steady = [p for p in periods if abs(p - median) <= 0.02 * median]
    return rate * len(steady) / sum(steady)


def goertzel_power(samples, rate, freq):
    """Power of `samples` at `freq`, normalised so a full-scale sine gives about 0.25."""
    w = 2.0 * math.pi * freq / rate
    coeff = 2.0 * math.cos(w)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    n = len(samples)
    return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / (n * n) if n else 0.0


def signal_runs(samples, rate, threshold=0.01, max_gap_s=0.005):
    """Index ranges [start, end) where the signal is present; a stretch below `threshold`
    longer than `max_gap_s` (a dropout) ends a run."""
    gap_limit = max(1, int(max_gap_s * rate))
    runs = []
    start = None
    quiet = 0
    for i, x in enumerate(samples):
        if abs(x) >= threshold:
            if start is None:
                start = i
            quiet = 0
        elif start is not None:
            quiet += 1
            if quiet > gap_limit:
                runs.append((start, i - quiet + 1))
                start = None
                quiet = 0
    if start is not None:
        runs.append((start, len(samples) - quiet))
    return runs


def steady_segment(samples, rate, margin_s=0.1, **kwargs):
    """The longest run of signal with `margin_s` trimmed from both ends: the steady part of a
    sent tone, free of its onset and end."""
    runs = signal_runs(samples, rate, **kwargs)
    if not runs:
        return []
    a, b = max(runs, key=lambda r: r[1] - r[0])
    margin = int(margin_s * rate)
    return samples[a + margin:b - margin] if b - a > 2 * margin else []


def silent(samples, threshold=1e-4):
    return peak(samples) < threshold
