"""What a Python call adds over the same operation from C++, on one session with quenta-sim.

The read-back of the paired device runs in batches, alternately as a loop in
C++ on the session (no Python in between) and as calls of quenta.Quenta.paired
from Python, so that both meet the same simulator, the same load and the same
drift. Prints the median cost of a call of each and their difference; exits 1
when the difference exceeds the goal.

    PYTHONPATH=<build>/python/package QUENTA_SIM=<build>/tools/quenta-sim \\
        python3 bench/python_call_bench.py [--batches N] [--calls N] [--goal-us US]

(cmake --build BUILD --target bench_python runs it with the build's module and simulator.)
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time

import quenta
from quenta.sim import Simulator

# A module already configured and in command mode: every call is one ping and
# one read-back on the line.
SIM = ["--mode", "command", "--baud", "921600", "--rtscts", "--name-ms", "1"]


def python_batch(q: quenta.Quenta, calls: int) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        q.paired()
    return time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--batches", type=int, default=21)
    parser.add_argument("--calls", type=int, default=50, help="calls per batch")
    parser.add_argument("--goal-us", type=float, default=50.0)
    options = parser.parse_args()

    with Simulator(SIM) as sim, quenta.Quenta(sim.device) as q:
        q.search()
        q.pair("QUENTA-ALPHA")
        python_batch(q, options.calls)  # warm up both sides
        native = q._session
        cxx, python = [], []
        for _ in range(options.batches):
            cxx.append(native._time_paired(options.calls) / options.calls)
            python.append(python_batch(q, options.calls) / options.calls)
    cxx_us, python_us = statistics.median(cxx) * 1e6, statistics.median(python) * 1e6
    added = python_us - cxx_us
    print(f"paired(), median of {options.batches} batches of {options.calls} calls:")
    print(f"  C++ session      {cxx_us:9.1f} us/call")
    print(f"  Python (quenta)  {python_us:9.1f} us/call")
    print(f"  added by Python  {added:9.1f} us/call (ratio {python_us / cxx_us:.3f}; goal <= {options.goal_us:g} us)")
    return 0 if added <= options.goal_us else 1


if __name__ == "__main__":
    sys.exit(main())
