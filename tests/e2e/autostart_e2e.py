#!/usr/bin/python3
"""Run at login through the real executable: the XDG autostart entry and the action's output.

Every case runs brindle-receiver --autostart with a throwaway HOME and XDG_CONFIG_HOME, then
reads the desktop entry back with GLib (a desktop-entry reader this project did not write): its
Exec line must give exactly the arguments of the command printed after "will run at login as: ".
One case launches the entry through Gio with a stand-in program in a folder whose name holds
quotes, dollars, backticks, percent signs and backslashes, and compares the argv it received.
"""
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("GLib", "2.0")
gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

BUILD = os.environ.get("BRINDLE_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
EXE = os.path.realpath(os.path.join(BUILD, "brindle-receiver"))
ON = "autostart on \u2014 will run at login as: "
ENTRY = "brindle-receiver.desktop"

failures = []


def check(name, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else f": {detail}"), flush=True)
    if not ok:
        failures.append(name)


def run(args, env, exe=EXE):
    proc = subprocess.run([exe] + args, env=env, capture_output=True, stdin=subprocess.DEVNULL,
                          timeout=30)
    return proc.returncode, proc.stdout, proc.stderr


def exec_argv(path):
    """The argument list a desktop environment would start from the entry at `path`."""
    key_file = GLib.KeyFile()
    key_file.load_from_file(path, GLib.KeyFileFlags.NONE)
    exec_line = key_file.get_string("Desktop Entry", "Exec")
    # Field codes come first; the entry may only hold "%%", a literal percent sign.
    ok, argv = GLib.shell_parse_argv(exec_line.replace("%%", "%"))
    return argv


def entry_keys(path):
    key_file = GLib.KeyFile()
    key_file.load_from_file(path, GLib.KeyFileFlags.NONE)
    return {key: key_file.get_value("Desktop Entry", key)
            for key in key_file.get_keys("Desktop Entry")[0]}


def check_on(name, args, env, expected_tail, expected_argv_tail, entry_dir):
    status, out, err = run(args, env)
    data = f'"{EXE}" --background{expected_tail}'
    check(f"{name}: prints the stored command",
          (status, out, err) == (0, (ON + data + "\n").encode(), b""),
          f"status={status} out={out!r} err={err!r}")
    path = os.path.join(entry_dir, ENTRY)
    try:
        argv = exec_argv(path)
    except GLib.Error as error:
        argv = f"unreadable entry: {error.message}"
    check(f"{name}: the entry's Exec line gives that command's arguments",
          argv == [EXE, "--background"] + expected_argv_tail, f"argv={argv!r}")
    leftovers = sorted(set(os.listdir(entry_dir)) - {ENTRY})
    check(f"{name}: one entry, no temporary files left", leftovers == [], f"{leftovers}")
    return out


def main():
    if not os.access(EXE, os.X_OK):
        print(f"FAIL the receiver is not built: {EXE}")
        return 1
    root = tempfile.mkdtemp(prefix="brindle-autostart-")
    try:
        home = os.path.join(root, "home")
        config = os.path.join(root, "config")
        os.makedirs(home)
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(HOME=home, XDG_CONFIG_HOME=config, XDG_RUNTIME_DIR=root,
                   PULSE_SERVER=f"unix:{root}/no-such-server")
        entry_dir = os.path.join(config, "autostart")
        entry = os.path.join(entry_dir, ENTRY)

        check_on("--gain 4 --autostart on", ["--gain", "4", "--autostart", "on"], env,
                 " --gain 4", ["--gain", "4"], entry_dir)
        keys = entry_keys(entry)
        check("the entry is an application started without a terminal",
              keys.get("Type") == "Application" and keys.get("Terminal") == "false"
              and keys.get("Name") == "Brindle Receiver", f"{keys}")
        check("the config folders are private to the user",
              stat.S_IMODE(os.stat(config).st_mode) == 0o700, oct(os.stat(config).st_mode))

        after = check_on("--autostart on --no-mdns", ["--autostart", "on", "--no-mdns"], env,
                         " --no-mdns", ["--no-mdns"], entry_dir)
        first_bytes = open(entry, "rb").read()
        before = check_on("--no-mdns --autostart on", ["--no-mdns", "--autostart", "on"], env,
                          " --no-mdns", ["--no-mdns"], entry_dir)
        check("options before or after --autostart store the same data",
              after == before and open(entry, "rb").read() == first_bytes)

        check_on("registering again replaces the entry", ["--device", "Brindle", "--autostart", "on"],
                 env, ' --device "Brindle"', ["--device", "Brindle"], entry_dir)
        check_on("plain --autostart on", ["--autostart", "on"], env, "", [], entry_dir)
        check_on("prefill 40.0 is the default", ["--prefill-ms", "40.0", "--autostart", "on"], env,
                 "", [], entry_dir)
        check_on("prefill 40.5 and gain 0.1", ["--prefill-ms", "40.5", "-g", "0.1", "--autostart",
                                               "on"], env, " --gain 0.1 --prefill-ms 40.5",
                 ["--gain", "0.1", "--prefill-ms", "40.5"], entry_dir)
        check_on("the default device in lower case is stored",
                 ["-d", "cable input (vb-audio virtual cable)", "--autostart", "on"], env,
                 ' --device "cable input (vb-audio virtual cable)"',
                 ["--device", "cable input (vb-audio virtual cable)"], entry_dir)
        check_on("a device that tries to smuggle options stays one argument",
                 ["-d", 'x" --gain 64 "\\', "--autostart", "on"], env,
                 ' --device "x\\" --gain 64 \\"\\\\"', ["--device", 'x" --gain 64 "\\'], entry_dir)

        status, out, err = run(["--autostart", "on", "-d", b"bad \xff byte"], env)
        try:
            argv = exec_argv(entry)
        except GLib.Error as error:
            argv = error.message
        check("a device with invalid UTF-8 still gives a valid entry",
              status == 0 and argv == [EXE, "--background", "--device", "bad \ufffd byte"],
              f"status={status} err={err!r} argv={argv!r}")

        status, out, err = run(["--autostart", "off"], env)
        check("off removes the entry", (status, out, err) == (0, b"autostart off\n", b"")
              and not os.path.exists(entry), f"status={status} out={out!r} err={err!r}")
        status, out, err = run(["--autostart", "off"], env)
        check("off with nothing to remove still succeeds",
              (status, out, err) == (0, b"autostart off\n", b""), f"{status} {out!r} {err!r}")

        status, out, err = run(["--autostart", "on", "--list-devices"], env)
        check("--autostart on --list-devices only lists",
              status == 0 and out.startswith(b"Output devices") and not os.path.exists(entry),
              f"status={status} out={out!r}")

        # Without XDG_CONFIG_HOME the entry goes under ~/.config.
        no_xdg = {k: v for k, v in env.items() if k != "XDG_CONFIG_HOME"}
        home_entry_dir = os.path.join(home, ".config", "autostart")
        check_on("without XDG_CONFIG_HOME", ["--autostart", "on"], no_xdg, "", [], home_entry_dir)
        status, out, _ = run(["--autostart", "off"], no_xdg)
        check("without XDG_CONFIG_HOME off removes it",
              status == 0 and not os.path.exists(os.path.join(home_entry_dir, ENTRY)))

        # Failures come back as "autostart: {message}" with status 1.
        blocker = os.path.join(root, "a-file")
        open(blocker, "w").close()
        status, out, err = run(["--autostart", "on"], dict(env, XDG_CONFIG_HOME=blocker))
        check("an entry that cannot be written fails with status 1",
              status == 1 and out == b"" and err.startswith(b"autostart: cannot create ")
              and err.endswith(b"Not a directory (os error 20)\n"), f"{status} {out!r} {err!r}")
        os.makedirs(os.path.join(entry, "occupied"))
        status, out, err = run(["--autostart", "off"], env)
        check("an entry that cannot be removed fails with status 1",
              (status, out, err) == (1, b"", f"autostart: cannot remove {entry}: Is a directory "
                                             "(os error 21)\n".encode()), f"{status} {out!r} {err!r}")
        shutil.rmtree(entry)

        check_launch(root, env, entry)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"{len(failures)} failure(s)" if failures else "all autostart checks passed")
    return 1 if failures else 0


def check_launch(root, env, entry):
    """Registers from a hostile folder name, then lets Gio start the entry.

    The folder name holds no percent sign: GLib looks for the program before it expands field
    codes, so it can never find a program whose path needs "%%"; the device argument has them.
    """
    folder = os.path.join(root, 'dir "q" $HOME `id` back\\slash \u00fc')
    os.makedirs(folder)
    exe = os.path.join(folder, "brindle-receiver")
    shutil.copy2(EXE, exe)
    device = 'a "b" \\ $PATH `x` %% %U tab\tend\\'
    status, out, err = run(["--gain", "2.5", "-d", device, "--autostart", "on"], env, exe=exe)
    check("registering from a hostile folder name", status == 0, f"{status} {err!r}")

    # The program at that path now only records what it was started with.
    record = os.path.join(root, "argv.bin")
    with open(exe, "w") as stand_in:
        stand_in.write(f"#!/bin/sh\nprintf '%s\\0' \"$0\" \"$@\" > '{record}.tmp'\n"
                       f"mv '{record}.tmp' '{record}'\n")
    os.chmod(exe, 0o755)
    app = Gio.DesktopAppInfo.new_from_filename(entry)
    launched = app is not None and app.launch([], None)
    deadline = time.time() + 10
    while launched and not os.path.exists(record) and time.time() < deadline:
        time.sleep(0.05)
    argv = open(record, "rb").read().split(b"\0")[:-1] if os.path.exists(record) else None
    expected = [exe.encode(), b"--background", b"--device", device.encode(), b"--gain", b"2.5"]
    check("Gio starts the entry with exactly the registered arguments", argv == expected,
          f"launched={launched} argv={argv!r}")


if __name__ == "__main__":
    sys.exit(main())
