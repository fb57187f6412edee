"""Checks of the Windows build that Wine alone would let pass: the release resources, the login
start, start-up failures in the background and how `reg` is found and read. Called from
wine_e2e.py, which owns the Wine prefix, the PulseAudio server and the phone namespace."""
import os
import re
import shutil
import signal
import subprocess
import time
import xml.etree.ElementTree as ET

import harness  # tests/e2e, on the path wine_e2e.py sets

WIN10_AND_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


def cmake_version(build):
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1].strip()
    return None


def release_resources(check, exe, build):
    """The .exe a user downloads: stripped, with its manifest and version information."""
    import pefile  # Debian python3-pefile

    pe = pefile.PE(exe)
    check("release .exe carries no symbols or debug sections",
          pe.FILE_HEADER.PointerToSymbolTable == 0
          and not any(s.Name.rstrip(b"\0").startswith(b".debug") for s in pe.sections),
          str([s.Name for s in pe.sections]))
    print(f"note: brindle-receiver.exe is {os.path.getsize(exe)} bytes", flush=True)

    manifests = [e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == 24]
    entries = manifests[0].directory.entries if manifests else []
    check("exactly one application manifest, resource 1",
          len(manifests) == 1 and [e.id for e in entries] == [1], str(entries))
    text = ""
    if entries:
        data = entries[0].directory.entries[0].data.struct
        text = pe.get_data(data.OffsetToData, data.Size).decode("utf-8")
    try:
        root = ET.fromstring(text.encode())
    except ET.ParseError as error:
        root = None
        check("the manifest is well-formed XML", False, str(error))
    if root is not None:
        found = {el.tag.split("}")[1]: el for el in root.iter()}
        level = found.get("requestedExecutionLevel")
        check("manifest: asInvoker", level is not None and level.get("level") == "asInvoker")
        oses = [el.get("Id") for el in root.iter() if el.tag.endswith("}supportedOS")]
        check("manifest: Windows 10/11 supportedOS", oses == [WIN10_AND_11], str(oses))
        code_page = found.get("activeCodePage")
        check("manifest: UTF-8 active code page",
              code_page is not None and code_page.text == "UTF-8")
        deps = [el.get("name") + " " + el.get("version") for el in root.iter()
                if el.tag.endswith("}assemblyIdentity") and el.get("publicKeyToken")]
        check("manifest: Common Controls 6",
              deps == ["Microsoft.Windows.Common-Controls 6.0.0.0"], str(deps))

    version = cmake_version(build)
    strings = {}
    for info in getattr(pe, "FileInfo", [[]])[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    numbers = [int(n) for n in (version or "0.0.0").split(".")] + [0]
    check("version resource: file and product version from CMake",
          version is not None and strings.get("FileVersion") == version
          and strings.get("ProductVersion") == version and fixed is not None
          and (fixed.FileVersionMS, fixed.FileVersionLS)
          == ((numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3]),
          f"{version} {strings}")
    check("version resource: product name, description, copyright",
          strings.get("ProductName") == "Brindle receiver"
          and strings.get("FileDescription", "") != ""
          and re.match(r"Copyright \u00a9 \d{4} ", strings.get("LegalCopyright", "")) is not None,
          str(strings))


# ---------------------------------------------------------------------------------------------
# Everything below gets `suite`, the wine_e2e module: its check(), helpers and constants.


def wine_pids(wine, program):
    """Unix process ids of this suite's Wine prefix running `program` (Wine names its processes
    by their Windows path); other suites on the machine have prefixes of their own."""
    marker = ("WINEPREFIX=" + wine.env["WINEPREFIX"]).encode()
    pids = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv0 = f.read().split(b"\0")[0].lower()
            with open(f"/proc/{entry}/environ", "rb") as f:
                ours = marker in f.read().split(b"\0")
        except OSError:
            continue
        if ours and re.split(rb"[\\/]", argv0)[-1] == program.encode():
            pids.append(int(entry))
    return pids


def login_start(suite, wine, pulse, phone):
    """--background from a console of its own (a pseudo-terminal: Wine gives the process a console
    that only it uses, as a login start does): the receiver goes on in a windowless copy that
    holds the guard and plays the phone, and the first process ends."""
    check = suite.check
    if "sink_name=cable" not in pulse.pactl(["list", "short", "modules"]).stdout:
        pulse.add_null_sink("cable", suite.CABLE, rate=44100)  # the session before removed it
    check("no receiver runs before the login start",
          suite.wait_for(lambda: wine_pids(wine, "brindle-receiver.exe") == [], 20), str(wine_pids(wine, "brindle-receiver.exe")))
    started = time.time()
    result = subprocess.run(["script", "-qec", f"{suite.WINE} {suite.EXE} --background",
                             "/dev/null"], env=wine.env, capture_output=True, timeout=120,
                            stdin=subprocess.DEVNULL)
    print(f"note: the login start's first process ended after {time.time() - started:.1f} s",
          flush=True)
    check("login start: the first process ends with status 0", result.returncode == 0,
          f"{result.returncode} {result.stdout[-300:]!r}")
    running = suite.wait_for(lambda: len(wine_pids(wine, "brindle-receiver.exe")) == 1
                             and "Sink: " in pulse.pactl(["list", "sink-inputs"]).stdout, 60)
    pids = wine_pids(wine, "brindle-receiver.exe")
    try:
        check("login start: exactly one receiver runs on, rendering", running and len(pids) == 1,
              f"{pids}")
        second = wine.run([suite.EXE, "--no-mdns"], timeout=60)
        check("login start: a second start is refused as already running",
              second.returncode == 1 and second.stderr == suite.ALREADY.encode(),
              f"{second.returncode} {second.stderr!r}")
        check("login start: still exactly one receiver", wine_pids(wine, "brindle-receiver.exe") == pids,
              str(wine_pids(wine, "brindle-receiver.exe")))

        recording = pulse.record("cable", rate=48000)
        sender = subprocess.run(phone.command(*suite.phone_sender()), capture_output=True,
                                timeout=60)
        recording.wait_seconds(recording.seconds() + 0.5)
        samples = recording.finish()
        tone = harness.steady_segment(samples, 48000)
        freq = harness.frequency(tone, 48000) if tone else 0.0
        check("login start: the windowless receiver plays the phone's 1 kHz tone",
              sender.returncode == 0 and len(tone) > 0.5 * 48000 and abs(freq - 1000) < 2,
              f"{len(tone) / 48000:.2f} s at {freq:.2f} Hz")
    finally:
        for pid in pids:
            os.kill(pid, signal.SIGKILL)
        suite.wait_for(lambda: wine_pids(wine, "brindle-receiver.exe") == [], 20)


MARK_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run"


def startup_mark_with_wine_reg(suite, wine):
    """Wine's own reg: a disabled StartupApproved mark goes with --autostart on and off, and
    --autostart off without a value is still success."""
    check = suite.check
    disabled = "030000000000000000000000"
    wine.run(["reg", "add", MARK_KEY, "/v", "Brindle", "/t", "REG_BINARY", "/d", disabled, "/f"])
    marked = lambda: wine.run(["reg", "query", MARK_KEY, "/v", "Brindle"]).returncode == 0
    check("a disabled mark is in place", marked())
    result = wine.run([suite.EXE, "--autostart", "on"])
    check("--autostart on removes the disabled mark",
          result.returncode == 0 and not marked() and suite.reg_query(wine) is not None,
          f"{result.returncode} {result.stderr!r}")
    wine.run(["reg", "add", MARK_KEY, "/v", "Brindle", "/t", "REG_BINARY", "/d", disabled, "/f"])
    result = wine.run([suite.EXE, "--autostart", "off"])
    check("--autostart off removes value and mark",
          result.returncode == 0 and not marked() and suite.reg_query(wine) is None,
          f"{result.returncode} {result.stderr!r}")
    result = wine.run([suite.EXE, "--autostart", "off"])
    check("--autostart off with nothing registered: status 0",
          result.returncode == 0 and result.stdout == b"autostart off\n" and result.stderr == b"",
          f"{result.returncode} {result.stdout!r} {result.stderr!r}")


def refused_run_key_read(suite, wine):
    """--autostart off reads the Run key itself: a read the key's DACL refuses (Wine enforces it)
    is an error, not "nothing registered", and the value stays."""
    helper = os.path.join(suite.TESTS_DIR, "wine_key_access.exe")
    wine.run(["reg", "add", suite.RUN_KEY, "/v", "Brindle", "/t", "REG_SZ", "/d", "x", "/f"])
    stored = suite.reg_query(wine)
    denied = wine.run([helper, "deny"]).returncode == 0
    try:
        unreadable = suite.reg_query(wine) is None  # Wine's own reg is refused too
        result = wine.run([suite.EXE, "--autostart", "off"])
    finally:
        wine.run([helper, "allow"])
    suite.check("--autostart off with the Run key unreadable: \"autostart: cannot read …\", status 1",
                result.returncode == 1 and result.stdout == b"" and result.stderr.startswith(
                    f"autostart: cannot read {suite.RUN_KEY}: ".encode())
                and suite.reg_query(wine) == ("REG_SZ", "x"),
                f"stored {stored}, denied {denied}, unreadable {unreadable}: {result.returncode} "
                f"{result.stdout!r} {result.stderr!r}, after: {suite.reg_query(wine)}")
    wine.run(["reg", "delete", suite.RUN_KEY, "/v", "Brindle", "/f"])


def autostart_with_standin(suite, wine, root):
    """The stand-in reg in the prefix's system folder, a planted one beside a copy of the
    receiver: only the system one may run; its answers drive the paths Wine's reg cannot show
    (localized and OEM-coded messages, silence, a hang)."""
    check = suite.check
    system32 = os.path.join(wine.env["WINEPREFIX"], "drive_c", "windows", "system32")
    standin = os.path.join(suite.TESTS_DIR, "wine_reg_standin.exe")
    folder = os.path.join(root, "downloads")
    os.makedirs(folder)
    exe = os.path.join(folder, "brindle-receiver.exe")
    shutil.copy(suite.EXE, exe)
    shutil.copy(standin, os.path.join(folder, "reg.exe"))  # planted: must never run
    log = os.path.join(root, "reg-args.txt")
    system_reg = os.path.join(system32, "reg.exe")
    shutil.copy(system_reg, system_reg + ".wine")
    shutil.copy(standin, system_reg)
    try:
        def run(modes, *args):
            if os.path.exists(log):
                os.remove(log)
            env = {"BRINDLE_REG_STANDIN": modes, "BRINDLE_REG_STANDIN_LOG": log,
                   "WINEDLLOVERRIDES": wine.env.get("WINEDLLOVERRIDES", "") + ";reg.exe=n"}
            started = time.time()
            result = wine.run([exe, *args], extra_env=env, timeout=120)
            calls, ran_from = [], set()
            if os.path.exists(log):
                for line in open(log, encoding="utf-8").read().split("\n")[:-1]:
                    if line.startswith("ran: "):
                        ran_from.add(line[5:].lower())
                        calls.append([])
                    else:
                        calls[-1].append(line)
            return result, calls, ran_from, time.time() - started

        # Whether a value exists is read from the registry itself (here: Wine's, where the stand-in
        # writes nothing), so reg is only asked to add and delete.
        result, calls, ran_from, _ = run("query=absent", "--gain", "0.1", "--autostart", "on")
        data = result.stdout.decode().split("will run at login as: ", 1)[-1].rstrip("\n")
        check("reg runs only from the system folder, never the planted one beside the program",
              ran_from == {"c:\\windows\\system32\\reg.exe"}, str(ran_from))
        check("on: add, and no mark in the registry to drop",
              result.returncode == 0 and calls == [
                  ["add", suite.RUN_KEY, "/v", "Brindle", "/t", "REG_SZ", "/d", data, "/f"]]
              and data == f'"{suite.windows_path(exe)}" --background --gain 0.1',
              f"{result.returncode} {result.stderr!r} {calls}")

        result, calls, _, _ = run("", "--autostart", "off")
        check("off: a value the registry does not hold is nothing to remove",
              result.returncode == 0 and result.stdout == b"autostart off\n"
              and result.stderr == b"" and calls == [],
              f"{result.returncode} {result.stdout!r} {result.stderr!r} {calls}")

        # Wine's own reg (the stand-in runs only with the override) puts a value there to delete.
        wine.run(["reg", "add", suite.RUN_KEY, "/v", "Brindle", "/t", "REG_SZ", "/d", "x", "/f"])

        cases = [
            ("delete=oem-error", "off",
             "autostart: FEHLER: Zugriff verweigert \u00e4 ung\u00fcltig.\n"),
            ("add=silent", "on", "autostart: reg add ended with exit status 1\n"),
            ("add=hang", "on", "autostart: reg add did not finish within 10 s and was stopped\n"),
        ]
        for modes, action, expected in cases:
            result, calls, _, took = run(modes, "--autostart", action)
            check(f"{action} with reg {modes}: \"autostart: \u2026\", status 1",
                  result.returncode == 1 and result.stderr == expected.encode()
                  and result.stdout == b"", f"{result.returncode} {result.stderr!r} {took:.1f} s")
        check("the hung reg was killed", wine_pids(wine, "reg.exe") == [], str(wine_pids(wine, "reg.exe")))
    finally:
        shutil.move(system_reg + ".wine", system_reg)
        wine.run(["reg", "delete", suite.RUN_KEY, "/v", "Brindle", "/f"])


def hidden_start_failure(suite, wine):
    """A start-up failure with --background also asks for the warning dialog. Wine without a
    display cannot show it and returns at once; its dialog trace channel shows the message box
    template being built ("Using message box font"), which is how the suite sees the box asked
    for here; dialog_on_a_display reads the box itself. A relay trace of MessageBoxW shows its
    style: in front (MB_SETFOREGROUND | MB_TOPMOST), which Wine 8 itself does not act on."""
    check = suite.check
    wine.run(["reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/d",
              "user32.MessageBoxW", "/f"])
    debug = {"WINEDEBUG": "-all,trace+dialog,+relay"}
    for args, boxed in (([], False), (["--background"], True)):
        result = wine.run([suite.EXE, *args, "--no-mdns", "--device", "no such endpoint"],
                          extra_env=debug, timeout=60)
        err = result.stderr.decode(errors="replace")
        own = [l for l in err.splitlines() if not re.match(r"^[0-9a-f]{4}:", l)
               and not l.startswith("ALSA lib")]
        asked = "Using message box font" in err
        check(f"audio failure {args}: status 1 and the audio message",
              result.returncode == 1 and len(own) >= 2 and own[0] == ""
              and own[1].startswith("audio: "),
              f"{result.returncode} {own[:3]}")
        check(f"audio failure {args}: warning dialog {'asked for' if boxed else 'not asked for'}",
              asked == boxed, err[-500:])
        if boxed:
            # MB_OK | MB_ICONWARNING | MB_SETFOREGROUND | MB_TOPMOST
            calls = [l for l in err.splitlines() if "Call user32.MessageBoxW(" in l]
            check("audio failure in the background: the dialog comes to the front",
                  len(calls) == 1 and ",00050030) ret=" in calls[0],
                  str(calls))
    wine.run(["reg", "delete", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/f"])


def dialog_on_a_display(suite, wine, root):
    """With a display (Xvfb) the warning dialog of a hidden start-up failure really appears: a
    helper on the same display reads its caption, icon, text and button, then presses OK. It runs
    in a Wine prefix of its own: the suite's desktop has already started without a display."""
    check = suite.check
    if not shutil.which("Xvfb"):
        print("note: no Xvfb, the dialog on a display is not checked", flush=True)
        return
    # Xvfb picks a free display number itself and reports it once it accepts clients; -noreset,
    # or it writes the number again when its last client leaves and dies on the closed pipe.
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-noreset", "-nolisten", "tcp",
                             "-screen",
                             "0", "1024x768x24"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    receiver = env = None
    try:
        with os.fdopen(read_end, "rb") as report:
            number = report.readline().strip().decode()
        if not number.isdigit():
            check("Xvfb starts", False, repr(number))
            return
        display = f":{number}"
        env = dict(wine.env, DISPLAY=display, WINEPREFIX=os.path.join(root, "prefix-display"))
        subprocess.run([suite.WINE, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=True)
        receiver = subprocess.Popen([suite.WINE, suite.EXE, "--background", "--no-mdns",
                                     "--device", "no such endpoint"], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                    stdin=subprocess.DEVNULL)
        reader = subprocess.run([suite.WINE, os.path.join(suite.TESTS_DIR,
                                                          "wine_dialog_reader.exe"), "90"],
                                env=env, capture_output=True, timeout=150,
                                stdin=subprocess.DEVNULL)
        err = receiver.communicate(timeout=60)[1].decode(errors="replace")
        own = [l for l in err.splitlines() if not l.startswith("ALSA lib")
               and not re.match(r"^[0-9a-f]{4}:", l)]
        while own and own[0] == "":
            own.pop(0)  # the message's leading empty line is not part of the dialog's text
        message = "\\n".join(own)
        shown = reader.stdout.decode(errors="replace").splitlines()
        check("hidden start-up failure: the dialog shows caption, warning icon, message and OK",
              reader.returncode == 0 and shown[:1] == ["Brindle Receiver"] and "icon" in shown
              and message.startswith("audio: ") and message in shown and "OK" in shown,
              f"{shown} / {message!r}")
        check("hidden start-up failure: status 1 once the dialog is closed",
              receiver.returncode == 1, str(receiver.returncode))
        tray_window(suite, env)
    finally:
        if receiver and receiver.poll() is None:
            receiver.kill()
            receiver.wait()
        if env:
            subprocess.run([wine.wineserver(), "-k"], env=env, check=False)
        xvfb.terminate()  # lets it remove its socket and lock file
        try:
            xvfb.wait(timeout=20)
        except subprocess.TimeoutExpired:
            xvfb.kill()
            xvfb.wait()


def tray_window(suite, env):
    """A background receiver on a display: its hidden "BrindleReceiver" window exists, WM_CLOSE to
    it (what Quit and the installer do) ends the receiver with status 0, also after a
    "TaskbarCreated" and a settings change, and the guard goes with it, so a new start runs.
    Wine draws no notification area here: the icon, its menu, its balloons and what it asks the
    shell rest on the unit-tested texts and decisions."""
    check = suite.check
    helper = os.path.join(suite.TESTS_DIR, "wine_tray_window.exe")
    args = [suite.WINE, suite.EXE, "--background", "--no-mdns", "--device", "default"]
    for attempt in ("first", "second"):
        receiver = subprocess.Popen(args, env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        try:
            found = subprocess.run([suite.WINE, helper, "find", "60"], env=env,
                                   capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
            check(f"background start ({attempt}): the BrindleReceiver window exists, hidden",
                  found.returncode == 0 and found.stdout == b"hidden\n",
                  f"{found.returncode} {found.stdout!r} {receiver.poll()}")
            if found.returncode != 0:
                return
            time.sleep(3)  # past the start-up and a first status line
            # The second one first lives through Explorer making its notification area again.
            how = "close" if attempt == "first" else "restart"
            closed = subprocess.run([suite.WINE, helper, how, "10"], env=env,
                                    capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
            try:
                out, err = receiver.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                out, err = b"", b"still running 30 s after WM_CLOSE"
            lines = out.decode(errors="replace").splitlines()
            check(f"background start ({attempt}): WM_CLOSE ends the receiver with status 0",
                  closed.returncode == 0 and receiver.returncode == 0
                  and any(l.startswith("[") for l in lines),
                  f"{closed.returncode} {receiver.returncode} {lines[-3:]} "
                  f"{err.decode(errors='replace')[-300:]!r}")
        finally:
            if receiver.poll() is None:
                receiver.kill()
                receiver.wait()
