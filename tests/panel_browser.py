#!/usr/bin/python3
"""kestrix-sim --panel in a real headless browser.

Loads the panel of side_button_check, sees the program's output in the
console, clicks the side button and sees the program end with status 0;
chooses the full speed on a run with a duration, which ends it at once, and
still sees the end and the summary, and the launcher gone within two
seconds; with a world, loads the panel of a line-follower run and sees the
robot's drawn position change between two frames. Saves a screenshot of the
last page. Holds Space for the side button and drags the robot; plots a
scripted analog input and keeps the choice of signals over a reload; sees
the red block's box on the camera view; scrubs a finished run back to an
earlier moment and sees the robot drawn where it was then. In a match of
two programs on the table, sees both robots on the field, chooses the
second robot, keeps that choice over a reload and clicks its side button,
which ends its program alone; saves a picture of two push_to_zone robots.
Exits 77 (skipped) when the browser or Selenium is missing.
"""
import argparse
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


class Panel:
    """kestrix-sim --panel=0 on a program, and its page's address."""

    def __init__(self, launcher, arguments):
        self.process = subprocess.Popen([launcher, "--panel=0"] + arguments, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        line = self.process.stderr.readline()
        found = re.search(r"panel at (http://127\.0\.0\.1:\d+)$", line)
        if not found:
            self.process.kill()
            raise AssertionError("no panel address in: %r" % line)
        self.url = found.group(1)  # without a trailing slash: URL + "/state"

    def wait(self, seconds=10):
        status = self.process.wait(seconds)
        self.out = self.process.stdout.read()
        self.err = self.process.stderr.read()
        return status

    def close(self):
        # SIGTERM: the launcher passes it on, so the program does not outlive it.
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + profile, "--window-size=1280,1000"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def side_button_run(driver, arguments):
    panel = Panel(arguments.launcher, [os.path.join(arguments.checkout, "side_button_check")])
    try:
        driver.get(panel.url)
        wait = WebDriverWait(driver, 10)
        wait.until(lambda d: "Waiting for 'side' button to be pressed..." in
                   d.find_element(By.ID, "console").text)
        side = driver.find_element(By.CSS_SELECTOR, '[data-button="side"]')
        ActionChains(driver).click_and_hold(side).pause(0.15).release().perform()
        wait.until(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-exit-status") == "0")
        assert "Bingo!... closing program." in driver.find_element(By.ID, "console").text
        assert driver.find_element(By.ID, "ended").is_displayed()
        assert "exited with status 0" in driver.find_element(By.ID, "summary").text
        assert driver.find_element(By.ID, "run-state").text == "ended"
        assert panel.wait() == 0, panel.err
        print("side_button_check: console seen, side button clicked, program ended with status 0")
    finally:
        panel.close()


def max_speed_run(driver, arguments):
    panel = Panel(arguments.launcher, ["--duration", "30", os.path.join(arguments.checkout, "side_button_check")])
    try:
        driver.get(panel.url)
        wait = WebDriverWait(driver, 10)
        wait.until(lambda d: d.find_element(By.ID, "run-state").text == "running")
        Select(driver.find_element(By.ID, "speed-choice")).select_by_value("max")
        chosen = time.monotonic()
        wait.until(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-exit-status") == "0")
        assert "ended at --duration after 30.000 s simulated" in driver.find_element(By.ID, "summary").text
        assert driver.find_element(By.ID, "run-state").text == "ended"
        assert panel.wait() == 0, panel.err
        seconds = time.monotonic() - chosen
        assert seconds < 2, "the launcher took %.1f s to end" % seconds
        print("side_button_check --duration 30: full speed chosen, end shown, launcher gone after %.2f s" % seconds)
    finally:
        panel.close()


def line_follower_run(driver, arguments):
    panel = Panel(arguments.launcher, ["--world", arguments.world, "--duration", "60", arguments.line_follower])
    try:
        driver.get(panel.url)
        wait = WebDriverWait(driver, 10)
        field = driver.find_element(By.ID, "field")
        wait.until(lambda d: field.get_attribute("data-robot-x"))

        def drawn():
            return (field.get_attribute("data-robot-x"), field.get_attribute("data-robot-y"),
                    int(driver.find_element(By.TAG_NAME, "body").get_attribute("data-frames")))

        first = drawn()
        time.sleep(1.0)
        second = drawn()
        assert second[2] > first[2], "no new frame: %r %r" % (first, second)
        assert second[:2] != first[:2], "the robot was drawn at the same place: %r %r" % (first, second)
        frames_per_second = (second[2] - first[2]) / 1.0
        print("line_follower: robot drawn at %s then %s; %.0f frames in a second" %
              (first[:2], second[:2], frames_per_second))
        time.sleep(1.5)  # a longer path for the picture
        driver.save_screenshot(arguments.screenshot)
    finally:
        panel.close()


def state_of(panel):
    with urllib.request.urlopen(panel.url + "/state", timeout=5) as reply:
        return json.load(reply)


def keyboard_and_drag_runs(driver, arguments):
    """Space held on the page is the side button; the robot dragged on the
    field is put where it was dropped."""
    panel = Panel(arguments.launcher, [os.path.join(arguments.checkout, "side_button_check")])
    try:
        driver.get(panel.url)
        wait = WebDriverWait(driver, 10)
        wait.until(lambda d: "Waiting for 'side' button" in d.find_element(By.ID, "console").text)
        ActionChains(driver).key_down(" ").pause(0.15).key_up(" ").perform()
        wait.until(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-exit-status") == "0")
        assert panel.wait() == 0, panel.err
        print("side_button_check: Space pressed the side button, the program ended with status 0")
    finally:
        panel.close()
    panel = Panel(arguments.launcher, ["--world", arguments.world, "--duration", "60", arguments.line_follower])
    try:
        driver.get(panel.url)
        wait = WebDriverWait(driver, 10)
        field = driver.find_element(By.ID, "field")
        wait.until(lambda d: field.get_attribute("data-robot-x"))
        # From the robot's drawn centre to 0.6 m x 0.5 m of the field.
        box = driver.execute_script(
            "const c = document.getElementById('field'), r = c.getBoundingClientRect();"
            "return {w: r.width, h: r.height, cw: c.width, ch: c.height, fw: world.width};")
        per_pixel = box["w"] / box["cw"]
        robot = (float(field.get_attribute("data-robot-x")) * per_pixel,
                 float(field.get_attribute("data-robot-y")) * per_pixel)
        metres = box["cw"] / box["fw"]
        target = (0.6 * metres * per_pixel, (box["ch"] - 0.5 * metres) * per_pixel)
        ActionChains(driver).move_to_element_with_offset(field, robot[0] - box["w"] / 2, robot[1] - box["h"] / 2) \
            .click_and_hold().move_by_offset(int(target[0] - robot[0]), int(target[1] - robot[1])) \
            .pause(0.1).release().perform()
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            pose = state_of(panel)["robot"]
            if math.hypot(pose["x"] - 0.6, pose["y"] - 0.5) < 0.05:
                break
            time.sleep(0.05)
        assert math.hypot(pose["x"] - 0.6, pose["y"] - 0.5) < 0.05, "dragged robot at %r" % pose
        print("line_follower: robot dragged to (%.2f, %.2f)" % (pose["x"], pose["y"]))
    finally:
        panel.close()


def plot_run(driver, arguments):
    """A signal chosen from the list is plotted as the script drove it, and
    the choice outlives a reload."""
    folder = tempfile.mkdtemp(prefix="kestrix-panel-script.")
    script = os.path.join(folder, "steps.txt")
    with open(script, "w") as out:
        out.write("0 analog 3 1000\n1 analog 3 3000\n2 analog 3 500\n")
    panel = Panel(arguments.launcher, ["--panel-linger", "60", "--speed", "max", "--duration", "3",
                                       "--script", script, os.path.join(arguments.checkout, "analog_check")])
    try:
        driver.get(panel.url)
        wait = WebDriverWait(driver, 10)
        wait.until(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-exit-status") == "0")
        driver.find_element(By.CSS_SELECTOR, "#signals-card summary").click()
        for check in driver.find_elements(By.CSS_SELECTOR, "#signal-choice input"):
            if check.is_selected() != (check.get_attribute("data-signal") == "analog3"):
                check.click()
        read = ("const g = charts['analog3']; if (!g || g.numRows() < 140) return null;"
                "const at = (t) => { for (let r = 0; r < g.numRows(); ++r) if (g.getValue(r, 0) >= t) return g.getValue(r, 1); };"
                "return [at(0.5), at(1.5), at(2.5), g.numRows()];")
        values = wait.until(lambda d: d.execute_script(read))
        assert values[:3] == [1000, 3000, 500], "analog 3 plotted as %r" % values
        driver.refresh()
        values = wait.until(lambda d: d.execute_script(read))
        assert values[:3] == [1000, 3000, 500], "after a reload: %r" % values
        assert driver.find_element(By.CSS_SELECTOR, '.chart[data-signal="analog3"]').is_displayed()
        print("analog_check: analog 3 plotted as scripted, %d samples; still chosen after a reload" % values[3])
        driver.execute_script("window.scrollTo(0, document.getElementById('signals-card').offsetTop - 60)")
        driver.save_screenshot(os.path.join(os.path.dirname(arguments.screenshot), "panel-plot.png"))
    finally:
        panel.close()
        shutil.rmtree(folder, ignore_errors=True)


def camera_and_scrub_run(driver, arguments):
    """The camera view shows the red block's box in the arena; a scrub to an
    earlier time shows the field, the values and the picture as they were."""
    panel = Panel(arguments.launcher, ["--panel-linger", "60", "--world", arguments.arena,
                                       os.path.join(arguments.checkout, "camera_rate_check")])
    try:
        driver.get(panel.url)
        wait = WebDriverWait(driver, 10)
        camera = driver.find_element(By.ID, "camera")
        wait.until(lambda d: any(b["channel"] == "red" for b in json.loads(camera.get_attribute("data-blobs") or "[]")))
        red = [b for b in json.loads(camera.get_attribute("data-blobs")) if b["channel"] == "red"][0]
        scale = float(camera.get_attribute("data-scale"))
        # Just left of the blob (floor in the picture) the box's edge is drawn
        # in the channel's colour.
        edge = driver.execute_script(
            "const g = document.getElementById('camera').getContext('2d');"
            "return Array.from(g.getImageData(arguments[0], arguments[1], 1, 1).data);",
            int(red["left"] * scale) - 1, int((red["top"] + red["bottom"]) / 2 * scale))
        assert edge[0] > 200 and edge[1] < 80, "the red box's edge drawn as %r" % edge
        print("camera_rate_check: red box %r drawn on the camera view" % red)
        driver.find_element(By.ID, "camera-card").screenshot(
            os.path.join(os.path.dirname(arguments.screenshot), "panel-camera.png"))
    finally:
        panel.close()
    driver.get("about:blank")
    panel = Panel(arguments.launcher, ["--panel-linger", "60", "--speed", "max", "--duration", "30",
                                       "--world", arguments.world, arguments.line_follower])
    try:
        driver.get(panel.url)
        wait = WebDriverWait(driver, 10)
        wait.until(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-exit-status") == "0")
        field = driver.find_element(By.ID, "field")
        wait.until(lambda d: int(field.get_attribute("data-path-points") or 0) > 1400)
        end = (field.get_attribute("data-robot-x"), field.get_attribute("data-robot-y"))
        with urllib.request.urlopen(panel.url + "/at/5", timeout=5) as reply:
            then = json.load(reply)
        driver.execute_script("const t = document.getElementById('timeline'); t.value = 5;"
                              "t.dispatchEvent(new Event('input'));")
        wait.until(lambda d: d.find_element(By.ID, "shown-time").text == "5.00 s")
        scale = driver.execute_script("return document.getElementById('field').width / world.width")
        height = driver.execute_script("return document.getElementById('field').height")
        expected = (then["robot"]["x"] * scale, height - then["robot"]["y"] * scale)
        wait.until(lambda d: abs(float(field.get_attribute("data-robot-x")) - expected[0]) < 1 and
                   abs(float(field.get_attribute("data-robot-y")) - expected[1]) < 1)
        shown = (field.get_attribute("data-robot-x"), field.get_attribute("data-robot-y"))
        assert shown != end, "the scrubbed robot is drawn where the run ended: %r" % (shown,)
        points = int(field.get_attribute("data-path-points"))
        assert abs(points - 251) <= 1, "the path up to 5 s has %d points" % points
        print("line_follower: scrubbed to 5 s, robot drawn at %r (at the end %r), path of %d samples" %
              (shown, end, points))
        driver.save_screenshot(os.path.join(os.path.dirname(arguments.screenshot), "panel-scrubbed.png"))
    finally:
        panel.close()


def match_run(driver, arguments):
    """A match's page: both robots on the field, the chooser, the second
    robot's controls reaching its program alone."""
    side = os.path.join(arguments.checkout, "side_button_check")
    panel = Panel(arguments.launcher, ["--world", arguments.table, "--robot", side, "--robot", side])
    try:
        driver.get(panel.url)
        wait = WebDriverWait(driver, 10)
        field = driver.find_element(By.ID, "field")
        wait.until(lambda d: field.get_attribute("data-robot-x") and field.get_attribute("data-others"))
        choices = driver.find_elements(By.CSS_SELECTOR, "#robot-choice button")
        assert [c.text for c in choices] == ["Robot 1", "Robot 2"], [c.text for c in choices]
        assert field.get_attribute("data-others").startswith("1:"), field.get_attribute("data-others")
        first_x = float(field.get_attribute("data-robot-x"))
        choices[1].click()
        wait.until(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-robot") == "1")
        driver.refresh()
        wait.until(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-robot") == "1")
        field = driver.find_element(By.ID, "field")
        wait.until(lambda d: field.get_attribute("data-robot-x") and "Waiting for 'side' button" in
                   d.find_element(By.ID, "console").text)
        wait.until(lambda d: (field.get_attribute("data-others") or "").startswith("0:"))
        second_x = float(field.get_attribute("data-robot-x"))
        assert second_x > first_x + 100, "robot 2 drawn at x %.1f, robot 1 at %.1f" % (second_x, first_x)
        ActionChains(driver).click_and_hold(driver.find_element(By.CSS_SELECTOR, '[data-button="side"]')) \
            .pause(0.15).release().perform()
        wait.until(lambda d: "Bingo!" in d.find_element(By.ID, "console").text)
        time.sleep(0.3)
        assert "Bingo!" not in state_of(panel)["console"]["text"], "robot 1's program saw the click"
        print("match: both robots on the field, robot 2 chosen and kept over a reload, its click ended its program alone")
    finally:
        panel.close()
    driver.get("about:blank")
    pusher = arguments.push_to_zone
    panel = Panel(arguments.launcher, ["--panel-linger", "60", "--duration", "16", "--seed", "5", "--world",
                                       arguments.table, "--robot", pusher, "--robot", pusher])
    try:
        driver.get(panel.url)
        wait = WebDriverWait(driver, 10)
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, '#robot-choice button[data-robot="1"]'))[0].click()
        wait.until(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-robot") == "1")
        # Both robots in the centre zone, each with its piece.
        wait.until(lambda d: float(d.find_element(By.ID, "sim-time").text) > 8.5)
        driver.save_screenshot(os.path.join(os.path.dirname(arguments.screenshot), "panel-match.png"))
    finally:
        panel.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--checkout", required=True)
    parser.add_argument("--screenshot", required=True)
    parser.add_argument("--world")
    parser.add_argument("--line-follower")
    parser.add_argument("--arena")
    parser.add_argument("--table")
    parser.add_argument("--push-to-zone")
    arguments = parser.parse_args()
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        print("skipped: chromium and chromium-driver are not installed")
        return 77
    profile = tempfile.mkdtemp(prefix="kestrix-panel-browser.")
    driver = browser(profile)
    try:
        side_button_run(driver, arguments)
        max_speed_run(driver, arguments)
        plot_run(driver, arguments)
        if arguments.world and arguments.line_follower:
            line_follower_run(driver, arguments)
            keyboard_and_drag_runs(driver, arguments)
            if arguments.arena:
                camera_and_scrub_run(driver, arguments)
        if arguments.table and arguments.push_to_zone:
            match_run(driver, arguments)
        else:
            driver.save_screenshot(arguments.screenshot)
        print("screenshot: " + arguments.screenshot)
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
