#!/usr/bin/python3
"""A receive call that fails on every call for minutes: what the receiver costs meanwhile.

The real brindle-receiver runs in a network namespace of its own with the LD_PRELOAD shim of the
end-to-end suite (tests/e2e/recv_fault_shim.c, built here), which fails every receive on UDP
45333 with ENETDOWN, ENOBUFS and ENOMEM in turn for the whole window. Reported: the failed calls
per second after the pause has grown to its longest, the lines on standard error, the
receiver's CPU time over the window and its resident memory at the start and the end.

Usage (root): bench/receive_errors/measure_error_storm.py [--build DIR] [--seconds S]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
import harness  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=harness.BUILD_DIR)
    parser.add_argument("--seconds", type=float, default=180)
    args = parser.parse_args()
    receiver = os.path.join(args.build, "brindle-receiver")
    with tempfile.TemporaryDirectory(prefix="brindle-storm-") as tmp, \
            harness.NetNamespace("brindle-storm") as ns, harness.PulseServer() as pulse:
        shim = os.path.join(tmp, "shim.so")
        subprocess.run([shutil.which("cc") or "gcc", "-O2", "-shared", "-fPIC", "-o", shim,
                        os.path.join(HERE, "..", "..", "tests", "e2e", "recv_fault_shim.c"),
                        "-ldl"], check=True)
        log = os.path.join(tmp, "faults.log")
        pulse.add_null_sink("cable", harness.CABLE_DESCRIPTION, default=True)
        env = dict(pulse.env, LD_PRELOAD=shim, BRINDLE_FAULT_AFTER="0",
                   BRINDLE_FAULT_ERRNOS="ENETDOWN,ENOBUFS,ENOMEM",
                   BRINDLE_FAULT_SECONDS=str(args.seconds + 60), BRINDLE_FAULT_LOG=log)
        with harness.Receiver(["--no-mdns"], env=env, exe=receiver, netns=ns) as rx:
            rx.wait_for_line(lambda l: l.startswith("[  waiting]"), timeout=15)
            time.sleep(5)  # the pause reaches its longest
            pid = rx.proc.pid
            cpu0, rss0, t0 = cpu_seconds(pid), rss_kib(pid), time.monotonic()
            calls0 = sum(1 for _ in open(log))
            time.sleep(args.seconds)
            cpu1, rss1, t1 = cpu_seconds(pid), rss_kib(pid), time.monotonic()
            calls1 = sum(1 for _ in open(log))
            errors = [text for _, text in rx.err_lines]
        window = t1 - t0
        print(f"window            {window:.0f} s")
        print(f"failed calls      {(calls1 - calls0) / window:.2f} per second "
              f"({calls1} in all)")
        print(f"stderr lines      {len(errors)}: {errors[:2]}")
        print(f"receiver CPU      {100 * (cpu1 - cpu0) / window:.3f} %")
        print(f"resident memory   {rss0} KiB -> {rss1} KiB")


if __name__ == "__main__":
    sys.exit(main())
