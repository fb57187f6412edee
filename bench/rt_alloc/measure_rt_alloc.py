#!/usr/bin/python3
"""Heap allocations on PipeWire's real-time thread while the receiver plays (root).

Runs a private PipeWire with WirePlumber, a session cable, and the receiver with a preloaded
allocation counter that counts only inside the stream's process callback (`--function`, found
with nm), on whatever thread PipeWire runs it.
Prints the allocations of each step: the first stream's callbacks, a quantum change to 4096
frames, the cable removed and back under a playing stream (a recovery), and a new stream after
the old one rested. Give --receiver to measure another build of brindle-receiver.

    python3 bench/rt_alloc/measure_rt_alloc.py [--receiver PATH]
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
import harness  # noqa: E402
from cable_e2e import DesktopPipeWire  # noqa: E402

RENDERING = "\u2192 rendering into"


def read_counts(path):
    with open(path, "rb") as f:
        values = struct.unpack("9Q", f.read(72))
    return values[0], [s for s in values[1:] if s]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--receiver", default=harness.RECEIVER_EXE)
    parser.add_argument("--function", default="PipeWireStream::on_process(void*)")
    args = parser.parse_args()
    tmp = tempfile.mkdtemp(prefix="brindle-rt-alloc-")
    shim = os.path.join(tmp, "alloc_count.so")
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", shim,
                    os.path.join(HERE, "alloc_count.c")], check=True)
    counts = os.path.join(tmp, "counts")
    symbols = subprocess.run(["nm", "-C", "-S", "--defined-only", args.receiver],
                             capture_output=True, text=True, check=True).stdout
    found = [line.split() for line in symbols.splitlines() if line.endswith(args.function)]
    if not found:
        sys.exit(f"{args.function} not in {args.receiver} (a build with symbols is needed)")
    start, size = int(found[0][0], 16), int(found[0][1], 16)
    with harness.NetNamespace("brindle-rtalloc") as ns:
        desk = DesktopPipeWire()
        try:
            desk.start()
            desk.cable("install")
            env = dict(desk.env, LD_PRELOAD=shim, ALLOC_COUNT_FILE=counts,
                       ALLOC_COUNT_RANGE=f"{start:x}-{start + size:x}")
            with harness.Receiver(["--no-mdns"], env=env, exe=args.receiver, netns=ns) as rx:
                if not rx.wait_for_line(lambda l: l.startswith("[  waiting]"), timeout=60):
                    sys.exit(f"the receiver did not start: {rx.lines()} {rx.err_lines}")
                steps = []
                last = 0  # from the start: the receiver may open its stream once at start-up

                def step(name):
                    nonlocal last
                    total, sizes = read_counts(counts)
                    steps.append((name, total - last, sizes if total > last else []))
                    last = total

                harness.send(["--duration", "3"], env=desk.env, netns=ns)
                step("start-up and the first stream (3 s tone)")
                subprocess.run(["pw-metadata", "-n", "settings", "0", "clock.force-quantum",
                                "4096"], env=desk.env, capture_output=True, timeout=10)
                harness.send(["--duration", "3"], env=desk.env, netns=ns)
                step("quantum forced to 4096")
                subprocess.run(["pw-metadata", "-n", "settings", "0", "clock.force-quantum",
                                "0"], env=desk.env, capture_output=True, timeout=10)
                sender = harness.start_sender(["--duration", "30"], env=desk.env, netns=ns)
                time.sleep(2)
                step("quantum back to the default")
                desk.cable("remove")
                time.sleep(1)
                desk.cable("install")
                harness.wait_until(
                    lambda: sum(l.startswith(RENDERING) for l in rx.lines()) >= 2, 20)
                time.sleep(3)
                harness.stop_process(sender)
                step("recovery: cable removed and back while playing")
                time.sleep(8)  # the stream rests
                harness.send(["--duration", "3"], env=desk.env, netns=ns)
                step("a new stream after a rest")
            print(f"allocations in {args.function} ({args.receiver})")
            for name, n, sizes in steps:
                print(f"  {name:48} {n:6}" + (f"   last sizes {sizes}" if sizes else ""))
        finally:
            desk.close()


if __name__ == "__main__":
    main()
