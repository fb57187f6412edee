#!/usr/bin/python3
"""Audio through the real receiver: brindle-send plays the phone on loopback, a private
PulseAudio server plays the PC with two null sinks (the virtual cable, default, at 48 kHz, and a
44.1 kHz one), and the sinks' monitors are recorded and measured.

Checked: the device listing and check, the start-up lines byte for byte, silence before the
first datagram, the tone's frequency and level (with and without gain, at 48 and 44.1 kHz),
the status lines through waiting, streaming and idle, the loss count for a sender that drops
datagrams, datagrams to drop and an over-long one, a flood from several senders (the queue stays
bounded), and the audio and bind failure paths. mDNS stays off (--no-mdns): multicast only
ever runs inside network namespaces.
"""
import contextlib
import dataclasses
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

HIFI_DESCRIPTION = "Hi-Fi Speakers (44.1 kHz)"
TITLE = "Brindle receiver \u2014 iPhone \u2192 Windows  (Ctrl-C to quit)"
LISTENING = "\u2192 listening on UDP 45333"
WAITING_LINE = ("[  waiting] phone=\u2014  rx=0 (+0)  lost=0  fill=0ms  under=0  "
                "[" + "\u00b7" * 20 + "]" + " 0.00")
STATUS_RE = re.compile(
    r"^\[(?P<state>  waiting|     idle|streaming)\] phone=(?P<addr>\S+)  rx=(?P<rx>\d+) "
    r"\(\+(?P<delta>\d+)\)  lost=(?P<lost>\d+)  fill=(?P<fill>\d+)ms  under=(?P<under>\d+)  "
    r"\[(?P<bar>[#\u00b7]{20})\] (?P<peak>\d+\.\d\d)$")
LEVEL_TOLERANCE_DB = 0.5
FREQ_TOLERANCE_HZ = 1.0
TONE_TAKES = 3

checks = harness.Checks()
NS = None  # the suite's own network namespace, when it can make one


def rendering_line(name, rate, channels):
    return f"\u2192 rendering into \"{name}\"  ({rate} Hz, {channels} ch)"


def parse_status(line):
    m = STATUS_RE.match(line)
    return m.groupdict() if m else None


def purity(steady, rate, freq):
    """The share of each whole half second's power that lies in the tone."""
    half = rate // 2  # a whole number of cycles at 48 and 44.1 kHz
    shares = []
    for start in range(0, len(steady) - half + 1, half):
        window = steady[start:start + half]
        total = harness.rms(window) ** 2 / 2
        shares.append(harness.goertzel_power(window, rate, freq) / total if total > 0 else 0.0)
    return shares


def clean(shares):
    return bool(shares) and min(shares) > 0.95


def check_tone(label, take, freq, level, seconds):
    """The take's recording holds `seconds` of `freq` at peak amplitude `level`."""
    runs, steady, rate = take.runs, take.steady, take.rate
    present = sum(b - a for a, b in runs) / rate
    # The sound server drops what a late client writes after its own underrun, so on a
    # loaded machine a little may be missing; more than was sent can never come out.
    checks.check(f"{label}: {seconds} s of tone come out",
                 seconds - 0.2 <= present <= seconds + 0.02,
                 f"{present:.3f} s in runs {[(a / rate, b / rate) for a, b in runs]}")
    if len(runs) > 1:
        harness.log(f"{label}: {len(runs) - 1} dropout(s) in the tone (underruns)")
    if len(steady) < rate // 2:
        checks.check(f"{label}: a steady half second to measure", False,
                     f"longest steady part {len(steady) / rate:.2f} s")
        return
    measured = harness.frequency(steady, rate)
    checks.check(f"{label}: frequency {freq} Hz \u00b1{FREQ_TOLERANCE_HZ}",
                 abs(measured - freq) <= FREQ_TOLERANCE_HZ, f"measured {measured:.3f} Hz")
    amp = harness.amplitude(steady)
    off = harness.db(amp / level)
    checks.check(f"{label}: level {level} \u00b1{LEVEL_TOLERANCE_DB} dB",
                 abs(off) <= LEVEL_TOLERANCE_DB, f"measured {amp:.4f} ({off:+.2f} dB)")
    # A dropout or a glitch would show as energy away from the tone.
    checks.check(f"{label}: the steady part is a clean sine", clean(take.shares),
                 "tone holds " + ", ".join(f"{s:.3f}" for s in take.shares) + " of the power")


@dataclasses.dataclass
class Take:
    """What one start of the receiver with one signal showed."""
    lines: list
    inputs: int
    sent: subprocess.CompletedProcess
    lead: list
    rate: int
    quiet: list
    errors: bytes
    runs: list  # of signal in the recording
    steady: list  # the longest run without its onset and end
    shares: list  # purity of the steady part

    def disturbed(self):
        """A dropout or a skip in the tone: what a stall of the machine does to one take."""
        return len(self.runs) != 1 or not clean(self.shares)


def tone_take(pulse, receiver_args, sink, signal_args, silent_sink, freq):
    """Starts the receiver, records `sink` (and `silent_sink`), plays a second of nothing and
    then the signal."""
    harness.wait_port_free(netns=NS)
    recording = pulse.record(sink)
    other = pulse.record(silent_sink) if silent_sink else None
    with harness.Receiver(receiver_args + ["--no-mdns"], env=pulse.env, netns=NS) as rx:
        rx.wait_for_line(lambda l: l == "", timeout=10)
        lines = rx.lines()
        # The stream plays before any datagram: it must be connected and output silence.
        harness.wait_until(lambda: pulse.sink_inputs() >= 1, 5)
        inputs = pulse.sink_inputs()
        lead_start = recording.seconds()
        time.sleep(1.0)
        lead_end = recording.seconds()
        sent = harness.send(signal_args, netns=NS)
        rx.wait_status_lines(1, 5)
        time.sleep(1.0)
        errors = rx.stderr_bytes()
    samples = recording.finish()
    rate = recording.rate
    lead = samples[int(lead_start * rate):int(lead_end * rate)]
    quiet = other.finish() if other is not None else None
    steady = harness.steady_segment(samples, rate)
    return Take(lines, inputs, sent, lead, rate, quiet, errors,
                harness.signal_runs(samples, rate), steady, purity(steady, rate, freq))


def run_tone(pulse, label, receiver_args, sink, freq, level, device_line, gain_line=None,
             silent_sink=None, signal_args=None):
    """Plays a 2-second tone (or `signal_args`) through a receiver on `sink` and checks what
    comes out. A stall of a shared machine can break one take; a fault breaks every take."""
    if signal_args is None:
        signal_args = ["--duration", "2", "--freq", str(freq), "--level", str(level)]
    for number in range(1, TONE_TAKES + 1):
        take = tone_take(pulse, receiver_args, sink, signal_args, silent_sink, freq)
        if number == TONE_TAKES or not take.disturbed():
            break
        harness.log(f"{label}: take {number} has a dropout or a skip; taking it again")
    want = [TITLE, device_line] + ([gain_line] if gain_line else []) + [LISTENING, ""]
    checks.equal(f"{label}: start-up lines match byte for byte", take.lines[:len(want)], want)
    checks.equal(f"{label}: the receiver's stream is playing before any datagram",
                 take.inputs, 1)
    checks.check(f"{label}: brindle-send succeeded", take.sent.returncode == 0,
                 take.sent.stderr.strip())
    # From the stream's start to the first datagram the sink gets exact digital silence.
    checks.check(f"{label}: silence before the first datagram",
                 len(take.lead) > take.rate // 2 and harness.silent(take.lead, 1e-6),
                 f"{len(take.lead)} samples, peak {harness.peak(take.lead):.6f}")
    check_tone(label, take, freq, level * gain_of(receiver_args), 2.0)
    if take.quiet is not None:
        checks.check(f"{label}: nothing reaches the other sink", harness.silent(take.quiet, 1e-6),
                     f"peak {harness.peak(take.quiet):.6f}")
    checks.equal(f"{label}: nothing on standard error", take.errors, b"")


def wav_files(pulse):
    """A WAV file as the signal; a file in another format is refused before anything is sent."""
    good = os.path.join(pulse.dir, "tone-440.wav")
    wrong = os.path.join(pulse.dir, "tone-44k.wav")
    for path, rate in ((good, 48000), (wrong, 44100)):
        subprocess.run(["sox", "-n", "-r", str(rate), "-c", "1", "-b", "16", "-e", "signed",
                        path, "synth", "2", "sine", "440", "vol", "0.5"], check=True)
    run_tone(pulse, "WAV file", [], "cable", 440, 0.5,
             rendering_line(harness.CABLE_DESCRIPTION, 48000, 2), signal_args=["--wav", good])
    refused = harness.send(["--wav", wrong], netns=NS)
    checks.equal("WAV file: 44.1 kHz refused with status 1 and the reason",
                 (refused.returncode, refused.stderr),
                 (1, f"brindle-send: {wrong}: unsupported WAV format (1 ch, 44100 Hz, 16-bit, "
                     "format tag 1): need 16-bit PCM, mono, 48000 Hz\n"))


def gain_of(args):
    for flag in ("--gain", "-g"):
        if flag in args:
            return float(args[args.index(flag) + 1])
    return 1.0


def device_tools(pulse):
    status, out, err = harness.run_receiver(["--list-devices"], pulse.env, netns=NS)
    lines = out.split("\n")
    checks.check("--list-devices: header names the host",
                 re.fullmatch(r"Output devices \(.+\):", lines[0]) is not None, repr(lines[0]))
    checks.equal("--list-devices: both sinks, default marked",
                 lines[1:], [f"  \u2022 {harness.CABLE_DESCRIPTION}  (default)",
                             f"  \u2022 {HIFI_DESCRIPTION}", ""])
    checks.equal("--list-devices: status 0, nothing on stderr", (status, err), (0, ""))

    for query, found in (("cable input", True), (harness.CABLE_DESCRIPTION, True),
                         ("HI-FI", True), ("default", True), ("no such device", False)):
        result = harness.run_receiver(["--check-device", query], pulse.env, netns=NS)
        word = "found" if found else "not found"
        checks.equal(f"--check-device {query!r}: {word}", result,
                     (0 if found else 1, f"{query}: {word}\n", ""))


def status_sequence(pulse):
    """Waiting before the phone, streaming with the sent counts, then idle."""
    harness.wait_port_free(netns=NS)
    with harness.Receiver(["--no-mdns"], env=pulse.env, netns=NS) as rx:
        found = rx.wait_for_line(lambda l: l == "", timeout=10)
        blank_time = rx.out_lines[found[0]][0] if found else time.monotonic()
        first = rx.wait_for_line(lambda l: l.startswith("["), timeout=5)
        checks.equal("status: the first line is the waiting line", first and first[1],
                     WAITING_LINE)
        if first:
            delay = rx.out_lines[first[0]][0] - blank_time
            checks.check("status: first line two seconds after the empty line",
                         1.8 <= delay <= 2.6, f"{delay:.2f} s")
        sender = harness.send(["--duration", "3", "--level", "0.5"], netns=NS)
        checks.check("status: brindle-send succeeded", sender.returncode == 0, sender.stderr)
        # Two more periods so the last streaming line and at least one idle line are out.
        time.sleep(4.5)
        lines = rx.status_lines()
        errors = rx.stderr_bytes()
    parsed = [parse_status(l) for l in lines]
    checks.check("status: every line has the documented shape", all(parsed),
                 "\n".join(l for l, p in zip(lines, parsed) if not p))
    parsed = [p for p in parsed if p]
    streaming = [p for p in parsed if p["state"] == "streaming"]
    checks.check("status: streaming lines while sending", len(streaming) >= 1, lines)
    if not streaming:
        return
    total = sum(int(p["delta"]) for p in parsed)
    checks.equal("status: the deltas add up to the 300 datagrams sent", total, 300)
    checks.equal("status: rx reaches 300", int(parsed[-1]["rx"]), 300)
    checks.check("status: each line's rx is the previous rx plus its delta",
                 all(int(b["rx"]) == int(a["rx"]) + int(b["delta"])
                     for a, b in zip(parsed, parsed[1:])), lines)
    checks.check("status: the sender is the IPv4 loopback in mapped form",
                 all(p["addr"].startswith("[::ffff:127.0.0.1]:") for p in streaming),
                 streaming[0]["addr"])
    checks.check("status: nothing lost", all(p["lost"] == "0" for p in parsed), lines)
    checks.check("status: streaming lines show the peak 0.50",
                 all(p["peak"] == "0.50" for p in streaming), lines)
    after = parsed[parsed.index(streaming[-1]) + 1:]
    checks.check("status: idle after the sender stops",
                 len(after) >= 1 and all(p["state"] == "     idle" and p["delta"] == "0"
                                         for p in after), lines)
    if after:
        # meter 0.5 halves to 0.25 on the first idle line: 5 cells; the peak stays on show.
        checks.equal("status: idle bar settles at half the last peak",
                     (after[0]["bar"], after[0]["peak"]), ("#" * 5 + "\u00b7" * 15, "0.50"))
        checks.equal("status: idle shows an empty buffer", after[0]["fill"], "0")
    checks.equal("status: nothing on standard error", errors, b"")


def last_status_after(rx, index, timeout=8):
    """The first idle line after stdout line `index`: by then every datagram is counted."""
    found = rx.wait_for_line(lambda l: l.startswith("[     idle]"), timeout, start=index)
    return (found[0] + 1, parse_status(found[1])) if found else (index, None)


def loss_count(pulse):
    """Faults injected by the sender show in the receiver's counts, one sender after another
    on the same receiver (a sender starting at a lower number adds no loss)."""
    harness.wait_port_free(netns=NS)
    steps = (
        ("drop every 10th across the sequence wrap",
         ["--count", "101", "--drop-every", "10", "--seq-start", "4294967250"], "dropped 10,",
         (91, 10)),
        # Each swap is two gaps: the late one is missing when its successor comes, and the
        # late one moves the last number back. 105 datagrams: the 10th swap is followed too.
        ("reorder every 10th: each swapped pair counts 2",
         ["--count", "105", "--reorder-every", "10"], "reordered 10", (91 + 105, 10 + 20)),
        ("duplicate every 10th: no loss", ["--count", "101", "--duplicate-every", "10"],
         "duplicated 10,", (91 + 105 + 111, 30)),
    )
    with harness.Receiver(["--no-mdns"], env=pulse.env, netns=NS) as rx:
        found = rx.wait_for_line(lambda l: l == "", timeout=10)
        index = found[0] if found else 0
        for name, args, summary, (want_rx, want_lost) in steps:
            sender = harness.send(args, netns=NS)
            checks.check(f"loss: {name}: brindle-send reports it", sender.returncode == 0
                         and summary in sender.stdout, (sender.stdout + sender.stderr).strip())
            index, status = last_status_after(rx, index)
            checks.equal(f"loss: {name}: rx={want_rx} lost={want_lost}",
                         status and (int(status["rx"]), int(status["lost"])),
                         (want_rx, want_lost))


def sender_addresses(pulse):
    """The phone's address as the receiver shows it, for IPv6 and a host name."""
    harness.wait_port_free(netns=NS)
    with harness.Receiver(["--no-mdns"], env=pulse.env, netns=NS) as rx:
        found = rx.wait_for_line(lambda l: l == "", timeout=10)
        index = found[0] if found else 0
        for host, prefix in (("::1", "[::1]:"), ("localhost", "[")):
            sender = harness.send(["--count", "20", host], netns=NS)
            checks.check(f"address: brindle-send to {host}", sender.returncode == 0,
                         sender.stderr.strip())
            index, status = last_status_after(rx, index)
            checks.check(f"address: a datagram from {host} shows as {prefix}...",
                         status is not None and status["addr"].startswith(prefix),
                         status and status["addr"])


# Sent from a child so it can sit in the suite's namespace. argv: one hex datagram per argument.
_RAW_SENDER = r"""
import socket, sys
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
    for hex_bytes in sys.argv[1:]:
        s.sendto(bytes.fromhex(hex_bytes), ("127.0.0.1", 45333))
"""


def send_raw(datagrams):
    subprocess.run(harness.in_netns(NS, ["/usr/bin/python3", "-c", _RAW_SENDER] +
                                    [d.hex() for d in datagrams]), check=True, timeout=20)


def bad_input_and_flood(pulse):
    """Datagrams to drop leave no trace, an over-long one is parsed and the receiver goes on;
    several bursting senders at once keep the queue bounded by the trim (120 ms with the
    default prefill) while every datagram is counted."""
    harness.wait_port_free(netns=NS)
    junk = [b"BRD1" + bytes(7),                      # 11 bytes: too short
            b"1DRB" + bytes(8 + 960),                # magic in reverse byte order
            bytes(range(256)) * 4,                   # random-looking bytes
            b""]                                     # empty datagram
    header = b"BRD1" + (7).to_bytes(4, "little") + (1018).to_bytes(2, "little") + bytes(2)
    with harness.Receiver(["--no-mdns"], env=pulse.env, netns=NS) as rx:
        found = rx.wait_for_line(lambda l: l == "", timeout=10)
        index = found[0] if found else 0
        send_raw(junk)
        found = rx.wait_for_line(lambda l: l.startswith("["), timeout=8, start=index)
        checks.check("bad input: dropped datagrams leave the receiver waiting",
                     found is not None and found[1] == WAITING_LINE, found and found[1])
        send_raw([header + bytes(4000 - len(header))])  # over-long: only 2048 bytes are read
        index, status = last_status_after(rx, index)
        checks.equal("bad input: an over-long datagram is counted once",
                     status and int(status["rx"]), 1)

        senders = [harness.start_sender(["--count", "300", "--burst", "25", "--seq-start",
                                         str(n * 1000)], netns=NS) for n in range(3)]
        for sender in senders:
            sender.wait(timeout=30)
        checks.check("flood: three bursting senders finished",
                     all(s.returncode == 0 for s in senders))
        index, status = last_status_after(rx, index)
        checks.equal("flood: every datagram counted, receiver still running",
                     status and int(status["rx"]), 1 + 900)
        fills = [int(p["fill"]) for p in map(parse_status, rx.status_lines()) if p]
        checks.check("flood: the queue never holds more than 120 ms", max(fills) <= 120, fills)


def failure_paths(pulse):
    harness.wait_port_free(netns=NS)
    status, out, err = harness.run_receiver(["--no-mdns", "--device", "no such device"],
                                            pulse.env, netns=NS)
    checks.equal("audio failure: status 1", status, 1)
    checks.equal("audio failure: only the title on stdout", out, TITLE + "\n")
    prefix = ("\naudio: no output device matching \"no such device\". Run with --list-devices "
              "to see what's available.\nFor W0 install VB-CABLE (")
    suffix = "); for W1 install the Brindle driver.\n"
    checks.check("audio failure: the no-match message",
                 err.startswith(prefix) and err.endswith(suffix) and err.count("\n") == 3,
                 repr(err))
    checks.check("audio failure: port 45333 free afterwards", harness.port_is_free(netns=NS),
                 "port 45333 busy")
    if shutil.which("strace"):
        # The process is gone before anyone could look at the port, so watch its calls instead.
        trace = os.path.join(pulse.dir, "bind.trace")
        subprocess.run(harness.in_netns(NS, [
            "strace", "-f", "-qq", "-e", "trace=socket,bind", "-o", trace, harness.RECEIVER_EXE,
            "--no-mdns", "--device", "no such device"]),
                       env=pulse.env, capture_output=True, timeout=20, stdin=subprocess.DEVNULL)
        with open(trace) as f:
            calls = [l for l in f if "AF_INET" in l]
        checks.equal("audio failure: no UDP socket was created or bound", calls, [])
    else:
        harness.log("strace not installed: socket calls of the audio failure not traced")

    harness.wait_port_free(netns=NS)
    with harness.hold_port(netns=NS):
        status, out, err = harness.run_receiver(["--no-mdns"], pulse.env, netns=NS)
    checks.equal("bind failure: status 1", status, 1)
    checks.equal("bind failure: title and rendering lines on stdout", out,
                 TITLE + "\n" + rendering_line(harness.CABLE_DESCRIPTION, 48000, 2) + "\n")
    checks.check("bind failure: the bind message with the OS error",
                 re.fullmatch(r"could not bind UDP 45333: .+ \(os error \d+\)\n", err) is not None,
                 repr(err))


def main():
    for exe in (harness.RECEIVER_EXE, harness.SENDER_EXE):
        if not os.access(exe, os.X_OK):
            print(f"missing executable: {exe}")
            return 1
    global NS
    with contextlib.ExitStack() as stack:
        if harness.NetNamespace.available():
            # Other runs on this machine send to 127.0.0.1:45333 too; our own loopback keeps
            # their datagrams out of our measurements.
            NS = stack.enter_context(harness.NetNamespace())
            harness.log(f"receivers and senders run in network namespace {NS.name}")
        else:
            harness.log("no network namespace (not root?): sharing the machine's loopback")
        pulse = stack.enter_context(harness.PulseServer())
        pulse.add_null_sink("cable", harness.CABLE_DESCRIPTION, rate=48000, default=True)
        pulse.add_null_sink("hifi", HIFI_DESCRIPTION, rate=44100)
        harness.log(f"private PulseAudio server in {pulse.dir}")

        device_tools(pulse)
        run_tone(pulse, "default device", [], "cable", 1000, 0.5,
                 rendering_line(harness.CABLE_DESCRIPTION, 48000, 2), silent_sink="hifi")
        run_tone(pulse, "gain 2", ["--gain", "2"], "cable", 1000, 0.3,
                 rendering_line(harness.CABLE_DESCRIPTION, 48000, 2),
                 gain_line="\u2192 output gain 2.0\u00d7")
        run_tone(pulse, "44.1 kHz sink", ["--device", HIFI_DESCRIPTION], "hifi", 1000, 0.5,
                 rendering_line(HIFI_DESCRIPTION, 44100, 2), silent_sink="cable")
        wav_files(pulse)
        status_sequence(pulse)
        loss_count(pulse)
        sender_addresses(pulse)
        bad_input_and_flood(pulse)
        failure_paths(pulse)
    checks.finish()


if __name__ == "__main__":
    sys.exit(main())
