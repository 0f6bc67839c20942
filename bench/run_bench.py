#!/usr/bin/env python3
"""What a probe run costs, against two yardsticks.

Runs the probe through a complete exchange with the scripted scale, in turn
with a floor program that only makes the two 10 ms waits and with a plain C
program that makes the same library calls, many times each. Reports the
median ratios of the probe's wall time to each of theirs (runs taken in
triples, side by side), the probe's two waits as the scripted library saw
them (from its call log), and the peak memory of all three (resident set
high-water mark). The goals are reported, never enforced."""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

FLOOR_GOAL = 1.03
PLAIN_GOAL = 1.02
MEMORY_GOAL_KIB = 0.3 * 1024
WAIT_GOAL_MS = (10.0, 10.5)
MIN_RUNS = 30


def timed_run(argv, env):
    """Wall time in seconds of one run, its input and output on /dev/null."""
    devnull = os.open(os.devnull, os.O_RDWR)
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, env,
                         file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 0),
                                       (os.POSIX_SPAWN_DUP2, devnull, 1)])
    _, status = os.waitpid(pid, 0)
    wall = time.perf_counter() - start
    os.close(devnull)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv[0]} failed: {status}")
    return wall


def peak_memory(helper, program, env):
    """The highest of five runs' peak resident memory, in KiB."""
    peaks = []
    for _ in range(5):
        result = subprocess.run([helper, program], env=env, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, check=True)
        peaks.append(int(result.stdout.splitlines()[-1]))
    return max(peaks)


def waits_ms(log):
    at = {}
    for line in log.read_text().splitlines():
        stamp, name = line.split(" ")[:2]
        at[name] = int(stamp)
    return ((at["hid_write"] - at["hid_set_nonblocking"]) / 1000,
            (at["hid_read"] - at["hid_write"]) / 1000)


def summary(values):
    return (f"median {statistics.median(values):.3f}, min {min(values):.3f}, "
            f"max {max(values):.3f}")


def verdict(ok):
    return "met" if ok else "MISSED"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--probe", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--plain", required=True, help="the plain C program")
    parser.add_argument("--peak-memory", required=True, help="the peak_memory helper")
    parser.add_argument("--fake-dir", required=True)
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    runs = max(args.runs, MIN_RUNS)

    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    # The stand-in's call log goes to memory where it can, so that logging
    # the waits costs the probe as little as possible.
    shm = Path("/dev/shm")
    log_dir = Path(tempfile.mkdtemp(dir=shm if shm.is_dir() else work))
    script, log = work / "scale.script", log_dir / "calls.log"
    # The stand-in's numbers (see tests/fake_hidapi): a scale with serial "S1"
    # and product "B" that answers 65 bytes.
    script.write_text("0 0 65 65 " + " ".join(["5a"] * 65) + " -1 1 1111 0004 2 53 31 1 42\n")
    env = {"PATH": "/usr/bin:/bin", "LD_LIBRARY_PATH": args.fake_dir,
           "FAKE_HIDAPI_SCRIPT": str(script), "FAKE_HIDAPI_LOG": str(log)}

    walls = {"probe": [], "floor": [], "plain": []}
    to_floor, to_plain, before_write, before_read = [], [], [], []
    for _ in range(runs):
        probe = timed_run([args.probe], env)
        first, second = waits_ms(log)
        floor = timed_run([args.floor], env)
        plain = timed_run([args.plain], env)
        for name, wall in (("probe", probe), ("floor", floor), ("plain", plain)):
            walls[name].append(wall * 1000)
        to_floor.append(probe / floor)
        to_plain.append(probe / plain)
        before_write.append(first)
        before_read.append(second)

    memory = {name: peak_memory(args.peak_memory, program, env)
              for name, program in (("probe", args.probe), ("floor", args.floor),
                                    ("plain", args.plain))}
    log.unlink(missing_ok=True)
    log_dir.rmdir()

    floor_ratio, plain_ratio = statistics.median(to_floor), statistics.median(to_plain)
    waits_ok = all(WAIT_GOAL_MS[0] <= statistics.median(w) <= WAIT_GOAL_MS[1]
                   for w in (before_write, before_read))
    memory_over = memory["probe"] - memory["plain"]
    print(f"runs of each program:   {runs}")
    for name in ("probe", "floor", "plain"):
        print(f"{name + ' wall (ms):':<24}{summary(walls[name])}")
    print(f"probe / floor:          median {floor_ratio:.4f} "
          f"(goal <= {FLOOR_GOAL}: {verdict(floor_ratio <= FLOOR_GOAL)})")
    print(f"probe / plain C:        median {plain_ratio:.4f} "
          f"(goal <= {PLAIN_GOAL}: {verdict(plain_ratio <= PLAIN_GOAL)})")
    print(f"wait before write (ms): {summary(before_write)}")
    print(f"wait before read (ms):  {summary(before_read)}")
    print(f"waits goal {WAIT_GOAL_MS[0]}-{WAIT_GOAL_MS[1]} ms (medians): {verdict(waits_ok)}")
    print(f"peak memory (KiB):      probe {memory['probe']}, floor {memory['floor']}, "
          f"plain C {memory['plain']}; probe - plain C {memory_over:+d} "
          f"(goal <= {MEMORY_GOAL_KIB:.0f}: {verdict(memory_over <= MEMORY_GOAL_KIB)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
