#!/usr/bin/python3
"""The Windows build under Wine: the real brindle-receiver.exe, end to end.

Everything runs in a private network namespace (the suite re-executes itself under
`unshare -n`), so the receiver's UDP port and its mDNS traffic stay inside it; the phone is a
second namespace joined by a veth pair (198.51.100.1 = PC, 198.51.100.2 = phone). Wine's
wineserver creates the sockets of its processes, so it too is started inside the namespace, in
a throwaway WINEPREFIX made by this suite.

Wine's WASAPI (winepulse) talks to a private PulseAudio server (tests/e2e/harness.py, which
also does the signal analysis) whose null sinks are
"CABLE Input (VB-Audio Virtual Cable)" (at 44100 Hz, so the receiver's 48 kHz stream must be
converted by the audio engine) and "Speakers".

Checks:
  * the Windows unit tests, and the WASAPI host tests against the cable endpoint;
  * the exact help text and usage errors on redirected output, including arguments that need
    the UTF-16 command line (empty, non-ASCII, embedded quotes); the help text on an
    interactive console (a pseudo-terminal under `script`), written through WriteConsoleW;
  * --list-devices lists the Wine endpoints; --check-device;
  * the receiver started without arguments renders a 1 kHz tone sent by brindle-send (or a
    Python stand-in when there is no native build) from the phone namespace into the cable:
    checked from the sink's monitor (no dropout, frequency, level), with the start-up lines and
    a 48000 Hz float stream on the PulseAudio side; meanwhile a stand-in wlanapi.dll with one
    connected interface refuses the scan hold it is asked for once, which changes nothing (every
    other receiver of the suite runs with no WLAN service at all);
  * a real mDNS client (python3-zeroconf) in the phone namespace resolves the advertised service
    to the PC's address on its link alone, although the PC holds a second, unreachable adapter;
  * removing the cable under the running stream: one "audio stream error" line (the device
    invalidated), the stream ends, the status lines go on; loading it again brings the
    rendering line and the tone back;
  * a second instance is refused with status 1 and the exact line. Wine without a display has
    no window driver: MessageBoxW cannot create its window and returns at once (Wine logs
    "nodrv_CreateWindow"), so the refused start ends by itself; DISPLAY is removed to make sure
    and the start runs under a time-out all the same;
  * --autostart on/off with Wine's own reg, read back with `wine reg query`, including the
    StartupApproved mark, and --autostart off refused reading the Run key (a DACL set by a helper). Wine's reg writes its errors to standard output (Windows' writes them
    to standard error) and only in English, so localized, OEM-coded, silent and hanging answers
    come from a stand-in reg.exe put into the prefix's system folder; a planted reg.exe beside a
    copy of the receiver must never run. The stand-in records the exact argument lists;
  * --background keeps a log in %LOCALAPPDATA%\Brindle\receiver.log: the start-up lines, the
    stream error when the cable goes and the rendering line when it is back, each with the local
    time, and no status lines;
  * the release resources (windows_checks.py), the login start in a windowless copy and the
    warning dialog for a start-up failure with --background (its text read back on an Xvfb
    display, in a second prefix, with its MessageBoxW style seen in a relay trace); on that
    display a --background receiver's hidden "BrindleReceiver" window, which WM_CLOSE ends with
    status 0 so that a new start runs. The login start's fallback when its copy cannot start is
    in the Windows unit tests (HandOverGuard).
"""
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402  (the private PulseAudio server and the signal analysis)
import windows_checks  # noqa: E402  (release resources, login start, reg)

BUILD = os.environ.get("BRINDLE_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build-win"))
SOURCE = os.environ.get("BRINDLE_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))
WINE = os.environ.get("BRINDLE_WINE", "/usr/lib/wine/wine64")
EXE = os.path.join(BUILD, "brindle-receiver.exe")
TESTS_DIR = os.environ.get("BRINDLE_WINE_TESTS_DIR", os.path.join(BUILD, "tests", "wine"))
CABLE = "CABLE Input (VB-Audio Virtual Cable)"
RUN_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
PC_IP, PHONE_IP = "198.51.100.1", "198.51.100.2"
ALREADY = "Brindle Receiver is already running \u2014 not starting a second instance.\n"

HELP = "\n".join([
    "Brindle receiver \u2014 iPhone \u2192 Windows wireless mic",
    "",
    "USAGE:",
    "  brindle-receiver [OPTIONS]",
    "",
    "OPTIONS:",
    "  -d, --device <NAME>   Output endpoint to render into (substring match).",
    f"                        Default: \"{CABLE}\" (VB-CABLE, W0).",
    "                        Use \"Brindle\" for the W1 branded driver, or \"default\"",
    "                        for the system default output (handy for the tone test).",
    "  --prefill-ms <MS>     Jitter-buffer prefill (default 40). Raise for",
    "                        bursty senders / congested LANs.",
    "  -g, --gain <X>        Output gain, 1=unity (default). Try 4 if the mic",
    "                        is too quiet; clamps at full scale so it won't wrap.",
    "  --list-devices        List output endpoints cpal can see, then exit.",
    "  --check-device <NAME> Exit 0 if a matching output endpoint exists,",
    "                        else 1 (used by the installer to detect VB-CABLE).",
    "  --no-mdns             Do not advertise over mDNS (UDP still works).",
    "  --autostart <on|off>  Register/unregister run-at-login (per-user, no",
    "                        admin). Captures the other flags given with it,",
    "                        e.g. `--gain 4 --autostart on`. Then exits.",
    "  --background          Hide the console window (used by autostart).",
    "  -h, --help            Show this help.",
]) + "\n"

failures = []


def check(name, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else f": {detail}"), flush=True)
    if not ok:
        failures.append(name)


def windows_path(path):
    """Wine maps the Unix root to drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---------------------------------------------------------------------------------------------
# Environment: namespace, Wine prefix, PulseAudio server


def enter_private_network(script=__file__):
    """Unless already inside one, runs `script` again in a network namespace of its own and exits
    with its status."""
    if os.environ.get("BRINDLE_WINE_NETNS") == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return
    if os.geteuid() != 0 or not shutil.which("unshare"):
        print("SKIP: needs root and unshare for the private network namespace", flush=True)
        sys.exit(0)
    env = dict(os.environ, BRINDLE_WINE_NETNS="1")
    sys.exit(subprocess.run(["unshare", "-n", "--", sys.executable, "-u", script],
                            env=env).returncode)


class PhoneNamespace:
    """A second namespace joined to ours by a veth pair."""

    def __init__(self):
        self.name = f"brindle-wine-phone-{os.getpid()}"
        run = lambda *a: subprocess.run(list(a), check=True)
        run("ip", "netns", "add", self.name)
        run("ip", "link", "add", "veth-pc", "type", "veth", "peer", "name", "veth-phone")
        run("ip", "link", "set", "veth-phone", "netns", self.name)
        run("ip", "addr", "add", PC_IP + "/24", "dev", "veth-pc")
        run("ip", "link", "set", "veth-pc", "up")
        run("ip", "-n", self.name, "addr", "add", PHONE_IP + "/24", "dev", "veth-phone")
        run("ip", "-n", self.name, "link", "set", "veth-phone", "up")
        run("ip", "-n", self.name, "link", "set", "lo", "up")

    def command(self, *args):
        return ["ip", "netns", "exec", self.name, *args]

    def remove(self):
        subprocess.run(["ip", "netns", "delete", self.name], check=False)


def add_unreachable_adapter():
    """A virtual adapter beside the phone's link (like Hyper-V's or VirtualBox's): a veth pair
    with both ends here. The phone must never be handed its address."""
    run = lambda *a: subprocess.run(list(a), check=True)
    run("ip", "link", "add", "veth-virtual", "type", "veth", "peer", "name", "veth-loop")
    run("ip", "addr", "add", "203.0.113.100/32", "dev", "veth-virtual")
    for dev in ("veth-virtual", "veth-loop"):
        run("ip", "link", "set", dev, "up")


def start_pulse():
    pulse = harness.PulseServer()
    pulse.start()
    pulse.add_null_sink("speakers", "Speakers", rate=48000)
    # The cable runs at 44100 Hz: the receiver must still get its 48 kHz stream.
    pulse.add_null_sink("cable", CABLE, rate=44100)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        pulse.env.pop(name, None)
    return pulse


class Wine:
    def __init__(self, root, pulse_env):
        self.env = dict(pulse_env, WINEPREFIX=os.path.join(root, "prefix"), WINEDEBUG="-all",
                        LANG="C.UTF-8", LC_ALL="C.UTF-8",
                        # No WLAN service at all, except where a test brings its own.
                        WINEDLLOVERRIDES="mscoree,mshtml,wlanapi=")
        started = time.time()
        subprocess.run([WINE, "wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=True)
        # One persistent wineserver for the whole suite keeps each start short.
        self.server = subprocess.Popen([self.wineserver(), "-f", "-p"], env=self.env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print(f"note: Wine prefix ready in {time.time() - started:.1f} s", flush=True)

    @staticmethod
    def wineserver():
        for candidate in ("/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver"):
            if os.path.exists(candidate):
                return candidate
        return "wineserver"

    def run(self, args, timeout=120, extra_env=None, stdin=subprocess.DEVNULL):
        env = dict(self.env, **(extra_env or {}))
        result = subprocess.run([WINE, *args], env=env, capture_output=True, timeout=timeout,
                                stdin=stdin)
        # Status 1 with no output at all is Wine failing to start the process (seen once in
        # many runs): the receiver writes a line on every path that ends in 1.
        if result.returncode == 1 and not (result.stdout or result.stderr):
            print(f"note: Wine did not start {args!r}; trying once more", flush=True)
            result = subprocess.run([WINE, *args], env=env, capture_output=True,
                                    timeout=timeout, stdin=stdin)
        return result

    def popen(self, args, out, err, extra_env=None):
        return subprocess.Popen([WINE, *args], env=dict(self.env, **(extra_env or {})),
                                stdout=out, stderr=err, stdin=subprocess.DEVNULL)

    def stop(self):
        subprocess.run([self.wineserver(), "-k"], env=self.env, check=False)
        try:
            self.server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.server.kill()


# ---------------------------------------------------------------------------------------------
# Checks


def unit_tests(wine):
    for name in ("windows_platform_tests", "wasapi_host_tests"):
        result = wine.run([os.path.join(TESTS_DIR, name + ".exe"), "--gtest_color=no"],
                          timeout=300)
        out = result.stdout.decode(errors="replace")
        check(f"{name} pass under Wine", result.returncode == 0, out[-3000:])
        check(f"{name} ran without skipping", "[  SKIPPED ]" not in out,
              "skipped tests: the cable endpoint was not seen")


def cli_texts(wine):
    result = wine.run([EXE, "--help"])
    check("--help writes the exact help text", result.stdout == HELP.encode(),
          result.stdout.decode(errors="replace"))
    check("--help status 0, nothing on stderr", result.returncode == 0 and result.stderr == b"",
          f"{result.returncode} {result.stderr!r}")

    # On an interactive console the text goes through WriteConsoleW; Wine's console shows it on
    # a pseudo-terminal (wide enough not to wrap), in UTF-8, among its own escape sequences.
    if shutil.which("script"):
        command = f"stty cols 250; {WINE} {EXE} --help"
        result = subprocess.run(["script", "-qec", command, "/dev/null"], env=wine.env,
                                capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
        shown = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", result.stdout.decode(errors="replace"))
        check("--help on a console shows every character", shown.replace("\r", "") == HELP,
              repr(shown[:300]))

    usage = [
        (["--gain", "x", "--help"], "--gain needs a number in (0, 64]  (1 = unity, try 4)\n", ""),
        (["--prefill-ms", "1000"], "--prefill-ms needs a number in [0, 1000)\n", ""),
        (["--device"], "--device needs a value\n", ""),
        (["--autostart", "ON"], "--autostart needs on|off\n", ""),
        (["--check-device"], "--check-device needs a name\n", ""),
        (["foo"], "unknown argument: foo\n\n", HELP),
        ([""], "unknown argument: \n\n", HELP),
        (["--gain=4"], "unknown argument: --gain=4\n\n", HELP),
        (["Gr\u00fc\u00dfe \u2192 \u03a3"], "unknown argument: Gr\u00fc\u00dfe \u2192 \u03a3\n\n",
         HELP),
        (['say "hi"'], 'unknown argument: say "hi"\n\n', HELP),
    ]
    for args, err, out in usage:
        result = wine.run([EXE, *args])
        ok = (result.returncode == 2 and result.stderr == err.encode()
              and result.stdout == out.encode())
        check(f"usage error {args!r}", ok,
              f"status {result.returncode}, stderr {result.stderr!r}, "
              f"stdout {result.stdout[:80]!r}")


def devices(wine):
    result = wine.run([EXE, "--list-devices"])
    lines = result.stdout.decode().splitlines()
    check("--list-devices status 0", result.returncode == 0, str(result.returncode))
    check("--list-devices header names WASAPI", lines[:1] == ["Output devices (WASAPI):"],
          str(lines))
    check("--list-devices lists the cable", f"  \u2022 {CABLE}" in lines, str(lines))
    check("--list-devices lists the speakers", "  \u2022 Speakers" in lines, str(lines))
    marked = [line for line in lines if line.endswith("  (default)")]
    check("--list-devices marks one default", len(marked) == 1, str(lines))

    for query, expected, status in [
        ("cable input", "cable input: found\n", 0),
        ("DEFAULT", "DEFAULT: found\n", 0),
        ('no "such" \u03a3 device', 'no "such" \u03a3 device: not found\n', 1),
    ]:
        result = wine.run([EXE, "--check-device", query])
        check(f"--check-device {query!r}",
              result.returncode == status and result.stdout == expected.encode(),
              f"{result.returncode} {result.stdout!r}")


def read_lines(path):
    with open(path, "rb") as f:
        return f.read().decode(errors="replace").splitlines()


def wait_for(predicate, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.2)
    return predicate()


def receiver_session(wine, pulse, phone, root):
    out_path, err_path = os.path.join(root, "rx.out"), os.path.join(root, "rx.err")
    # A WLAN service with one connected interface that refuses every setting.
    wlan_log = os.path.join(root, "wlan.log")
    shutil.copy(os.path.join(TESTS_DIR, "wlanapi_standin.dll"),
                os.path.join(wine.env["WINEPREFIX"], "drive_c", "windows", "system32",
                             "wlanapi.dll"))
    wlan_env = {"WINEDLLOVERRIDES": "mscoree,mshtml=;wlanapi=n",
                "BRINDLE_WLAN_STANDIN_LOG": windows_path(wlan_log)}
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        receiver = wine.popen([EXE], out, err, wlan_env)
    try:
        started = wait_for(lambda: any(l.startswith("[") for l in read_lines(out_path)), 60)
        lines = read_lines(out_path)
        check("receiver starts and prints status lines", started,
              f"{lines} / {read_lines(err_path)}")
        expected_head = [
            "Brindle receiver \u2014 iPhone \u2192 Windows  (Ctrl-C to quit)",
            f"\u2192 rendering into \"{CABLE}\"  (48000 Hz, 2 ch)",
            "\u2192 listening on UDP 45333",
        ]
        check("start-up lines", lines[:3] == expected_head, str(lines[:3]))
        advertised = [l for l in lines if l.startswith("\u2192 advertised _brindle._udp as \"")]
        check("advertisement line", len(advertised) == 1 and lines[lines.index(advertised[0]) + 1] == "",
              f"{lines} / {read_lines(err_path)}")
        instance = advertised[0].split('"')[1] if advertised else ""

        inputs = pulse.pactl(["list", "sink-inputs"]).stdout
        check("the stream is 48000 Hz float on the 44100 Hz cable",
              "float32le 2ch 48000Hz" in inputs and "Sink: " in inputs, inputs)

        # The phone: a real-time tone from the other namespace, recorded from the cable monitor.
        recording = pulse.record("cable", rate=48000)
        sender = subprocess.run(phone.command(*phone_sender()), capture_output=True, timeout=60)
        recording.wait_seconds(recording.seconds() + 0.5)
        samples = recording.finish()
        check("the phone sent its tone", sender.returncode == 0,
              sender.stderr.decode(errors="replace"))

        # The cable resamples 48000 -> 44100 -> 48000 for the monitor: levels, not samples.
        # Dropouts are counted but not failed: on a loaded machine Wine's render thread and a
        # Python phone can both miss their deadlines; the link itself is what is checked here.
        runs = harness.signal_runs(samples, 48000)
        present = sum(b - a for a, b in runs) / 48000
        tone = harness.steady_segment(samples, 48000)
        print(f"note: tone present for {present:.2f} s in {len(runs)} run(s); "
              f"last status: {read_lines(out_path)[-1:]}", flush=True)
        check("the 4 s tone reached the cable", present > 3.0, f"{present:.2f} s")
        check("a steady stretch to measure", len(tone) > 0.5 * 48000, f"{len(tone) / 48000:.2f} s")
        if tone:
            freq = harness.frequency(tone, 48000)
            level = harness.amplitude(tone)
            check("1 kHz", abs(freq - 1000) < 2, f"{freq:.2f} Hz")
            check("level 0.5 (\u00b15%)", abs(level - 0.5) < 0.025, f"{level:.4f}")
            stray = max(harness.goertzel_power(tone[:9600], 48000, f) for f in (500, 1500, 3000))
            check("no other tone", stray < 1e-4, f"{stray:.2e}")

        # Asked once, while streaming (media-streaming mode on, background scans off); refused,
        # so there is nothing to give back, and stderr stays empty (checked below).
        check("a refusing WLAN service is asked once while streaming, and nothing else changes",
              os.path.exists(wlan_log) and read_lines(wlan_log) == ["3 1", "2 0"],
              str(os.path.exists(wlan_log) and read_lines(wlan_log)))

        status = [l for l in read_lines(out_path) if l.startswith("[streaming]")]
        check("status line shows the phone as an IPv4-mapped address",
              any(f"phone=[::ffff:{PHONE_IP}]:" in l for l in status), str(status[-2:]))

        mdns_client(phone, instance)
        second_instance(wine, root)

        result = wine.run([EXE, "--check-device", "cable"])
        check("--check-device works while the receiver runs",
              result.returncode == 0 and result.stdout == b"cable: found\n",
              f"{result.returncode} {result.stdout!r}")
        check("the first receiver still runs", receiver.poll() is None)
        check("nothing unexpected on the receiver's stderr", read_lines(err_path) == [],
              str(read_lines(err_path)))

        # Removing the endpoint under a running stream: WASAPI reports the device invalidated,
        # once; the stream ends and the rest of the program goes on.
        modules = pulse.pactl(["list", "short", "modules"]).stdout.splitlines()
        cable_module = [l.split()[0] for l in modules if "sink_name=cable" in l]
        pulse.pactl(["unload-module", cable_module[0]])
        reported = wait_for(lambda: read_lines(err_path) != [], 20)
        errors = read_lines(err_path)
        check("a vanished endpoint is reported as one stream error",
              reported and len(errors) == 1 and errors[0].startswith("audio stream error: ")
              and errors[0].endswith(" (os error 0x88890004)"), str(errors))
        printed = len(read_lines(out_path))
        check("after the stream error the status line goes on",
              wait_for(lambda: len(read_lines(out_path)) > printed + 1, 10)
              and receiver.poll() is None)
        time.sleep(1.0)
        check("the stream error is reported only once", len(read_lines(err_path)) == 1,
              str(read_lines(err_path)))
        check("no stream is left on the sound server",
              pulse.pactl(["list", "short", "sink-inputs"]).stdout.strip() == "")
        cable_comes_back(wine, pulse, phone, out_path, err_path)
    finally:
        receiver.kill()
        receiver.wait()


def cable_comes_back(wine, pulse, phone, out_path, err_path):
    """The cable, unloaded under the running stream above, is loaded again under the same sink
    name: the receiver, retrying every 2 s with a fresh device list, renders into it again."""
    seen = wine.run([EXE, "--check-device", "cable"]).stdout.decode(errors="replace").strip()
    print(f"note: while the cable sink is gone a new process sees: {seen}", flush=True)
    rendering = f"\u2192 rendering into \"{CABLE}\"  (48000 Hz, 2 ch)"
    pulse.add_null_sink("cable", CABLE, rate=44100)
    loaded = time.time()
    back = wait_for(lambda: read_lines(out_path).count(rendering) >= 2, 15)
    print(f"note: rendering again {time.time() - loaded:.1f} s after the sink was loaded",
          flush=True)
    check("the reloaded cable gets the rendering line again", back,
          f"{read_lines(out_path)[-3:]} / {read_lines(err_path)}")
    recording = pulse.record("cable", rate=48000)
    subprocess.run(phone.command(*phone_sender()), capture_output=True, timeout=60)
    recording.wait_seconds(recording.seconds() + 0.5)
    present = sum(b - a for a, b in harness.signal_runs(recording.finish(), 48000)) / 48000
    check("the tone reaches the reloaded cable", present > 3.0, f"{present:.2f} s")
    check("still one stream error", len(read_lines(err_path)) == 1, str(read_lines(err_path)))


STAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  ")


def background_log(wine, pulse):
    """A --background receiver logs what its hidden console shows, minus the status lines."""
    pattern = os.path.join(wine.env["WINEPREFIX"], "drive_c", "users", "*", "AppData", "Local",
                           "Brindle", "receiver.log")
    for old in glob.glob(pattern):
        os.remove(old)
    raw = lambda: read_lines(glob.glob(pattern)[0]) if glob.glob(pattern) else []
    logged = lambda: [STAMP.sub("", l) for l in raw()]
    rendering = f"\u2192 rendering into \"{CABLE}\"  (48000 Hz, 2 ch)"
    started_at = time.time()
    with open(os.devnull, "wb") as null:
        first = wine.popen([EXE, "--background", "--no-mdns"], null, null)
    try:
        started = wait_for(lambda: "\u2192 listening on UDP 45333" in logged(), 60)
        check("--background: the log gets the start-up lines",
              started and logged()[:3] == ["Brindle receiver \u2014 iPhone \u2192 Windows  "
                                           "(Ctrl-C to quit)", rendering,
                                           "\u2192 listening on UDP 45333"], str(raw()))
        modules = pulse.pactl(["list", "short", "modules"]).stdout.splitlines()
        pulse.pactl(["unload-module", [l.split()[0] for l in modules if "sink_name=cable" in l][0]])
        check("--background: the log gets the stream error",
              wait_for(lambda: any(l.startswith("audio stream error: ") for l in logged()), 20),
              str(raw()))
        pulse.add_null_sink("cable", CABLE, rate=44100)
        check("--background: the log gets the rendering line again",
              wait_for(lambda: logged().count(rendering) == 2, 15), str(raw()))
        time.sleep(max(0.0, started_at + 6 - time.time()))  # status lines were due by now
        lines = raw()
        check("--background: every logged line has its time and none is a status line",
              all(STAMP.match(l) and not STAMP.sub("", l).startswith("[") for l in lines),
              str(lines))
    finally:
        for pid in windows_checks.wine_pids(wine, "brindle-receiver.exe"):
            os.kill(pid, signal.SIGKILL)
        first.kill()
        first.wait()
        wait_for(lambda: windows_checks.wine_pids(wine, "brindle-receiver.exe") == [], 20)


def mdns_client(phone, instance):
    script = f"""
import socket, sys
from zeroconf import Zeroconf, ServiceBrowser
zc = Zeroconf(interfaces=["{PHONE_IP}"])
found = []
class Listener:
    def add_service(self, zc, type_, name): found.append(name)
    def update_service(self, *a): pass
    def remove_service(self, *a): pass
ServiceBrowser(zc, "_brindle._udp.local.", Listener())
import time
deadline = time.time() + 15
while not found and time.time() < deadline: time.sleep(0.1)
if not found: print("none"); sys.exit(1)
info = zc.get_service_info("_brindle._udp.local.", found[0], timeout=5000)
print(found[0]); print(info.port if info else 0)
print(",".join(socket.inet_ntoa(a) for a in (info.addresses if info else [])))
zc.close()
"""
    result = subprocess.run(phone.command("/usr/bin/python3", "-c", script), capture_output=True,
                            text=True, timeout=60)
    lines = result.stdout.splitlines()
    check("zeroconf finds the service from the phone",
          result.returncode == 0 and lines[:1] == [f"{instance}._brindle._udp.local."],
          result.stdout + result.stderr[-500:])
    check("zeroconf resolves port 45333 and the PC's address",
          lines[1:3] == ["45333", PC_IP], str(lines))


def second_instance(wine, root):
    for args in ([], ["--background"]):
        started = time.time()
        result = wine.run([EXE, *args], timeout=60)
        check(f"second instance {args} refused with status 1", result.returncode == 1,
              str(result.returncode))
        check(f"second instance {args} writes only the line",
              result.stderr == ALREADY.encode() and result.stdout == b"",
              f"{result.stderr!r} {result.stdout!r}")
        print(f"note: the refused start took {time.time() - started:.1f} s", flush=True)


def reg_query(wine):
    result = wine.run(["reg", "query", RUN_KEY, "/v", "Brindle"])
    for line in result.stdout.decode(errors="replace").splitlines():
        parts = line.strip().split("    ")
        if len(parts) >= 3 and parts[0] == "Brindle":
            return parts[1], "    ".join(parts[2:])
    return None


def autostart_with_wine_reg(wine):
    exe = windows_path(EXE)
    result = wine.run([EXE, "--gain", "4", "--autostart", "on"])
    data = f'"{exe}" --background --gain 4'
    check("--gain 4 --autostart on reports the stored command",
          result.returncode == 0 and result.stdout.decode() ==
          f"autostart on \u2014 will run at login as: {data}\n",
          f"{result.returncode} {result.stdout!r} {result.stderr!r}")
    check("reg query shows the value", reg_query(wine) == ("REG_SZ", data), str(reg_query(wine)))

    result = wine.run([EXE, "--no-mdns", "--device", 'My "odd" dev', "--prefill-ms", "12.5",
                       "--autostart", "on"])
    stored = reg_query(wine)
    # The data item holds spaces and double quotes: reg must store exactly what was printed.
    printed = result.stdout.decode().split("will run at login as: ", 1)[-1].rstrip("\n")
    check("registering again replaces the value with the data intact",
          result.returncode == 0 and stored == ("REG_SZ", printed)
          and printed.startswith(f'"{exe}" --background --device ') and "odd" in printed
          and printed.endswith(" --prefill-ms 12.5 --no-mdns"), f"{result.stdout!r} / {stored}")

    result = wine.run([EXE, "--autostart", "off"])
    check("--autostart off removes the value",
          result.returncode == 0 and result.stdout == b"autostart off\n"
          and reg_query(wine) is None, f"{result.returncode} {result.stdout!r} {reg_query(wine)}")


def main():
    enter_private_network()
    for path in (EXE, os.path.join(TESTS_DIR, "windows_platform_tests.exe")):
        if not os.path.exists(path):
            print(f"FAIL missing {path}", flush=True)
            return 1
    root = tempfile.mkdtemp(prefix="brindle-wine-")
    phone = pulse = wine = None
    started = time.time()
    try:
        phone = PhoneNamespace()
        add_unreachable_adapter()
        pulse = start_pulse()
        wine = Wine(root, pulse.env)
        windows_checks.release_resources(check, EXE, BUILD)
        # First, in the fresh prefix: later in the suite Wine was seen not to apply the DACL.
        windows_checks.refused_run_key_read(sys.modules[__name__], wine)
        unit_tests(wine)
        cli_texts(wine)
        devices(wine)
        receiver_session(wine, pulse, phone, root)
        background_log(wine, pulse)
        suite = sys.modules[__name__]
        windows_checks.login_start(suite, wine, pulse, phone)
        windows_checks.hidden_start_failure(suite, wine)
        windows_checks.dialog_on_a_display(suite, wine, root)
        autostart_with_wine_reg(wine)
        windows_checks.startup_mark_with_wine_reg(suite, wine)
        windows_checks.autostart_with_standin(suite, wine, root)
    finally:
        if wine:
            wine.stop()
        if pulse:
            pulse.stop()
        if phone:
            phone.remove()
        shutil.rmtree(root, ignore_errors=True)
    print(f"note: suite took {time.time() - started:.0f} s", flush=True)
    print(f"{len(failures)} failure(s)" if failures else "all checks passed", flush=True)
    return 1 if failures else 0


# A phone without the native build: the same tone in the same datagram layout, paced in real
# time (480 samples = 10 ms per datagram).
PYTHON_PHONE = f"""
import math, socket, struct, time
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
start = time.monotonic()
for seq in range(400):
    first = seq * 480
    samples = [round(0.5 * 32767 * math.sin(2 * math.pi * 1000 * (first + i) / 48000))
               for i in range(480)]
    sock.sendto(b"BRD1" + struct.pack("<IHH", seq, 480, 0) + struct.pack("<480h", *samples),
                ("{PC_IP}", 45333))
    time.sleep(max(0.0, start + (seq + 1) * 0.01 - time.monotonic()))
"""


def phone_sender():
    """The native brindle-send plays the phone when a native build has one (Wine's own sockets
    are made by wineserver, which sits in the PC's namespace, so the phone cannot be a Wine
    program); otherwise a Python stand-in sends the same tone."""
    for build in (os.environ.get("BRINDLE_NATIVE_BUILD_DIR", ""), os.path.join(SOURCE, "build")):
        sender = os.path.join(build, "brindle-send") if build else ""
        if sender and os.access(sender, os.X_OK):
            print(f"note: the phone is {sender}", flush=True)
            return [sender, "--freq", "1000", "--level", "0.5", "--duration", "4", PC_IP]
    print("note: the phone is the Python stand-in (no native brindle-send)", flush=True)
    return ["/usr/bin/python3", "-c", PYTHON_PHONE]


if __name__ == "__main__":
    sys.exit(main())
