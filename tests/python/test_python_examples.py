"""The Python examples and the mobile base in the simulated world, judged by
the simulator's trace as the C examples are."""
import csv
import math
import os

from conftest import PYTHON

SOURCE = os.environ.get("KESTRIX_SOURCE_DIR", "")


def world(name):
    return os.path.join(SOURCE, "sim", "worlds", name)


def example(name):
    return os.path.join(SOURCE, "examples", name)


def trace_columns(path):
    with open(path, newline="") as source:
        rows = list(csv.DictReader(source))
    return {name: [float(row[name]) for row in rows] for name in rows[0]}


def unwrapped(headings):
    result = headings[:1]
    for value in headings[1:]:
        result.append(result[-1] + math.remainder(value - result[-1], 360.0))
    return result


def test_square_example_ends_where_it_started(simulate, tmp_path):
    trace = tmp_path / "trace.csv"
    run = simulate(None, options=("--world", world("empty.json"), "--trace", str(trace)),
                   command=[PYTHON, "-u", example("square.py")])
    assert run.returncode == 0, run.stderr
    assert "side 4 done" in run.stdout
    t = trace_columns(trace)
    x, y, h = t["x_m"], t["y_m"], unwrapped(t["heading_deg"])
    assert max(math.hypot(a - x[0], b - y[0]) for a, b in zip(x, y)) > 0.5
    assert math.hypot(x[-1] - x[0], y[-1] - y[0]) < 0.05
    assert abs(h[-1] - h[0] - 360) < 5


def test_line_follower_example_laps_line_json(simulate, tmp_path):
    trace = tmp_path / "trace.csv"
    run = simulate(None, options=("--duration", "40", "--world", world("line.json"), "--trace", str(trace)),
                   command=[PYTHON, "-u", example("line_follower.py")])
    assert run.returncode == 0, run.stderr
    t = trace_columns(trace)
    h = unwrapped(t["heading_deg"])
    assert h[-1] - h[0] >= 360, "one lap around the loop, counter-clockwise"
    # The sensor never sees only floor (about 409) for more than 0.5 s: six
    # trace rows 0.1 s apart.
    longest = current = 0
    for value in t["a0"]:
        current = current + 1 if value <= 409 + 20 else 0
        longest = max(longest, current)
    assert longest < 6
    assert max(t["a0"]) > 3000, "it starts on the tape"


def test_mobile_base_spins_and_reports_its_turn(simulate, tmp_path):
    # The simulated base answers in real time, so this one runs at speed 1.
    trace = tmp_path / "trace.csv"
    run = simulate("""
        import kestrix
        print("connect:", kestrix.create_connect())
        kestrix.create_start()
        kestrix.create_spin_CCW(100)
        kestrix.msleep(1000)
        print("angle:", kestrix.get_create_total_angle())
        kestrix.create_stop()
        kestrix.create_disconnect()
    """, speed="1", options=("--world", world("empty.json"), "--trace", str(trace)))
    assert run.returncode == 0, run.stderr
    assert run.value("connect") == 0
    h = unwrapped(trace_columns(trace)["heading_deg"])
    turned = h[-1] - h[0]
    assert turned > 30, "counter-clockwise at 100 mm/s a wheel: about 49 degrees a second"
    assert abs(run.value("angle") - turned) <= 0.05 * turned + 2
