#!/usr/bin/python3
"""The panel's history and its views in headless Chromium, as figures.

1. camera_tracker (bench/) on arena.json at --speed 1 with the camera view
   and four plotted signals on the page: states the page draws a second.
2. line_follower on line.json for ten simulated minutes at --speed max: the
   real time, the samples, the bytes the launcher's history holds (its own
   count) and the launcher's peak resident memory.
3. A page opened on that finished run: seconds from the request until the
   whole path and four charts are drawn.

    bench_panel_history.py LAUNCHER CAMERA_TRACKER LINE_FOLLOWER ARENA LINE

Prints figures; asserts nothing about time.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

SIGNALS = ["analog0", "motor0.speed", "motor1.speed", "heading"]


def start(launcher, arguments):
    process = subprocess.Popen([launcher, "--panel=0"] + arguments, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    url = re.search(r"panel at (http://\S+)", process.stderr.readline()).group(1)
    return process, url


def state(url):
    with urllib.request.urlopen(url + "/state", timeout=10) as reply:
        return json.load(reply)


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1))


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile,
                 "--window-size=1280,1000"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def choose(driver, url):
    driver.get(url)
    driver.execute_script("localStorage.setItem('kestrix-panel-signals', arguments[0])", json.dumps(SIGNALS))


def main():
    launcher, tracker, follower, arena, line = sys.argv[1:6]
    profile = tempfile.mkdtemp(prefix="kestrix-bench-panel.")
    driver = browser(profile)
    try:
        process, url = start(launcher, ["--duration", "60", "--world", arena, tracker])
        choose(driver, url)
        driver.get(url)
        time.sleep(2)
        frames = lambda: int(driver.execute_script("return Number(document.body.dataset.frames)"))
        first, since = frames(), time.monotonic()
        time.sleep(5)
        rate = (frames() - first) / (time.monotonic() - since)
        pictures = driver.execute_script("return document.getElementById('camera').dataset.scale")
        charts = len(driver.find_elements("css selector", ".chart"))
        print("camera view (%s) and %d charts: %.1f states drawn a second" %
              ("drawn" if pictures else "not drawn", charts, rate))
        process.terminate()
        process.wait()

        process, url = start(launcher, ["--panel-linger", "120", "--speed", "max", "--duration", "600",
                                        "--world", line, follower])
        began = time.monotonic()
        while "ended" not in state(url):
            time.sleep(0.05)
        real = time.monotonic() - began
        history = state(url)["history"]
        print("600 s simulated at --speed max in %.1f s real: %d samples, %d dropped, history %.1f MB, "
              "launcher's peak resident memory %.1f MB" %
              (real, history["samples"], history["dropped"], history["bytes"] / 1e6, peak_kib(process.pid) / 1024))
        choose(driver, url)
        loaded = time.monotonic()
        driver.get(url)
        shown = ("return Number(document.body.dataset.historySamples) === %d &&"
                 " document.querySelectorAll('.chart').length === %d &&"
                 " Number(document.getElementById('field').dataset.pathPoints) === %d" %
                 (history["samples"], len(SIGNALS), history["samples"]))
        while not driver.execute_script(shown):
            time.sleep(0.01)
        drawn = driver.execute_script("return Number(document.body.dataset.historyDrawnMs)")
        print("the finished run's page: path of %d samples and %d charts drawn %.2f s after the page's start "
              "(by the page's clock; %.2f s by this script's, with WebDriver's round trips)" %
              (history["samples"], len(SIGNALS), drawn / 1000, time.monotonic() - loaded))
        process.terminate()
        process.wait()
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
