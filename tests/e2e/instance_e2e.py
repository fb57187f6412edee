#!/usr/bin/python3
"""One receiver per login session, through the real executable.

A first receiver runs against a private PulseAudio server whose default null sink is called
"CABLE Input (VB-Audio Virtual Cable)". The checks: a second start (also with --background, also
when a display is named but unreachable) exits 1 with the exact line and touches neither audio nor
network, while the first keeps printing status lines; --list-devices, --check-device and
--autostart still work; a receiver of another session (another runtime folder) is not blocked;
without a runtime folder the guard still holds; after SIGKILL a new start succeeds at once.

The suite re-runs itself in a private network namespace (when it may), so the UDP port it binds
can never clash with anything else on the machine; nothing is sent anywhere.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

BUILD = os.environ.get("BRINDLE_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
EXE = os.path.join(BUILD, "brindle-receiver")
CABLE = "CABLE Input (VB-Audio Virtual Cable)"
ALREADY = "Brindle Receiver is already running \u2014 not starting a second instance.\n".encode()
LISTENING = "\u2192 listening on UDP 45333"

failures = []


def check(name, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else f": {detail}"), flush=True)
    if not ok:
        failures.append(name)


def enter_private_network():
    """Re-executes this suite inside a new network namespace with loopback up."""
    if os.environ.get("BRINDLE_INSTANCE_NETNS") == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=False)
        return
    if shutil.which("unshare") and subprocess.run(["unshare", "-n", "true"]).returncode == 0:
        env = dict(os.environ, BRINDLE_INSTANCE_NETNS="1")
        sys.exit(subprocess.run(["unshare", "-n", "--", sys.executable, "-u", __file__],
                                env=env).returncode)
    print("note: no private network namespace; using the machine's own", flush=True)


class PulseServer:
    """A private PulseAudio server with the cable sink as default (tests/e2e/harness.py's way)."""

    def __init__(self, root):
        self.root = root
        self.socket = os.path.join(root, "native")
        self.env = dict(os.environ, XDG_RUNTIME_DIR=root, HOME=root,
                        PULSE_RUNTIME_PATH=os.path.join(root, "pulse-runtime"),
                        PULSE_SERVER="unix:" + self.socket)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "PULSE_SINK"):
            self.env.pop(name, None)
        os.makedirs(self.env["PULSE_RUNTIME_PATH"], exist_ok=True)
        sink = ("module-null-sink sink_name=cable rate=48000 channels=2 "
                "sink_properties=device.description=\"CABLE\\ Input\\ (VB-Audio\\ Virtual\\ Cable)\"")
        self.log = open(os.path.join(root, "pulse.log"), "wb")
        self.proc = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--system=no", "--exit-idle-time=-1",
             "--use-pid-file=no", "--disallow-exit",
             "--load=module-native-protocol-unix auth-anonymous=1 socket=" + self.socket,
             "--load=" + sink], env=self.env, stdout=self.log, stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL)
        deadline = time.time() + 20
        while time.time() < deadline:
            if subprocess.run(["pactl", "info"], env=self.env, capture_output=True).returncode == 0:
                subprocess.run(["pactl", "set-default-sink", "cable"], env=self.env,
                               capture_output=True)
                return
            time.sleep(0.1)
        raise RuntimeError("the private PulseAudio server did not come up")

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


class Receiver:
    """A running receiver whose output lines are collected as they come."""

    def __init__(self, args, env):
        self.proc = subprocess.Popen([EXE] + args, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = []
        self.err = []
        self.lock = threading.Lock()
        for stream, lines in ((self.proc.stdout, self.out), (self.proc.stderr, self.err)):
            threading.Thread(target=self._collect, args=(stream, lines), daemon=True).start()

    def _collect(self, stream, lines):
        for raw in iter(stream.readline, b""):
            with self.lock:
                lines.append(raw.decode("utf-8", "replace"))

    def lines(self):
        with self.lock:
            return list(self.out)

    def wait_for_line(self, text, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if any(text in line for line in self.lines()):
                return True
            if self.proc.poll() is not None:
                time.sleep(0.2)  # let the readers catch the last lines
                return any(text in line for line in self.lines())
            time.sleep(0.05)
        return False

    def status_lines(self):
        lines = self.lines()
        return lines[lines.index("\n") + 1:] if "\n" in lines else []

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()


def run(args, env, timeout=30):
    start = time.time()
    proc = subprocess.run([EXE] + args, env=env, capture_output=True, stdin=subprocess.DEVNULL,
                          timeout=timeout)
    return proc.returncode, proc.stdout, proc.stderr, time.time() - start


def check_refused(name, args, env, limit=10):
    status, out, err, took = run(args, env)
    check(name, (status, out, err) == (1, b"", ALREADY) and took < limit,
          f"status={status} out={out!r} err={err!r} took={took:.1f}s")


def main():
    enter_private_network()
    if not os.access(EXE, os.X_OK):
        print(f"FAIL the receiver is not built: {EXE}")
        return 1
    root = tempfile.mkdtemp(prefix="brindle-instance-")
    server = None
    receivers = []
    try:
        server = PulseServer(root)
        env = dict(server.env, XDG_CONFIG_HOME=os.path.join(root, "config"))

        first = Receiver(["--no-mdns"], env)
        receivers.append(first)
        check("first instance starts", first.wait_for_line(LISTENING),
              f"out={first.lines()} err={first.err}")
        check("first instance reaches its status lines",
              first.wait_for_line("\n", 10) and wait_until(lambda: first.status_lines(), 10),
              f"out={first.lines()}")

        check_refused("second instance refused", ["--no-mdns"], env)
        check_refused("second instance with --background refused", ["--background", "--no-mdns"],
                      env)
        # A named but unreachable display: the dialog helper fails and nothing waits.
        check_refused("refusal does not wait for an unreachable display", ["--no-mdns"],
                      dict(env, DISPLAY=":97", WAYLAND_DISPLAY="brindle-none"))
        check("the first instance keeps running after the refusals",
              first.proc.poll() is None, f"first ended with {first.proc.returncode}")

        before = len(first.status_lines())
        time.sleep(4.5)
        after = len(first.status_lines())
        check("the first instance's status lines continue", after >= before + 2,
              f"{before} -> {after} status lines")

        status, out, err, _ = run(["--list-devices"], env)
        check("--list-devices works while an instance runs",
              status == 0 and CABLE in out.decode() and err == b"", f"{status} {out!r} {err!r}")
        status, out, err, _ = run(["--check-device", "CABLE Input"], env)
        check("--check-device works while an instance runs",
              (status, out, err) == (0, b"CABLE Input: found\n", b""), f"{status} {out!r} {err!r}")
        status, out, err, _ = run(["--autostart", "on"], env)
        check("--autostart on works while an instance runs",
              status == 0 and out.startswith("autostart on \u2014 ".encode()) and err == b"",
              f"{status} {out!r} {err!r}")
        status, out, err, _ = run(["--autostart", "off"], env)
        check("--autostart off works while an instance runs",
              (status, out, err) == (0, b"autostart off\n", b""), f"{status} {out!r} {err!r}")

        # Another login session has its own runtime folder: it is not blocked.
        other_runtime = os.path.join(root, "other-session")
        os.makedirs(other_runtime)
        if os.environ.get("BRINDLE_INSTANCE_NETNS") == "1":
            other = Receiver(["--no-mdns"], dict(env, XDG_RUNTIME_DIR=other_runtime))
            receivers.append(other)
            # Both bind the same port in one namespace; the guard is what is checked here.
            started = other.wait_for_line("\u2192 rendering into", 20)
            check("a receiver of another session is not refused",
                  started and "".join(other.err).encode() != ALREADY,
                  f"out={other.lines()} err={other.err}")
            other.kill()

        check("the first instance is still running", first.proc.poll() is None)
        first.kill()
        check("first instance killed with SIGKILL", first.proc.returncode == -signal.SIGKILL)
        again = Receiver(["--no-mdns"], env)
        receivers.append(again)
        check("a new start succeeds right after the kill (no stale guard)",
              again.wait_for_line(LISTENING), f"out={again.lines()} err={again.err}")
        again.kill()

        # Without a runtime folder the guard falls back to a name the kernel holds per user.
        no_runtime = {k: v for k, v in env.items() if k != "XDG_RUNTIME_DIR"}
        lone = Receiver(["--no-mdns"], no_runtime)
        receivers.append(lone)
        check("without XDG_RUNTIME_DIR a first instance starts", lone.wait_for_line(LISTENING),
              f"out={lone.lines()} err={lone.err}")
        check_refused("without XDG_RUNTIME_DIR a second instance is refused", ["--no-mdns"],
                      no_runtime)
        lone.kill()
        lone_again = Receiver(["--no-mdns"], no_runtime)
        receivers.append(lone_again)
        check("without XDG_RUNTIME_DIR a start after SIGKILL succeeds",
              lone_again.wait_for_line(LISTENING), f"out={lone_again.lines()} err={lone_again.err}")
        lone_again.kill()
    finally:
        for receiver in receivers:
            receiver.kill()
        if server:
            server.stop()
        shutil.rmtree(root, ignore_errors=True)

    print(f"{len(failures)} failure(s)" if failures else "all instance checks passed")
    return 1 if failures else 0


def wait_until(predicate, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


if __name__ == "__main__":
    sys.exit(main())
