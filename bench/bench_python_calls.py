#!/usr/bin/env python3
"""What a call costs from Python: calls per second of analog(0) from C
(bench_analog_calls), from Python (kestrix.analog(0)) and through a port
object (kestrix.Analog(0).value), each under kestrix-sim --speed max, and the
difference per call. Medians over the rounds, so that a burst of load on a
shared machine does not decide the result.

    bench_python_calls.py BUILD_DIR [CALLS] [ROUNDS]     (100000 calls, 5 rounds)
"""
import os
import re
import statistics
import subprocess
import sys

PYTHON_LOOP = """
import sys, time, kestrix
calls = int(sys.argv[1])
analog = kestrix.analog
sensor = kestrix.Analog(0)
analog(0)
if sys.argv[2] == "function":
    start = time.process_time()
    for _ in range(calls):
        analog(0)
else:
    start = time.process_time()
    for _ in range(calls):
        sensor.value
print(f"calls/s: {calls / (time.process_time() - start):.0f}")
"""


def rate(build, command):
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    out = subprocess.run([os.path.join(build, "sim", "kestrix-sim"), "--speed", "max", *command],
                         capture_output=True, text=True, env=env, check=True).stdout
    return float(re.search(r"calls/s: (\S+)", out).group(1))


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    calls = sys.argv[2] if len(sys.argv) > 2 else "100000"
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    python = "/usr/bin/python3"
    runs = {
        "C analog(0)": [os.path.join(build, "bench", "bench_analog_calls"), calls],
        "Python kestrix.analog(0)": [python, "-c", PYTHON_LOOP, calls, "function"],
        "Python Analog(0).value": [python, "-c", PYTHON_LOOP, calls, "object"],
    }
    results = {name: statistics.median(rate(build, command) for _ in range(rounds))
               for name, command in runs.items()}
    c_us = 1e6 / results["C analog(0)"]
    print(f"{'':28}{'calls/s':>12}{'us/call':>10}{'over C':>10}")
    for name, per_second in results.items():
        us = 1e6 / per_second
        print(f"{name:28}{per_second:12.0f}{us:10.3f}{us - c_us:+10.3f}")


if __name__ == "__main__":
    main()
