"""Checks of the Windows build that Wine alone would let pass: the release resources, the login
start, start-up failures in the background and how `reg` is found and read. Called from
wine_e2e.py, which owns the Wine prefix, the PulseAudio server and the phone namespace."""
import os
import re
import xml.etree.ElementTree as ET

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


def receiver_pids():
    """Unix processes of running brindle-receiver.exe copies (Wine names them by their Windows
    path)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv0 = f.read().split(b"\0")[0].decode(errors="replace")
        except OSError:
            continue
        if argv0.lower().endswith("brindle-receiver.exe"):
            pids.append(int(entry))
    return pids


def login_start(suite, wine, pulse, phone):
    """--background from a console of its own (a pseudo-terminal: Wine gives the process a console
    that only it uses, as a login start does): the receiver goes on in a windowless copy that
    holds the guard and plays the phone, and the first process ends."""
    check = suite.check
    before = receiver_pids()
    check("no receiver runs before the login start", before == [], str(before))
    started = time.time()
    result = subprocess.run(["script", "-qec", f"{suite.WINE} {suite.EXE} --background",
                             "/dev/null"], env=wine.env, capture_output=True, timeout=120,
                            stdin=subprocess.DEVNULL)
    print(f"note: the login start's first process ended after {time.time() - started:.1f} s",
          flush=True)
    check("login start: the first process ends with status 0", result.returncode == 0,
          f"{result.returncode} {result.stdout[-300:]!r}")
    running = suite.wait_for(lambda: len(receiver_pids()) == 1
                             and "Sink: " in pulse.pactl(["list", "sink-inputs"]).stdout, 60)
    pids = receiver_pids()
    try:
        check("login start: exactly one receiver runs on, rendering", running and len(pids) == 1,
              f"{pids}")
        second = wine.run([suite.EXE, "--no-mdns"], timeout=60)
        check("login start: a second start is refused as already running",
              second.returncode == 1 and second.stderr == suite.ALREADY.encode(),
              f"{second.returncode} {second.stderr!r}")
        check("login start: still exactly one receiver", receiver_pids() == pids,
              str(receiver_pids()))

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
        suite.wait_for(lambda: receiver_pids() == [], 20)
