"""Python programs under kestrix-sim --challenge: a shipped example passes
its challenge, and the console's lines come with the simulated time they
were printed at, though Python buffers a pipe: the run's console is a
terminal."""
import json
import os

from conftest import PYTHON

SOURCE = os.environ.get("KESTRIX_SOURCE_DIR", "")


def test_line_follower_example_passes_its_challenge(simulate, tmp_path):
    report = tmp_path / "report.json"
    run = simulate(None, options=("--challenge", os.path.join(SOURCE, "sim", "challenges", "line_lap.json"),
                                  "--seed", "2", "--report", str(report)),
                   command=[PYTHON, os.path.join(SOURCE, "examples", "line_follower.py")])
    assert run.returncode == 0, run.stderr
    scored = json.loads(report.read_text())
    assert scored["passed"] and scored["score"] == 100, scored


def test_console_lines_come_at_their_simulated_times(simulate, tmp_path):
    challenge = tmp_path / "start.json"
    challenge.write_text(json.dumps({
        "world": os.path.join(SOURCE, "sim", "worlds", "empty.json"),
        "time_limit": 5,
        # Python's start takes real time, which the clock follows; on a
        # loaded machine that can be most of a second.
        "start": ["2 press a", "2.1 release a"],
        "rules": [
            {"rule": "console", "name": "ready at once", "regex": "^ready$", "before": 1.5, "points": 1},
            {"rule": "console", "name": "go too soon", "regex": "^go$", "before": 1.95, "points": 10},
            {"rule": "console", "name": "go after the press", "regex": "^go$", "before": 2.2, "points": 100},
        ],
        "pass": 101,
    }))
    program = tmp_path / "wait_for_a.py"
    program.write_text("import kestrix\n"
                       "print('ready')\n"
                       "while not kestrix.a_button():\n"
                       "    kestrix.msleep(10)\n"
                       "print('go')\n"
                       "for n in range(100):\n"
                       "    print('tick', n)\n"
                       "    kestrix.msleep(20)\n"
                       "kestrix.msleep(1000)\n")
    report = tmp_path / "report.json"
    run = simulate(None, options=("--challenge", str(challenge), "--report", str(report)),
                   command=[PYTHON, str(program)])
    assert run.returncode == 0, run.stderr
    assert "ready\ngo\n" in run.stdout
    scored = json.loads(report.read_text())
    assert [rule["points"] for rule in scored["rules"]] == [1, 0, 100], scored["rules"]
    times = [line["time"] for line in scored["console"]]
    assert times[0] < 1.5 and 2 <= times[1] < 2.1, scored["console"]
    # Each line at the time it was printed, however late the launcher got
    # round to reading it: the clock waits for the reader.
    ticks = [round(at - times[1], 6) for at in times[2:]]
    assert ticks == [round(0.02 * n, 6) for n in range(100)], scored["console"]
