#!/usr/bin/python3
"""brindle-cable on the sound servers Linux desktops run, each started here with its own home,
runtime folder and configuration: a PulseAudio that reads the user's default.pa, and PipeWire
with WirePlumber and pipewire-pulse on a private session bus.

For each server: install (twice: still one cable), the receiver with no options plays a tone from
brindle-send into the cable and it comes out of "Brindle microphone"; after a restart of the
server the cable is back and carries the tone again; remove takes it away, also across a restart;
the user's own configuration stays byte for byte. Also: scripts/run.sh adds a session cable to a
running PipeWire without one, and install on a PC without a sound server fails cleanly.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SOURCE_DIR = os.environ.get("BRINDLE_SOURCE_DIR",
                            os.path.join(os.path.dirname(os.path.abspath(__file__)), "../.."))
CABLE = os.path.join(SOURCE_DIR, "tools/brindle-cable/brindle-cable")
RENDERING = f"\u2192 rendering into \"{harness.CABLE_DESCRIPTION}\""
USERS_DEFAULT_PA = ".include /etc/pulse/default.pa\n# my own sink\n" \
                   "load-module module-null-sink sink_name=users_own"  # no final newline
USERS_DROPIN = """context.objects = [
    { factory = adapter
      args = { factory.name = support.null-audio-sink node.name = users_own
               media.class = Audio/Sink audio.position = [ FL FR ] } }
]
"""

checks = harness.Checks()


class Desktop:
    """A sound server as a desktop runs it, in a folder of its own: $HOME, the configuration
    and the runtime folder all live there. Subclasses start and stop the server processes."""

    def __init__(self, kind):
        self.dir = tempfile.mkdtemp(prefix=f"brindle-cable-{kind}-{os.getpid()}-")
        self.home = os.path.join(self.dir, "home")
        self.config = os.path.join(self.home, ".config")
        self.runtime = os.path.join(self.dir, "run")
        os.makedirs(self.config)
        os.makedirs(self.runtime, mode=0o700)
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("PULSE_", "PIPEWIRE_", "DBUS_", "XDG_", "SUDO_"))}
        self.env.update({"HOME": self.home, "XDG_CONFIG_HOME": self.config,
                         "XDG_RUNTIME_DIR": self.runtime})
        self.procs = []
        self._logs = []

    def spawn(self, args, name):
        log = open(os.path.join(self.dir, name + ".log"), "ab")
        self._logs.append(log)
        proc = subprocess.Popen(args, env=self.env, stdin=subprocess.DEVNULL, stdout=log,
                                stderr=subprocess.STDOUT)
        self.procs.append(proc)
        return proc

    def stop(self):
        for proc in reversed(self.procs):
            harness.stop_process(proc, sig=signal.SIGTERM)
        self.procs = []

    def restart(self):
        self.stop()
        self.start()

    def close(self):
        self.stop()
        for log in self._logs:
            log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True,
                              timeout=10, stdin=subprocess.DEVNULL)

    def names(self, kind):
        """Names of the sinks or sources the server lists."""
        out = self.pactl("list", "short", kind).stdout
        return [line.split("\t")[1] for line in out.splitlines() if "\t" in line]

    def wait_ready(self, timeout=20):
        if not harness.wait_until(self.ready, timeout, interval=0.1):
            logs = "".join(open(l.name, errors="replace").read()[-2000:] for l in self._logs)
            raise RuntimeError(f"{type(self).__name__} did not start:\n{logs}")

    def cable(self, *args):
        return subprocess.run(["sh", CABLE, *args], env=self.env, capture_output=True,
                              text=True, timeout=60, stdin=subprocess.DEVNULL)


class DesktopPulse(Desktop):
    """PulseAudio without -n: it reads ~/.config/pulse/default.pa, or the system one."""

    def __init__(self):
        super().__init__("pulse")
        self.env.update({"PULSE_RUNTIME_PATH": os.path.join(self.runtime, "pulse"),
                         "PULSE_STATE_PATH": os.path.join(self.dir, "state"),
                         "PULSE_SERVER": "unix:" + os.path.join(self.runtime, "pulse/native")})
        self.label = "PulseAudio"
        self.own_config = os.path.join(self.config, "pulse/default.pa")
        self.own_text = USERS_DEFAULT_PA

    def start(self):
        self.spawn(["pulseaudio", "--daemonize=no", "--system=no", "--exit-idle-time=-1",
                    "--use-pid-file=no", "--disallow-exit"], "pulseaudio")
        self.wait_ready()

    def ready(self):
        # PulseAudio runs its start-up script before it accepts the first client.
        return self.pactl("info").returncode == 0


class DesktopPipeWire(Desktop):
    """pipewire, wireplumber and pipewire-pulse on a session bus of their own."""

    def __init__(self):
        super().__init__("pipewire")
        bus = os.path.join(self.dir, "bus")
        self.env.update({"DBUS_SESSION_BUS_ADDRESS": "unix:path=" + bus,
                         "PULSE_SERVER": "unix:" + os.path.join(self.runtime, "pulse/native")})
        self.label = "PipeWire"
        self.own_config = os.path.join(self.config, "pipewire/pipewire.conf.d/50-mine.conf")
        self.own_text = USERS_DROPIN
        self.bus = subprocess.Popen(["dbus-daemon", "--session", "--address=unix:path=" + bus,
                                     "--nofork", "--nopidfile"], env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        harness.wait_until(lambda: os.path.exists(bus), 10)

    def start(self):
        self.spawn(["pipewire"], "pipewire")
        harness.wait_until(lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")), 10)
        self.spawn(["wireplumber"], "wireplumber")
        self.spawn(["pipewire-pulse"], "pipewire-pulse")
        self.wait_ready()

    def ready(self):
        clients = subprocess.run(["pw-cli", "ls", "Client"], env=self.env, capture_output=True,
                                 text=True, timeout=10).stdout
        return "WirePlumber [export]" in clients and self.pactl("info").returncode == 0

    def close(self):
        super().close()
        harness.stop_process(self.bus, sig=signal.SIGTERM)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def cable_live(desk):
    return "brindle_cable" in desk.names("sinks") and "brindle_mic" in desk.names("sources")


def microphone_tone(desk, ns, rec):
    """brindle-send plays a 3 s tone to the running receiver while `rec` records "Brindle
    microphone": (a 1 kHz tone came out, detail)."""
    sent = harness.send(["--duration", "3"], env=desk.env, netns=ns)
    time.sleep(0.5)
    samples = rec.finish()
    steady = harness.steady_segment(samples, 48000)
    # A loaded machine may drop a little; a quarter second of clean tone fixes the frequency.
    freq = harness.frequency(steady, 48000) if len(steady) > 12000 else 0.0
    return (sent.returncode == 0 and abs(freq - 1000) <= 1.0,
            f"sender {sent.returncode}, {len(samples) / 48000:.2f} s recorded, steady "
            f"{len(steady) / 48000:.2f} s, {freq:.2f} Hz; parec: "
            f"{rec.proc.stderr.read().decode().strip()}")


def tone_through_microphone(label, desk, ns, receiver_cmd=None):
    """The receiver started with no options renders a 1 kHz tone from brindle-send into the
    cable; "Brindle microphone" must deliver it."""
    rec = harness.Recording(desk, None, 48000, 1, device="brindle_mic")
    exe, args = receiver_cmd or (None, [])
    with harness.Receiver(args, env=desk.env, exe=exe, netns=ns) as rx:
        started = rx.wait_for_line(lambda l: l.startswith("[  waiting]"), timeout=120)
        checks.check(f"{label}: the receiver renders into the cable", started and any(
            l.startswith(RENDERING) for l in rx.lines()),
            f"stdout {rx.lines()!r} stderr {[t for _, t in rx.err_lines]!r}")
        checks.check(f"{label}: \"Brindle microphone\" delivers the 1 kHz tone",
                     *microphone_tone(desk, ns, rec))
    return rx


def cable_suite(desk, ns):
    label = desk.label
    write(desk.own_config, desk.own_text)
    desk.start()

    status = desk.cable("status")
    checks.check(f"{label}: status before install says not installed, not live",
                 status.returncode == 1 and status.stdout.startswith("installed: no\nlive:      no"),
                 repr(status))
    first, second = desk.cable("install"), desk.cable("install")
    checks.check(f"{label}: install works and a second one only says so",
                 first.returncode == 0 and second.returncode == 0
                 and "already installed" in second.stdout, f"{first!r} {second!r}")
    checks.equal(f"{label}: one cable sink and one microphone after two installs",
                 (desk.names("sinks").count("brindle_cable"),
                  desk.names("sources").count("brindle_mic")), (1, 1))
    tone_through_microphone(f"{label} live", desk, ns)

    desk.restart()
    status = desk.cable("status")
    checks.check(f"{label}: after a restart the cable is installed and live",
                 status.returncode == 0 and "installed: yes" in status.stdout
                 and cable_live(desk), repr(status))
    checks.check(f"{label}: the user's own sink still loads", "users_own" in desk.names("sinks"))
    tone_through_microphone(f"{label} after restart", desk, ns)

    removed, again = desk.cable("remove"), desk.cable("remove")
    checks.check(f"{label}: remove works and a second one only says so",
                 removed.returncode == 0 and again.returncode == 0
                 and "nothing to remove" in again.stdout, f"{removed!r} {again!r}")
    gone_now = not {"brindle_cable", "brindle_mic"} & set(desk.names("sinks") + desk.names("sources"))
    desk.restart()
    gone_later = not {"brindle_cable", "brindle_mic"} & set(desk.names("sinks") + desk.names("sources"))
    checks.check(f"{label}: the cable is gone at once and after a restart", gone_now and gone_later,
                 f"{desk.names('sinks')} {desk.names('sources')}")
    checks.equal(f"{label}: the user's own configuration is byte for byte what it was",
                 read(desk.own_config), desk.own_text.encode())
    leftovers = [os.path.relpath(os.path.join(d, f), desk.config)
                 for d, _, files in os.walk(desk.config) for f in files
                 if not f.startswith("cookie") and os.path.join(d, f) != desk.own_config]
    checks.equal(f"{label}: nothing else is left in the configuration", leftovers, [])


def pulse_creates_and_deletes_default_pa(desk):
    """Without a user default.pa, install makes one that loads the system one first; remove
    deletes it again."""
    desk.start()
    desk.cable("install")
    text = (read(desk.own_config) or b"").decode()
    checks.check("PulseAudio: a new default.pa includes the system one first",
                 text.splitlines()[1:2] == [".include /etc/pulse/default.pa"], repr(text))
    desk.cable("remove")
    checks.check("PulseAudio: remove deletes the default.pa it made",
                 not os.path.exists(desk.own_config))
    desk.stop()


def run_sh_adds_session_cable(desk, ns):
    """scripts/run.sh on a running server without the cable adds it for this session only."""
    run_sh = os.path.join(SOURCE_DIR, "scripts/run.sh")
    rx = tone_through_microphone("run.sh on PipeWire", desk, ns, receiver_cmd=("bash", [run_sh]))
    said = [t for _, t in rx.err_lines if "brindle-cable:" in t]
    checks.check("run.sh says in one line that it added the cable for this session",
                 len(said) == 1 and "for this session only" in said[0], repr(said))
    status = desk.cable("status")
    checks.check("the session cable is live but not installed",
                 status.stdout.startswith("installed: no\nlive:      yes"), repr(status))
    desk.cable("remove")


def no_sound_server():
    home = tempfile.mkdtemp(prefix=f"brindle-cable-none-{os.getpid()}-")
    env = {"PATH": os.environ["PATH"], "HOME": home, "XDG_RUNTIME_DIR": home,
           "PULSE_SERVER": "unix:" + os.path.join(home, "none")}
    try:
        proc = subprocess.run(["sh", CABLE, "install"], env=env, capture_output=True, text=True,
                              timeout=30)
        config = os.path.join(home, ".config")
        checks.check("without a sound server install fails with one line and writes nothing",
                     proc.returncode == 1 and len(proc.stderr.splitlines()) == 1
                     and "no sound server" in proc.stderr and not os.path.exists(config),
                     repr(proc))
    finally:
        shutil.rmtree(home, ignore_errors=True)


def main():
    checks.require(("pulseaudio", "pipewire", "wireplumber", "pipewire-pulse", "pw-cli",
                    "dbus-daemon", "parec"), netns=True)
    no_sound_server()
    with harness.NetNamespace("brindle-cable") as ns:
        desk = DesktopPulse()
        try:
            pulse_creates_and_deletes_default_pa(desk)
            cable_suite(desk, ns)
        finally:
            desk.close()
        desk = DesktopPipeWire()
        try:
            cable_suite(desk, ns)
            run_sh_adds_session_cable(desk, ns)
        finally:
            desk.close()
    checks.finish()


if __name__ == "__main__":
    main()
