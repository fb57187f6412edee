#!/usr/bin/python3
"""The receiver on PipeWire's own API, against a headless PipeWire with WirePlumber and
pipewire-pulse on a private runtime folder and session bus (as a desktop runs them).

Listing and --check-device from the registry and the "default" metadata; a tone from brindle-send
comes out of "Brindle microphone" from a stream that says who it is; the stream rests while idle
so the cable can suspend; the cable removed and installed again gives one error line and a
reopen; with --device default a new default sink takes the stream; a graph rate change under the stream changes nothing; the server restarted under a
running stream is reconnected and plays again; and a PipeWire without WirePlumber is a clear
error, not a hang.
"""
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from cable_e2e import DesktopPipeWire, RENDERING, microphone_tone  # noqa: E402

checks = harness.Checks()
SPEAKERS = "Kopfhörer \u2014 Lautsprecher"
REMOVED = "audio stream error: the output device was removed"


class BarePipeWire(DesktopPipeWire):
    """The daemon alone: no session manager links streams or names a default."""

    def start(self):
        self.spawn(["pipewire"], "pipewire")
        harness.wait_until(lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")), 10)


def pw_nodes(desk):
    """{node.name: (state, props)} from pw-dump."""
    out = subprocess.run(["pw-dump"], env=desk.env, capture_output=True, text=True, timeout=10,
                         stdin=subprocess.DEVNULL).stdout
    nodes = {}
    for obj in json.loads(out or "[]"):
        info = obj.get("info") or {}
        props = info.get("props") or {}
        if obj.get("type", "").endswith(":Node") and "node.name" in props:
            nodes[props["node.name"]] = (info.get("state"), props)
    return nodes


def add_sink(desk, name, description):
    subprocess.run(["pw-cli", "create-node", "adapter",
                    f"{{ factory.name=support.null-audio-sink node.name={name} "
                    f"node.description=\"{description}\" media.class=Audio/Sink "
                    "audio.position=[ FL FR ] object.linger=true }"],
                   env=desk.env, capture_output=True, timeout=10, stdin=subprocess.DEVNULL)
    return harness.wait_until(lambda: name in pw_nodes(desk), 10)


def force_rate(desk, rate):
    subprocess.run(["pw-metadata", "-n", "settings", "0", "clock.force-rate", str(rate)],
                   env=desk.env, capture_output=True, timeout=10, stdin=subprocess.DEVNULL)


def tone_heard(label, desk, ns):
    """A 3 s tone from brindle-send is a 1 kHz tone at "Brindle microphone"."""
    rec = harness.Recording(desk, None, 48000, 1, device="brindle_mic")
    checks.check(f"{label}: \"Brindle microphone\" delivers the 1 kHz tone",
                 *microphone_tone(desk, ns, rec))


def listing_and_check(desk):
    add_sink(desk, "speakers", SPEAKERS)
    subprocess.run(["pw-metadata", "0", "default.configured.audio.sink", '{"name":"speakers"}',
                    "Spa:String:JSON"],
                   env=desk.env, capture_output=True, timeout=10, stdin=subprocess.DEVNULL)
    want = ["Output devices (PipeWire):", f"  \u2022 {harness.CABLE_DESCRIPTION}",
            f"  \u2022 {SPEAKERS}  (default)"]
    got = None

    def listed():
        nonlocal got
        got = harness.run_receiver(["--list-devices"], env=desk.env)
        return sorted(got[1].splitlines()) == sorted(want)
    checks.check("the listing names the sinks by description, default from the metadata",
                 harness.wait_until(listed, 10, interval=0.2) and got[0] == 0, repr(got))
    found = harness.run_receiver(["--check-device", "KOPFHÖRER"], env=desk.env)
    missing = harness.run_receiver(["--check-device", "nothing like it"], env=desk.env)
    checks.equal("--check-device matches Unicode names without case; a miss is status 1",
                 (found[0], found[1], missing[0]), (0, "KOPFHÖRER: found\n", 1))


def follow_default(desk, ns):
    """--device default on the speakers; the user's default set to the cable moves the stream
    there within about a second, with the rendering line again."""
    with harness.Receiver(["--no-mdns", "--device", "default"], env=desk.env, netns=ns) as rx:
        started = rx.wait_for_line(lambda l: l.startswith("[  waiting]"), timeout=60)
        checks.check("--device default renders into the default sink",
                     started and any(l.startswith(f"\u2192 rendering into \"{SPEAKERS}\"")
                                     for l in rx.lines()), f"{rx.lines()!r} {rx.err_lines!r}")
        since = time.monotonic()
        subprocess.run(["pw-metadata", "0", "default.configured.audio.sink",
                        '{"name":"brindle_cable"}', "Spa:String:JSON"],
                       env=desk.env, capture_output=True, timeout=10, stdin=subprocess.DEVNULL)

        def moved():
            return [t for t, l in list(rx.out_lines) if l.startswith(RENDERING)]
        took = moved()[0] - since if harness.wait_until(moved, 5) else float("inf")
        harness.log(f"default moved: rendering line {took:.2f} s after the metadata changed")
        target = pw_nodes(desk).get("brindle_receiver", (None, {}))[1].get("target.object")
        checks.check("a new default sink: the stream moves there within about a second",
                     took <= 1.5 and target == "brindle_cable" and not rx.err_lines,
                     f"{took:.2f} s, target {target!r}; {rx.lines()[-3:]!r} {rx.err_lines!r}")
        tone_heard("the default moved", desk, ns)


def stream_life(desk, ns):
    with harness.Receiver([], env=desk.env, netns=ns) as rx:
        started = rx.wait_for_line(lambda l: l.startswith("[  waiting]"), timeout=60)
        checks.check("the receiver renders into the cable through PipeWire",
                     started and any(l.startswith(RENDERING) for l in rx.lines()),
                     f"{rx.lines()!r} {rx.err_lines!r}")
        state, props = pw_nodes(desk).get("brindle_receiver", (None, {}))
        checks.equal("its stream says who it is and where it goes",
                     {k: props.get(k) for k in ("application.name", "media.class",
                                                "target.object", "node.latency")},
                     {"application.name": "Brindle receiver", "media.class": "Stream/Output/Audio",
                      "target.object": "brindle_cable", "node.latency": "1440/48000"})
        tone_heard("native stream", desk, ns)

        rests = harness.wait_until(
            lambda: pw_nodes(desk).get("brindle_cable", ("",))[0] == "suspended", 20, 0.5)
        checks.check("idle, the stream rests and the cable suspends", rests,
                     repr({n: s for n, (s, _) in pw_nodes(desk).items()}))

        desk.cable("remove")
        harness.wait_until(lambda: any(t.startswith("audio") for _, t in rx.err_lines), 10)
        time.sleep(2)  # a second line would come with the next retry
        gone = [t for _, t in rx.err_lines if t.startswith("audio")]
        desk.cable("install")
        back = harness.wait_until(
            lambda: sum(l.startswith(RENDERING) for l in rx.lines()) == 2, 15)
        checks.check("the cable removed and back: one error line, then rendering again",
                     gone == [REMOVED] and back, f"{gone!r} {rx.lines()[-3:]!r}")
        tone_heard("after the cable came back", desk, ns)
        force_rate(desk, 44100)  # the cable's format changes under the stream
        tone_heard("with the graph at 44.1 kHz", desk, ns)
        force_rate(desk, 0)

        sender = harness.start_sender(["--duration", "60"], env=desk.env, netns=ns)
        time.sleep(1)
        desk.restart()
        back = harness.wait_until(
            lambda: sum(l.startswith(RENDERING) for l in rx.lines()) == 3, 30)
        harness.stop_process(sender)
        checks.check("a PipeWire restart under a playing stream: the receiver reconnects",
                     rx.running() and back, f"{rx.lines()[-3:]!r} {rx.err_lines[-3:]!r}")
        tone_heard("after the server restart", desk, ns)
    desk.cable("remove")


def without_session_manager():
    desk = BarePipeWire()
    try:
        desk.start()
        add_sink(desk, "brindle_cable", harness.CABLE_DESCRIPTION)
        began = time.monotonic()
        status, out, err = harness.run_receiver(["--no-mdns"], env=desk.env, timeout=30)
        took = time.monotonic() - began
        checks.check("PipeWire without WirePlumber: a clear error within seconds, status 1",
                     status == 1 and "WirePlumber" in err and took < 15,
                     f"status {status} after {took:.1f} s; {out!r} {err!r}")
    finally:
        desk.close()


def main():
    checks.require(("pipewire", "wireplumber", "pipewire-pulse", "pw-cli", "pw-dump",
                    "pw-metadata", "dbus-daemon", "parec"), netns=True)
    with harness.NetNamespace("brindle-pw") as ns:
        desk = DesktopPipeWire()
        try:
            desk.start()
            desk.cable("install")
            listing_and_check(desk)
            follow_default(desk, ns)
            stream_life(desk, ns)
        finally:
            desk.close()
    without_session_manager()
    checks.finish()


if __name__ == "__main__":
    main()
