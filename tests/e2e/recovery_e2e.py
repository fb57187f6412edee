#!/usr/bin/python3
"""A receiver left running: the output comes back after the cable sink is unloaded and loaded
again, and after the sound server is killed and started again; an idle receiver corks its
stream and the next tone is heard whole; reception goes on after the receive call fails for
seconds in the middle of a stream (an LD_PRELOAD shim built here fails it). A console that
blocks or goes away holds up none of it. With --device default, a new default sink takes the
stream.

A private PulseAudio server holds the cable sink and a "Speakers" sink, which must never get
the stream meant for the cable. brindle-send plays the phone inside the suite's own network
namespace; the cable's monitor is recorded and measured. mDNS stays off.
"""
import contextlib
import fcntl
import os
import re
import signal
import subprocess
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

RENDERING = f"\u2192 rendering into \"{harness.CABLE_DESCRIPTION}\"  (48000 Hz, 2 ch)"
UNDER_RE = re.compile(r"  under=(\d+)  ")
RX_RE = re.compile(r"  rx=(\d+) ")
SHIM_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "recv_fault_shim.c")
FAULTS = {"ENETDOWN": 100, "ENOBUFS": 105, "ENOMEM": 12}
FAULT_SECONDS = 6.0
# The receiver's pause after each failed call in a row: 100 ms, doubling, at most 2 s.
PAUSES_S = [0.1, 0.2, 0.4, 0.8, 1.6, 2.0]
PAUSE_SLACK_S = 0.5
# The receiver retries every 2 s; the rest is the time to open a stream on a loaded machine.
RECOVERY_LIMIT_S = 3.0
RECOVERY_MARGIN_S = 2.0
IDLE_TAKES = 3

checks = harness.Checks()
NS = None


class RestartablePulse(harness.PulseServer):
    """A PulseAudio server that can be killed and started again on the same socket, the way a
    desktop's sound server restarts under a running client."""

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def start_again(self, timeout=15):
        self.proc = subprocess.Popen(
            [self.proc.args[0], *self.proc.args[1:]], env=self.env, stdin=subprocess.DEVNULL,
            stdout=self._log, stderr=subprocess.STDOUT)
        if not harness.wait_until(self._responds, timeout):
            raise RuntimeError("pulseaudio did not start again:\n" + self.server_log())

    def cable_module(self):
        for line in self.pactl(["list", "short", "modules"]).stdout.splitlines():
            if "sink_name=cable " in line + " ":
                return line.split()[0]
        return None

    def corked(self):
        """The Corked: values of the sink inputs."""
        out = self.pactl(["list", "sink-inputs"]).stdout
        return [l.strip().split(": ", 1)[1] for l in out.splitlines()
                if l.strip().startswith("Corked: ")]


def add_cable(pulse):
    pulse.add_null_sink("cable", harness.CABLE_DESCRIPTION, rate=48000)


def error_lines(rx):
    with rx._lock:
        return [text for _, text in rx.err_lines]


def rendering_times(rx):
    with rx._lock:
        return [t for t, text in rx.out_lines if text == RENDERING]


def tone_heard(pulse, label, seconds=1.5):
    """Records the cable for `seconds` while a tone plays: 1 kHz present for most of it."""
    rec = pulse.record("cable")
    rec.wait_seconds(rec.seconds() + seconds)
    samples = rec.finish()
    tone = harness.steady_segment(samples, rec.rate, margin_s=0.05)
    ok = len(tone) > 0.5 * rec.rate and abs(harness.frequency(tone, rec.rate) - 1000) < 2
    checks.check(f"{label}: the tone is recorded again", ok,
                 f"{len(tone) / rec.rate:.2f} s steady, "
                 f"{harness.frequency(tone, rec.rate) if tone else 0:.1f} Hz")


def expect_one_error(rx, label, before):
    harness.wait_until(lambda: len(error_lines(rx)) > before, 10)
    time.sleep(2.5)  # a second line, or a retry that reports, would show by now
    errors = error_lines(rx)[before:]
    checks.check(f"{label}: exactly one error line",
                 len(errors) == 1 and errors[0].startswith("audio stream error: "), str(errors))


def expect_recovery(rx, label, rendered_before, since):
    got = harness.wait_until(lambda: len(rendering_times(rx)) > rendered_before,
                             RECOVERY_LIMIT_S + RECOVERY_MARGIN_S)
    took = rendering_times(rx)[-1] - since if got else float("inf")
    harness.log(f"{label}: rendering line {took:.2f} s after the sink was back")
    checks.check(f"{label}: the rendering line again within {RECOVERY_LIMIT_S:.0f} s",
                 got and took <= RECOVERY_LIMIT_S + RECOVERY_MARGIN_S, f"{took:.2f} s")


def device_loss(pulse, rx):
    sender = harness.start_sender(["--duration", "60"], env=pulse.env, netns=NS)
    try:
        tone_heard(pulse, "before the loss")

        pulse.pactl(["unload-module", pulse.cable_module()])
        expect_one_error(rx, "cable unloaded", 0)
        checks.equal("cable unloaded: no stream falls back to the speakers", pulse.sink_inputs(), 0)
        add_cable(pulse)
        expect_recovery(rx, "cable loaded again", 1, time.monotonic())
        tone_heard(pulse, "cable loaded again")

        errors_before = len(error_lines(rx))
        pulse.kill()
        expect_one_error(rx, "server killed", errors_before)
        pulse.start_again()
        add_cable(pulse)
        pulse.add_null_sink("speakers", "Speakers", default=True)
        expect_recovery(rx, "server started again", 2, time.monotonic())
        tone_heard(pulse, "server started again")
    finally:
        harness.stop_process(sender)
    checks.check("the receiver ran through all of it", rx.running())
    checks.check("the status line went on",
                 any(l.startswith("[streaming]") for l in rx.lines()[-3:]), str(rx.lines()[-3:]))


def last_under(rx):
    values = [int(m.group(1)) for l in rx.status_lines() if (m := UNDER_RE.search(l))]
    return values[-1] if values else None


def idle_rest(pulse, rx):
    harness.send(["--duration", "1"], env=pulse.env, netns=NS)
    stopped = time.monotonic()
    corked = harness.wait_until(lambda: pulse.corked() == ["yes"], 12, interval=0.2)
    harness.log(f"idle: corked {time.monotonic() - stopped:.1f} s after the last datagram")
    checks.check("idle: the stream is corked after 5 s without datagrams",
                 corked and time.monotonic() - stopped >= 4.5, str(pulse.corked()))
    under = last_under(rx)
    count = len(rx.status_lines())
    rx.wait_status_lines(count + 3, 10)
    checks.check("idle: no underruns counted while corked",
                 under is not None and last_under(rx) == under, f"{under} -> {last_under(rx)}")

    def whole(lengths):
        return len(lengths) == 1 and abs(lengths[0] - 1.0) < 0.005

    # A stall of a few tens of milliseconds on a shared machine can break one take with a
    # dropout; a start lost on waking breaks every take.
    takes = []
    for _ in range(IDLE_TAKES):
        if takes and not harness.wait_until(lambda: pulse.corked() == ["yes"], 12, interval=0.2):
            break
        rec = pulse.record("cable")
        harness.send(["--duration", "1"], env=pulse.env, netns=NS)
        rec.wait_seconds(rec.seconds() + 0.5)
        samples = rec.finish()
        lengths = [round((b - a) / rec.rate, 4) for a, b in harness.signal_runs(samples, rec.rate)]
        takes.append(lengths)
        if whole(lengths):
            break
        harness.log(f"idle: take {len(takes)} not whole: runs {lengths} s")
    checks.check("idle: the next tone is heard whole, its start intact",
                 whole(takes[-1]), str(takes))
    checks.equal("idle: the stream plays again", pulse.corked(), ["no"])


def rx_counts(rx):
    return [int(m.group(1)) for l in rx.status_lines() if (m := RX_RE.search(l))]


def receive_errors(pulse):
    """Every receive fails for 6 s, with ENETDOWN, ENOBUFS and ENOMEM in turn, while the phone
    streams: one line, a growing pause between calls, then the tone and the counters go on."""
    with tempfile.TemporaryDirectory(prefix="brindle-recv-fault-") as tmp:
        shim = os.path.join(tmp, "recv_fault_shim.so")
        subprocess.run([shutil.which("cc") or "gcc", "-shared", "-fPIC", "-o", shim, SHIM_SOURCE,
                        "-ldl"], check=True)
        fault_log = os.path.join(tmp, "faults.log")
        env = dict(pulse.env, LD_PRELOAD=shim, BRINDLE_FAULT_AFTER="150",
                   BRINDLE_FAULT_ERRNOS=",".join(FAULTS), BRINDLE_FAULT_SECONDS=str(FAULT_SECONDS),
                   BRINDLE_FAULT_LOG=fault_log)
        harness.wait_port_free(netns=NS)
        with harness.Receiver(["--no-mdns"], env=env, netns=NS) as rx:
            if not rx.wait_for_line(lambda l: l.startswith("[  waiting]"), timeout=10):
                checks.check("faulty receiver started", False, str(error_lines(rx)))
                return
            sender = harness.start_sender(["--duration", "40"], env=pulse.env, netns=NS)
            try:
                started = harness.wait_until(lambda: os.path.exists(fault_log), 15)
                rx_at_fault = rx_counts(rx)[-1:] or [0]
                time.sleep(FAULT_SECONDS + PAUSES_S[-1] + PAUSE_SLACK_S)
                tone_heard(pulse, "after the receive errors")
                rx.wait_status_lines(len(rx.status_lines()) + 2, 6)
            finally:
                harness.stop_process(sender)
            with open(fault_log) if started else contextlib.nullcontext([]) as f:
                failures = [(float(t), int(code)) for t, code in (l.split() for l in f)]
            errors = error_lines(rx)
            counts = rx_counts(rx)
            checks.equal("receive errors: one line for the whole episode", errors,
                         ["UDP receive error: Network is down (os error 100) \u2014 retrying"])
            checks.equal("receive errors: each injected error was met",
                         sorted({code for _, code in failures}), sorted(FAULTS.values()))
            gaps = [round(b[0] - a[0], 3) for a, b in zip(failures, failures[1:])]
            harness.log(f"receive errors: {len(failures)} failed calls, pauses {gaps} s")
            want = [PAUSES_S[min(i, len(PAUSES_S) - 1)] for i in range(len(gaps))]
            checks.check("receive errors: the pause grows from 100 ms to 2 s, no busy loop",
                         len(failures) <= len(PAUSES_S) + 1 and all(
                             w * 0.9 <= g <= w + PAUSE_SLACK_S for g, w in zip(gaps, want)),
                         f"{len(failures)} failed calls, gaps {gaps}")
            checks.check("receive errors: the counters carry on",
                         counts == sorted(counts) and counts[-1] > rx_at_fault[0] + 100,
                         f"rx {rx_at_fault[0]} at the fault, then {counts[-4:]}")
            checks.check("receive errors: the receiver runs on", rx.running())


def full_pipe():
    """A pipe whose small buffer is already full, and that nobody will read: (read, write)."""
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
    os.set_blocking(write_end, False)
    with contextlib.suppress(BlockingIOError):
        while True:
            os.write(write_end, b"x" * 4096)
    os.set_blocking(write_end, True)  # the receiver's writes must block, not fail
    return read_end, write_end


def blocked_console(pulse):
    """Standard output's reader goes away after the start-up lines (`| head -n 4`), standard
    error is a full pipe nobody reads; the cable fails while the stream rests and comes back.
    The receiver lives on, reopens the cable and plays the next tone."""
    err_read, err_write = full_pipe()
    proc = subprocess.Popen(harness.in_netns(NS, [harness.RECEIVER_EXE, "--no-mdns"]),
                            env=pulse.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=err_write)
    os.close(err_write)
    sender = None
    try:
        for line in proc.stdout:
            if line.startswith("\u2192 listening".encode()):
                break
        proc.stdout.close()
        checks.check("blocked console: rests before the cable goes",
                     harness.wait_until(lambda: pulse.corked() == ["yes"], 12), str(pulse.corked()))
        pulse.pactl(["unload-module", pulse.cable_module()])
        time.sleep(1)  # the error line now waits behind the full pipe
        add_cable(pulse)
        sender = harness.start_sender(["--duration", "30"], env=pulse.env, netns=NS)
        reopened = harness.wait_until(lambda: pulse.corked() == ["no"],
                                      RECOVERY_LIMIT_S + RECOVERY_MARGIN_S, interval=0.2)
        checks.check("blocked console: the cable is reopened", reopened, str(pulse.corked()))
        tone_heard(pulse, "blocked console")
        checks.check("blocked console: the receiver runs on (no SIGPIPE)", proc.poll() is None,
                     f"exit status {proc.returncode}")
    finally:
        if sender is not None:
            harness.stop_process(sender)
        harness.stop_process(proc)
        os.close(err_read)


def follow_default(pulse):
    """--device default on the speakers; `pactl set-default-sink cable` while a tone plays moves
    the stream to the cable within about a second, with the rendering line and no error."""
    harness.wait_port_free(netns=NS)
    speakers = "\u2192 rendering into \"Speakers\"  (48000 Hz, 2 ch)"
    with harness.Receiver(["--no-mdns", "--device", "default"], env=pulse.env, netns=NS) as rx:
        started = rx.wait_for_line(lambda l: l.startswith("[  waiting]"), timeout=10)
        checks.check("--device default renders into the default sink",
                     started and speakers in rx.lines(), str(rx.lines()))
        sender = harness.start_sender(["--duration", "30"], env=pulse.env, netns=NS)
        try:
            time.sleep(1)
            since = time.monotonic()
            pulse.set_default_sink("cable")
            moved = harness.wait_until(lambda: rendering_times(rx), 5)
            took = rendering_times(rx)[0] - since if moved else float("inf")
            harness.log(f"default moved: rendering line {took:.2f} s after set-default-sink")
            checks.check("a new default sink: its rendering line within about a second",
                         took <= 1.5, f"{took:.2f} s; {rx.lines()[-3:]}")
            tone_heard(pulse, "the default moved")
            checks.equal("the default moved: one stream, no error line",
                         (pulse.sink_inputs(), error_lines(rx)), (1, []))
        finally:
            harness.stop_process(sender)


def main():
    for exe in (harness.RECEIVER_EXE, harness.SENDER_EXE):
        if not os.access(exe, os.X_OK):
            print(f"missing executable: {exe}")
            return 1
    global NS
    with contextlib.ExitStack() as stack:
        if harness.NetNamespace.available():
            NS = stack.enter_context(harness.NetNamespace("brindle-recovery"))
        pulse = stack.enter_context(RestartablePulse())
        add_cable(pulse)
        pulse.add_null_sink("speakers", "Speakers", default=True)
        harness.wait_port_free(netns=NS)
        with harness.Receiver(["--no-mdns"], env=pulse.env, netns=NS) as rx:
            if not rx.wait_for_line(lambda l: l.startswith("[  waiting]"), timeout=10):
                checks.check("receiver started", False, str(rx.lines()) + str(error_lines(rx)))
                checks.finish()
            idle_rest(pulse, rx)
            device_loss(pulse, rx)
        receive_errors(pulse)
        harness.wait_port_free(netns=NS)
        blocked_console(pulse)
        follow_default(pulse)
    checks.finish()


if __name__ == "__main__":
    sys.exit(main())
