#!/usr/bin/python3
"""One receiver per login session, through the real executable.

A first receiver runs against a private PulseAudio server (harness.py) whose default null sink is
called "CABLE Input (VB-Audio Virtual Cable)". The checks: a second start (also with --background,
also when a display is named but unreachable) exits 1 with the exact line and touches neither
audio nor network, while the first keeps printing status lines; --list-devices, --check-device and
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
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

ALREADY = "Brindle Receiver is already running \u2014 not starting a second instance.\n"
LISTENING = "\u2192 listening on UDP 45333"
IN_NAMESPACE = "BRINDLE_INSTANCE_NETNS"

checks = harness.Checks()


def enter_private_network():
    """Re-executes this suite inside a new network namespace with loopback up."""
    if os.environ.get(IN_NAMESPACE) == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=False)
        return
    if shutil.which("unshare") and subprocess.run(["unshare", "-n", "true"]).returncode == 0:
        env = dict(os.environ, **{IN_NAMESPACE: "1"})
        sys.exit(subprocess.run(["unshare", "-n", "--", sys.executable, "-u", __file__],
                                env=env).returncode)
    print("note: no private network namespace; waiting for the machine's UDP port", flush=True)
    harness.wait_port_free()


def started(receiver):
    return receiver.wait_for_line(lambda line: line == LISTENING, 20) is not None


def kill(receiver):
    """SIGKILL, as a crash would end it: nothing of the program runs on the way out."""
    if receiver.running():
        receiver.proc.send_signal(signal.SIGKILL)
    receiver.wait_exit(10)
    return receiver.proc.returncode


def check_refused(name, args, env, limit=10):
    begin = time.monotonic()
    status, out, err = harness.run_receiver(args, env, timeout=30)
    took = time.monotonic() - begin
    checks.check(name, (status, out, err) == (1, "", ALREADY) and took < limit,
                 f"status={status} out={out!r} err={err!r} took={took:.1f}s")


def details(receiver):
    return f"out={receiver.lines()} err={receiver.stderr_bytes()!r}"


def main():
    enter_private_network()
    with harness.PulseServer() as pulse:
        pulse.add_null_sink("cable", harness.CABLE_DESCRIPTION, default=True)
        env = {k: v for k, v in pulse.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env["XDG_CONFIG_HOME"] = os.path.join(pulse.dir, "config")

        with harness.Receiver(["--no-mdns"], env) as first:
            checks.check("first instance starts", started(first), details(first))
            checks.check("first instance prints status lines",
                         len(first.wait_status_lines(1, 10)) >= 1, details(first))

            check_refused("second instance refused", ["--no-mdns"], env)
            check_refused("second instance with --background refused",
                          ["--background", "--no-mdns"], env)
            # A named but unreachable display: the dialog helper fails and nothing waits.
            check_refused("refusal does not wait for an unreachable display", ["--no-mdns"],
                          dict(env, DISPLAY=":97", WAYLAND_DISPLAY="brindle-none"))
            checks.check("the first instance keeps running after the refusals", first.running())

            before = len(first.status_lines())
            time.sleep(4.5)
            after = len(first.status_lines())
            checks.check("the first instance's status lines continue", after >= before + 2,
                         f"{before} -> {after} status lines")

            status, out, err = harness.run_receiver(["--list-devices"], env)
            checks.check("--list-devices works while an instance runs",
                         status == 0 and harness.CABLE_DESCRIPTION in out and err == "",
                         f"{status} {out!r} {err!r}")
            checks.equal("--check-device works while an instance runs",
                         harness.run_receiver(["--check-device", "CABLE Input"], env),
                         (0, "CABLE Input: found\n", ""))
            status, out, err = harness.run_receiver(["--autostart", "on"], env)
            checks.check("--autostart on works while an instance runs",
                         status == 0 and out.startswith("autostart on \u2014 ") and err == "",
                         f"{status} {out!r} {err!r}")
            checks.equal("--autostart off works while an instance runs",
                          harness.run_receiver(["--autostart", "off"], env),
                          (0, "autostart off\n", ""))

            # Another login session has its own runtime folder: it is not blocked. Both bind
            # the same port here, so getting as far as the audio output is what counts.
            other_runtime = os.path.join(pulse.dir, "other-session")
            os.makedirs(other_runtime)
            with harness.Receiver(["--no-mdns"], dict(env, XDG_RUNTIME_DIR=other_runtime)) as other:
                reached = other.wait_for_line(lambda l: l.startswith("\u2192 rendering into"), 20)
                checks.check("a receiver of another session is not refused",
                             reached is not None and ALREADY.encode() not in other.stderr_bytes(),
                             details(other))
                kill(other)

            checks.check("the first instance is still running", first.running())
            checks.equal("first instance killed with SIGKILL", kill(first), -signal.SIGKILL)

        with harness.Receiver(["--no-mdns"], env) as again:
            checks.check("a new start succeeds right after the kill (no stale guard)",
                         started(again), details(again))
            kill(again)

        # Without a runtime folder the guard falls back to a name the kernel holds per user.
        no_runtime = {k: v for k, v in env.items() if k != "XDG_RUNTIME_DIR"}
        with harness.Receiver(["--no-mdns"], no_runtime) as lone:
            checks.check("without XDG_RUNTIME_DIR a first instance starts", started(lone),
                         details(lone))
            check_refused("without XDG_RUNTIME_DIR a second instance is refused", ["--no-mdns"],
                          no_runtime)
            kill(lone)
        with harness.Receiver(["--no-mdns"], no_runtime) as lone_again:
            checks.check("without XDG_RUNTIME_DIR a start after SIGKILL succeeds",
                         started(lone_again), details(lone_again))
            kill(lone_again)
    checks.finish()


if __name__ == "__main__":
    main()
