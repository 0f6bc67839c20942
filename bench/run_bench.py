#!/usr/bin/env python3
"""What a probe run costs against its floor.

Runs the probe through a complete exchange with the scripted scale, paired
with a floor program that only makes the two 10 ms waits, alternately, many
times. Reports the median ratio of the pairs' wall times, the probe's two
waits as the scripted library saw them (from its call log), and the peak
memory of both (resident set high-water mark). The goals are reported, never enforced."""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

RATIO_GOAL = 1.03
WAIT_GOAL_MS = (10.0, 10.5)


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


def peak_memory(helper, argv, env):
    result = subprocess.run([helper, *argv], env=env, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, check=True)
    return int(result.stdout.splitlines()[-1])


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--probe", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--peak-memory", required=True, help="the peak_memory helper")
    parser.add_argument("--fake-dir", required=True)
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()

    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    # The stand-in's call log goes to memory where it can, so that logging
    # the waits costs the probe as little as possible.
    shm = Path("/dev/shm")
    log_dir = Path(tempfile.mkdtemp(dir=shm if shm.is_dir() else work))
    script, log = work / "scale.script", log_dir / "calls.log"
    script.write_text("device 1111 0004 53,31 42\nread 65 " + " ".join(["5a"] * 65) + "\n")
    env = {"PATH": "/usr/bin:/bin", "LD_LIBRARY_PATH": args.fake_dir,
           "FAKE_HIDAPI_SCRIPT": str(script), "FAKE_HIDAPI_LOG": str(log)}

    ratios, probe_walls, floor_walls, before_write, before_read = [], [], [], [], []
    for _ in range(args.runs):
        probe_wall = timed_run([args.probe], env)
        floor_wall = timed_run([args.floor], env)
        ratios.append(probe_wall / floor_wall)
        probe_walls.append(probe_wall * 1000)
        floor_walls.append(floor_wall * 1000)
        first, second = waits_ms(log)
        before_write.append(first)
        before_read.append(second)

    probe_rss = max(peak_memory(args.peak_memory, [args.probe], env) for _ in range(5))
    floor_rss = max(peak_memory(args.peak_memory, [args.floor], env) for _ in range(5))
    log.unlink()
    log_dir.rmdir()

    ratio = statistics.median(ratios)
    waits_ok = all(WAIT_GOAL_MS[0] <= statistics.median(w) <= WAIT_GOAL_MS[1]
                   for w in (before_write, before_read))
    print(f"paired runs:            {args.runs}")
    print(f"probe wall (ms):        {summary(probe_walls)}")
    print(f"floor wall (ms):        {summary(floor_walls)}")
    print(f"wall ratio probe/floor: median {ratio:.4f} "
          f"(goal <= {RATIO_GOAL}: {'met' if ratio <= RATIO_GOAL else 'MISSED'})")
    print(f"wait before write (ms): {summary(before_write)}")
    print(f"wait before read (ms):  {summary(before_read)}")
    print(f"waits goal {WAIT_GOAL_MS[0]}-{WAIT_GOAL_MS[1]} ms (medians): "
          f"{'met' if waits_ok else 'MISSED'}")
    print(f"peak memory (KiB):      probe {probe_rss}, floor {floor_rss}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
