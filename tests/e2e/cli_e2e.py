#!/usr/bin/python3
"""The command line through the real executable: help text, usage errors and exit statuses.

Every case spawns brindle-receiver and compares standard output, standard error and the exit
status byte for byte. A private, absent sound server is configured so that nothing here can
reach real audio, and every case that would start the receiver is avoided.
"""
import os
import subprocess
import sys
import tempfile

BUILD = os.environ.get("BRINDLE_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
EXE = os.path.join(BUILD, "brindle-receiver")

HELP = (
    "Brindle receiver \u2014 iPhone \u2192 Windows wireless mic\n"
    "\n"
    "USAGE:\n"
    "  brindle-receiver [OPTIONS]\n"
    "\n"
    "OPTIONS:\n"
    "  -d, --device <NAME>   Output endpoint to render into (substring match).\n"
    '                        Default: "CABLE Input (VB-Audio Virtual Cable)" (VB-CABLE, W0).\n'
    '                        Use "Brindle" for the W1 branded driver, or "default"\n'
    "                        for the system default output (handy for the tone test).\n"
    "  --prefill-ms <MS>     Jitter-buffer prefill (default 40). Raise for\n"
    "                        bursty senders / congested LANs.\n"
    "  -g, --gain <X>        Output gain, 1=unity (default). Try 4 if the mic\n"
    "                        is too quiet; clamps at full scale so it won't wrap.\n"
    "  --list-devices        List output endpoints cpal can see, then exit.\n"
    "  --check-device <NAME> Exit 0 if a matching output endpoint exists,\n"
    "                        else 1 (used by the installer to detect VB-CABLE).\n"
    "  --no-mdns             Do not advertise over mDNS (UDP still works).\n"
    "  --autostart <on|off>  Register/unregister run-at-login (per-user, no\n"
    "                        admin). Captures the other flags given with it,\n"
    "                        e.g. `--gain 4 --autostart on`. Then exits.\n"
    "  --background          Hide the console window (used by autostart).\n"
    "  -h, --help            Show this help.\n"
).encode("utf-8")

GAIN = b"--gain needs a number in (0, 64]  (1 = unity, try 4)\n"
PREFILL = b"--prefill-ms needs a number in [0, 1000)\n"
AUTOSTART = b"--autostart needs on|off\n"

failures = []


def run(args, env):
    proc = subprocess.run([EXE] + args, capture_output=True, env=env, timeout=20,
                          stdin=subprocess.DEVNULL)
    return proc.returncode, proc.stdout, proc.stderr


def check(name, args, env, status, out=b"", err=b""):
    got = run(args, env)
    want = (status, out, err)
    if got == want:
        print(f"ok   {name}")
    else:
        print(f"FAIL {name}: args={args!r}\n  want={want!r}\n  got ={got!r}")
        failures.append(name)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ)
        # No sound server can answer here, and no autostart entry can touch the real home.
        env.update(PULSE_SERVER=f"unix:{tmp}/no-such-socket", XDG_RUNTIME_DIR=tmp, HOME=tmp,
                   XDG_CONFIG_HOME=os.path.join(tmp, "config"))

        check("help long form", ["--help"], env, 0, HELP)
        check("help short form", ["-h"], env, 0, HELP)
        check("help ignores what follows", ["--help", "--gain", "x"], env, 0, HELP)
        check("help after valid options", ["--no-mdns", "-g", "4", "-h"], env, 0, HELP)

        unknown = [
            ("mixed case", ["--Gain", "4"], b"--Gain"),
            ("joined value", ["--gain=4"], b"--gain=4"),
            ("grouped short options", ["-dg"], b"-dg"),
            ("bare word", ["foo"], b"foo"),
            ("end-of-options marker", ["--"], b"--"),
            ("empty argument", [""], b""),
            ("value after option-like device", ["--device", "--gain", "4"], b"4"),
            ("non-ASCII", ["--g\u00e4in"], "--g\u00e4in".encode()),
        ]
        for name, args, arg in unknown:
            check(f"unknown argument: {name}", args, env, 2, HELP, b"unknown argument: " + arg + b"\n\n")

        rejected_gain = ["64.5", "0", "-1", "nan", "inf", "4x", "1e-50", " 4", "1,5", "0x10", "-0"]
        for value in rejected_gain:
            check(f"gain {value!r} rejected", ["--gain", value], env, 2, err=GAIN)
        check("gain without value", ["-g"], env, 2, err=GAIN)
        for value in ["1000", "-1", "NaN", "1e400", "4 "]:
            check(f"prefill {value!r} rejected", ["--prefill-ms", value], env, 2, err=PREFILL)
        check("prefill without value", ["--prefill-ms"], env, 2, err=PREFILL)
        check("device without value", ["--device"], env, 2, err=b"--device needs a value\n")
        check("-d without value", ["-d"], env, 2, err=b"--device needs a value\n")
        check("autostart case matters", ["--autostart", "ON"], env, 2, err=AUTOSTART)
        check("autostart without value", ["--autostart"], env, 2, err=AUTOSTART)
        check("check-device without name", ["--check-device"], env, 2,
              err=b"--check-device needs a name\n")
        check("usage error before an action wins", ["--gain", "x", "--help"], env, 2, err=GAIN)
        check("accepted values then a usage error",
              ["--gain", "64", "--prefill-ms", "999.5", "--prefill-ms", "-0", "--bogus"], env, 2,
              HELP, b"unknown argument: --bogus\n\n")
        check("action stops before a later usage error", ["-h", "--gain"], env, 0, HELP)

        # Without a sound server no device matches: "not found" and status 1, nothing on stderr.
        check("check-device not found", ["--check-device", "cable"], env, 1, b"cable: not found\n")
        check("check-device ignores later arguments", ["--check-device", "x y", "--bogus"], env, 1,
              b"x y: not found\n")
        # The listing always ends with status 0, also when enumeration fails.
        code, out, err = run(["--autostart", "on", "--list-devices"], env)
        listing_ok = (code == 0 and err == b"" and out.startswith(b"Output devices (")
                      and b"(could not enumerate: " in out)
        print(f"{'ok  ' if listing_ok else 'FAIL'} list-devices without a server: {out!r}")
        if not listing_ok:
            failures.append("list-devices")
        autostart_dir = os.path.join(tmp, "config", "autostart")
        untouched = not os.path.exists(autostart_dir) or not os.listdir(autostart_dir)
        print(f"{'ok  ' if untouched else 'FAIL'} --list-devices after --autostart registers nothing")
        if not untouched:
            failures.append("autostart untouched")

        # An unreachable device ends start-up with the audio message after the title line.
        code, out, err = run(["--no-mdns", "--device", "no such device"], env)
        audio_ok = (code == 1
                    and out == "Brindle receiver \u2014 iPhone \u2192 Windows  (Ctrl-C to quit)\n".encode()
                    and err.startswith(b"\naudio: "))
        print(f"{'ok  ' if audio_ok else 'FAIL'} audio failure ends start-up: {code} {out!r} {err!r}")
        if not audio_ok:
            failures.append("audio failure")

    print(f"{len(failures)} failed" if failures else "all command-line checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
