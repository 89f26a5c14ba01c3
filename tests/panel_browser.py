#!/usr/bin/python3
"""kestrix-sim --panel in a real headless browser.

Loads the panel of side_button_check, sees the program's output in the
console, clicks the side button and sees the program end with status 0;
chooses the full speed on a run with a duration, which ends it at once, and
still sees the end and the summary, and the launcher gone within two
seconds; with a world, loads the panel of a line-follower run and sees the
robot's drawn position change between two frames. Saves a screenshot of the
last page. Exits 77 (skipped) when the browser or Selenium is missing.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--checkout", required=True)
    parser.add_argument("--screenshot", required=True)
    parser.add_argument("--world")
    parser.add_argument("--line-follower")
    arguments = parser.parse_args()
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        print("skipped: chromium and chromium-driver are not installed")
        return 77
    profile = tempfile.mkdtemp(prefix="kestrix-panel-browser.")
    driver = browser(profile)
    try:
        side_button_run(driver, arguments)
        max_speed_run(driver, arguments)
        if arguments.world and arguments.line_follower:
            line_follower_run(driver, arguments)
        else:
            driver.save_screenshot(arguments.screenshot)
        print("screenshot: " + arguments.screenshot)
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
