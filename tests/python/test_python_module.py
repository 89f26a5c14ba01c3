"""The Python module kestrix on the simulated controller: each family's calls
reach the controller and its answers come back, waits release the GIL, and
nothing exported by libkestrix.so is missing from the module."""
import ast
import json
import os
import re
import shutil
import subprocess
import urllib.request

import pytest

from conftest import PYTHON, STARTUP, _environment

SOURCE = os.environ.get("KESTRIX_SOURCE_DIR", "")

HERE = os.path.dirname(os.path.abspath(__file__))


def test_motors_move_to_position_arrives(simulate):
    run = simulate("""
        import kestrix
        print("mtp:", kestrix.mtp(0, 1000, 2000))
        kestrix.bmd(0)
        print("position 0:", kestrix.gmpc(0))
        motor = kestrix.Motor(1)
        motor.move_by(-700, 800)
        motor.wait()
        print("position 1:", motor.position)
        print("bad port:", kestrix.mtp(4, 1000, 2000))
    """)
    assert run.returncode == 0, run.stderr
    assert run.value("mtp") == 0
    assert run.value("position 0") == 2000
    assert run.value("position 1") == -700
    assert run.value("bad port") == -1
    run.summary(r"motor 0: position 2000, .*pid-position, done")


def test_analog_scripted_value_reads_back(simulate):
    run = simulate("""
        import kestrix
        sensor = kestrix.Analog(3)
        print("analog:", kestrix.analog(3))
        print("value:", sensor.value)
        print("analog10:", kestrix.analog10(3))
        kestrix.msleep(1100)
        print("later:", sensor.value)
        print("pull-up:", int(sensor.pullup))
    """, script="""
        0 analog 3 1234
        1 analog 3 100
    """)
    assert run.returncode == 0, run.stderr
    assert run.value("analog") == 1234
    assert run.value("value") == 1234
    assert run.value("analog10") == 1234 >> 2
    assert run.value("later") == 100
    assert run.value("pull-up") == 1


def test_digital_scripted_touch_ends_wait_and_outputs_reach_the_pins(simulate):
    run = simulate("""
        import kestrix
        start = kestrix.seconds()
        kestrix.wait_for_touch(4)
        print("touched after:", kestrix.seconds() - start)
        print("touched:", int(kestrix.Digital(4).touched))
        pin = kestrix.Digital(9)
        pin.output = True
        pin.value = True
    """, script="""
        0 digital 4 1
        1.5 digital 4 0
    """)
    assert run.returncode == 0, run.stderr
    assert 1.5 - STARTUP <= run.value("touched after") <= 1.52
    assert run.value("touched") == 1
    match = run.summary(r"outputs ([01]{16}), directions ([01]{16})")
    assert match.group(1)[15 - 9] == "1" and match.group(2)[15 - 9] == "1"


def test_servo_shaft_follows_the_position(simulate):
    run = simulate("""
        import kestrix
        servo = kestrix.Servo(2)
        servo.enabled = True
        servo.position = 900
        kestrix.msleep(1000)
        print("position:", servo.position)
        print("refused port:", kestrix.get_servo_position(4))
    """)
    assert run.returncode == 0, run.stderr
    assert run.value("position") in (899, 900)
    assert run.value("refused port") == 65535
    shaft = float(run.summary(r"servo 2: enabled, command \d+ \(\d+ us\), shaft (\S+)").group(1))
    assert shaft == pytest.approx(900, abs=1.5)


def test_buttons_scripted_press_ends_the_wait(simulate):
    run = simulate("""
        import kestrix
        start = kestrix.seconds()
        kestrix.wait_for_a_button()
        print("a after:", kestrix.seconds() - start)
        print("a pressed:", int(kestrix.buttons.A.pressed))
        kestrix.buttons.side.wait_clicked()
        print("side clicked after:", kestrix.seconds() - start)
    """, script="""
        2 press a
        2.5 release a
        3 click side
    """)
    assert run.returncode == 0, run.stderr
    assert 2.0 - STARTUP <= run.value("a after") <= 2.02
    assert run.value("a pressed") == 1
    assert run.value("side clicked after") - run.value("a after") == pytest.approx(1.1, abs=0.02)


def test_a_press_of_the_script_reaches_both_robots_of_a_match_at_one_moment(simulate, tmp_path):
    world = json.loads(open(os.path.join(SOURCE, "sim", "worlds", "arena.json")).read())
    world["robot"]["start"] = [{"x": 0.5, "y": 0.5, "heading_deg": 0}, {"x": 1.5, "y": 1.2, "heading_deg": 180}]
    (tmp_path / "two.json").write_text(json.dumps(world))
    program = tmp_path / "wait_for_a.py"
    program.write_text("import sys, kestrix\n"
                       "start = kestrix.seconds()\n"
                       "kestrix.wait_for_a_button()\n"
                       "now = kestrix.seconds()\n"
                       "# One write: the two robots' programs share the launcher's output.\n"
                       "sys.stdout.write(f'{sys.argv[1]} a at {now} after {now - start}\\n')\n")
    robot = f"{PYTHON} -u {program}"
    run = simulate(None, script="2 press a\n2.2 release a\n",
                   options=("--world", str(tmp_path / "two.json"), "--duration", "4",
                            "--robot", robot + " first", "--robot", robot + " second"),
                   command=[])
    assert run.returncode == 0, run.stderr
    seen = {name: (float(at), float(after))
            for name, at, after in re.findall(r"^(first|second) a at (\S+) after (\S+)$", run.stdout, re.M)}
    assert set(seen) == {"first", "second"}, run.stdout
    # One clock for both: the same moment on each controller, 2 s into the match.
    assert seen["first"][0] == pytest.approx(seen["second"][0], abs=1e-6)
    for name in seen:
        assert 2.0 - STARTUP <= seen[name][1] <= 2.02, run.stdout


def test_sensors_and_battery_follow_the_script(simulate):
    run = simulate("""
        import kestrix
        print("volts:", kestrix.power_level())
        print("charging:", kestrix.battery_charging())
        print("accel z:", kestrix.accel_z())
        first = kestrix.get_compass_angle()
        kestrix.msleep(1100)
        print("turned:", (kestrix.get_compass_angle() - first) % 360)
    """, script="""
        0 battery 6.5
        0 charging on
        0 heading 0
        1 heading 90
    """)
    assert run.returncode == 0, run.stderr
    assert run.value("volts") == pytest.approx(6.5, abs=0.01)
    assert run.value("charging") == 1
    assert run.value("accel z") == pytest.approx(1000, abs=3)
    # The compass counts the other way round from the script's heading.
    assert min(abs(run.value("turned") - 90), abs(run.value("turned") - 270)) < 3


def test_time_and_threads(simulate):
    run = simulate("""
        import kestrix
        start = kestrix.seconds()
        kestrix.msleep(250)
        print("slept:", kestrix.seconds() - start)
        lock = kestrix.mutex_create()
        kestrix.mutex_lock(lock)
        seen = []
        def worker():
            kestrix.mutex_lock(lock)  # waits for the main thread
            seen.append(kestrix.seconds() - start)
            kestrix.mutex_unlock(lock)
        t = kestrix.thread_create(worker)
        kestrix.thread_start(t)
        print("trylock held:", kestrix.mutex_trylock(lock))
        kestrix.msleep(100)
        kestrix.mutex_unlock(lock)
        kestrix.thread_wait(t)
        kestrix.thread_destroy(t)
        kestrix.mutex_destroy(lock)
        print("worker ran at:", seen[0])
    """)
    assert run.returncode == 0, run.stderr
    assert run.value("slept") == pytest.approx(0.25, abs=0.002)
    assert run.value("trylock held") == 0
    assert run.value("worker ran at") >= 0.35 - 0.002


def test_utilities_bell_warning_and_version(simulate):
    run = simulate("""
        import kestrix
        kestrix.beep()
        kestrix.nyi("arc_drive")
        print("version:", kestrix.kestrix_version())
    """)
    assert run.returncode == 0, run.stderr
    # The bell leaves with the C library's output, at the latest at exit.
    assert run.stdout.count("\a") == 1
    assert "Warning: arc_drive not yet implemented.\n" in run.stdout
    header = os.path.join(os.environ["KESTRIX_BUILD_DIR"], "include/kestrix/version.h")
    with open(header) as generated:
        version = re.search(r'#define KESTRIX_VERSION_STRING "([^"]+)"', generated.read()).group(1)
    assert re.search(r"^version: (\S+)$", run.stdout, re.M).group(1) == version


def test_bmd_lets_other_python_threads_run(simulate):
    # The second thread is what ends the move that bmd waits for: if bmd held
    # the GIL, the thread could never run and the run would end at the
    # duration without "returned".
    run = simulate("""
        import threading
        import kestrix
        def stop_the_move():
            kestrix.msleep(300)
            kestrix.mtp(0, 1000, kestrix.gmpc(0))
        kestrix.mtp(0, 50, 10_000_000)
        threading.Thread(target=stop_the_move).start()
        kestrix.bmd(0)
        print("returned at:", kestrix.seconds())
    """, options=("--duration", "20"))
    assert "returned at:" in run.stdout, run.stderr
    assert run.returncode == 0


def test_drone_command_reaches_a_fake_drone(tmp_path):
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        pytest.skip("needs unshare and ip for a network namespace of its own")
    if subprocess.run(["unshare", "-rn", "true"], capture_output=True).returncode != 0:
        pytest.skip("network namespaces are not allowed here")
    program = tmp_path / "drone.py"
    program.write_text(
        "import kestrix\n"
        "print('connected:', kestrix.drone_connect())\n"
        "print('battery:', kestrix.get_drone_battery())\n"
        "kestrix.drone_takeoff()\n"
        "kestrix.drone_move(0.5, 0, 0, 0)\n"
        "kestrix.msleep(100)\n"
        "kestrix.drone_land()\n"
        "kestrix.drone_disconnect()\n")
    completed = subprocess.run(
        ["unshare", "-rn", PYTHON, os.path.join(HERE, "fake_drone.py"), "57",
         os.environ["KESTRIX_SIM"], "--speed", "1", PYTHON, "-u", str(program)],
        capture_output=True, text=True, timeout=60, env=_environment())
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "connected: 1" in completed.stdout
    assert "battery: 57" in completed.stdout
    commands = completed.stdout.split("AT commands:")[1].split()
    takeoff, land = 0x11540000 | (1 << 9), 0x11540000
    assert any(re.fullmatch(rf"AT\*REF=\d+,{takeoff}", c) for c in commands)
    # roll 0.5 goes out as the bits of the float.
    assert any(re.fullmatch(r"AT\*PCMD=\d+,1,1056964608,0,0,0", c) for c in commands)
    assert re.fullmatch(rf"AT\*REF=\d+,{land}", commands[-1])


def test_wrong_argument_type_raises_type_error_and_bad_ports_keep_c_results(kestrix_module):
    kestrix = kestrix_module
    for call in (lambda: kestrix.mtp("0", 100, 100),
                 lambda: kestrix.set_servo_position(0, 1.5),
                 lambda: kestrix.set_a_button_text(5),
                 lambda: kestrix.drone_move("up", 0, 0, 0),
                 lambda: kestrix.Analog("3"),
                 lambda: kestrix.thread_create(5),
                 lambda: kestrix.mutex_lock(None)):
        with pytest.raises(TypeError):
            call()
    assert kestrix.get_servo_position(4) == 65535
    assert kestrix.mav(-1, 100) == -1
    assert kestrix.get_motor_done(4) == -1
    assert kestrix.graphics_open(0, 10) == -1


def test_every_exported_c_function_has_a_python_counterpart(kestrix_module):
    symbols = subprocess.run(["nm", "-D", "--defined-only", os.environ["KESTRIX_LIBRARY"]],
                             capture_output=True, text=True, check=True).stdout
    c_functions = {line.split()[2] for line in symbols.splitlines()
                   if len(line.split()) == 3 and line.split()[1] == "T" and not line.split()[2].startswith("_")}
    assert len(c_functions) > 150
    missing = sorted(name for name in c_functions if not callable(getattr(kestrix_module, name, None)))
    assert missing == []
    # Editors see them too: the stubs declare every one that the extension
    # itself defines (the threads are plain Python, typed in place).
    stubs = os.path.join(os.path.dirname(kestrix_module.__file__), "_kestrix.pyi")
    with open(stubs, encoding="utf-8") as source:
        declared = {node.name for node in ast.parse(source.read()).body if isinstance(node, ast.FunctionDef)}
    assert sorted(name for name in c_functions if not name.startswith("thread_") and name not in declared) == []


def test_installed_module_loads_the_installed_library(tmp_path):
    prefix = tmp_path / "prefix"
    for component in ("runtime", "python"):
        subprocess.run([os.environ["KESTRIX_CMAKE"], "--install", os.environ["KESTRIX_BUILD_DIR"], "--prefix",
                        str(prefix), "--component", component], check=True, capture_output=True)
    packages = list(prefix.glob("lib/python3*/dist-packages"))
    assert len(packages) == 1
    env = {key: value for key, value in os.environ.items() if key not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = str(packages[0])
    shown = subprocess.run(
        [PYTHON, "-c", "import kestrix\n"
                       "print(kestrix.__file__)\n"
                       "print(kestrix.__version__)\n"
                       "print(next(l.split()[-1] for l in open('/proc/self/maps') if 'libkestrix.so' in l))"],
        capture_output=True, text=True, env=env, cwd=tmp_path, check=True).stdout.split("\n")
    assert shown[0].startswith(str(packages[0]))
    assert re.fullmatch(r"\d+\.\d+\.\d+", shown[1])
    assert shown[2].startswith(str(prefix))


def test_camera_sees_the_red_block_sweep_left_as_the_robot_turns_right(simulate):
    run = simulate("""
        import kestrix
        print("opened:", kestrix.camera_open_device_model_at_res(0, 0, 0))
        print("loaded:", kestrix.camera_load_config("1"))
        red = kestrix.get_channel_index("red")
        for frame in range(60):
            kestrix.camera_update()
            print("frame:", kestrix.get_object_count(red), kestrix.get_object_center_x(red, 0),
                  kestrix.get_object_center_y(red, 0), kestrix.get_object_area(red, 0),
                  kestrix.get_object_bbox_ulx(red, 0), kestrix.get_object_bbox_uly(red, 0),
                  kestrix.get_object_bbox_brx(red, 0), kestrix.get_object_bbox_bry(red, 0))
        kestrix.camera_close()
    """, script="0 spin -20\n",
        options=("--world", os.path.join(os.environ["KESTRIX_SOURCE_DIR"], "sim/worlds/arena.json")))
    assert run.returncode == 0, run.stderr
    assert run.value("opened") == 1
    assert run.value("loaded") == 1
    frames = [[int(v) for v in line.split()[1:]] for line in run.stdout.splitlines() if line.startswith("frame:")]
    assert len(frames) == 60, run.stdout
    for count, x, y, area, ulx, uly, brx, bry in frames:
        assert count >= 1 and x != -1 and y != -1 and area > 0, frames
        assert ulx <= x <= brx and uly <= y <= bry, frames
    xs = [frame[1] for frame in frames]
    # Turning right by 40 degrees of a 60 degree view: the block only ever
    # moves left, and by most of the picture's 160 columns.
    assert all(later <= earlier for earlier, later in zip(xs, xs[1:])), xs
    assert xs[0] - xs[-1] > 80, xs


def test_graphics_show_on_the_simulated_screen(tmp_path):
    """What a Python program draws reaches the controller's screen, as the
    simulator's panel serves it on loopback."""
    program = tmp_path / "draw.py"
    program.write_text(
        "import kestrix\n"
        "print('opened:', kestrix.graphics_open(200, 120))\n"
        "kestrix.graphics_circle_fill(150, 60, 20, 0, 0, 255)\n"
        "kestrix.graphics_update()\n"
        "print('drawn')\n"
        "kestrix.msleep(3000)\n"
        "kestrix.graphics_close()\n")
    launcher = subprocess.Popen([os.environ["KESTRIX_SIM"], "--panel=0", "--speed", "1", PYTHON, "-u", str(program)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_environment())
    try:
        port = None
        for line in launcher.stderr:
            if "built without the panel" in line:
                pytest.skip("this kestrix-sim has no panel to show its screen")
            match = re.search(r"panel at http://127\.0\.0\.1:(\d+)", line)
            if match:
                port = int(match.group(1))
                break
        assert port, "the launcher named no panel address"
        assert launcher.stdout.readline() == "opened: 0\n"
        assert launcher.stdout.readline() == "drawn\n"
        screen = urllib.request.urlopen(f"http://127.0.0.1:{port}/screen", timeout=10).read()
        assert len(screen) == 320 * 240 * 4

        def pixel(x, y):
            at = (y * 320 + x) * 4
            return tuple(screen[at:at + 3])

        blue, black = (0, 0, 255), (0, 0, 0)
        assert pixel(150, 60) == blue
        assert pixel(170, 60) == blue and pixel(150, 40) == blue   # the disc's edge
        assert pixel(172, 60) == black and pixel(100, 60) == black  # beside it, inside the window
        assert launcher.wait(timeout=30) == 0, launcher.stderr.read()
    finally:
        launcher.kill()
        launcher.wait()
