"""What the browser tests of galvoria-host ui share: for each test the local galvoria service in test
mode on the build's compiled-in port, a headless Chromium driven through chromium-driver and, once
the test opens the page, `galvoria-host ui --no-browser` with a folder of its own. Run by ctest as
    /usr/bin/python3 SCRIPT --host BIN --devserver BIN --service URL --screenshots DIR
"""

import argparse
import base64
import json
import os
import secrets
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest
import urllib.request
import zlib

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

DEMO_EMAIL = "demo@galvoria.test"
DEMO_PASSWORD = "galvoria-demo"  # the seeded demo account of galvoria-devserver
ARGS = None  # the command line, read by main()


def png(width, height, seed):
    """A PNG of one colour, different for each seed."""
    rows = (b"\0" + bytes(((seed * 71) % 256, (seed * 151) % 256, (seed * 43 + 90) % 256)) * width) * height

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


def spawn(command, log, first, **options):
    """Starts `command`, its errors into `log`; returns it with its first line, which must hold `first`."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=log, **options)
    line = process.stdout.readline().decode(errors="replace").strip()
    if first not in line:
        stop(process, signal.SIGTERM)
        raise RuntimeError(f"{os.path.basename(command[0])} did not start: {line!r}")
    return process, line


def stop(process, how):
    """Ends the process with the signal `how`, killing it when it lingers."""
    process.send_signal(how)
    try:
        process.wait(20)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    process.stdout.close()


def start_browser(folder):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1280,1000", "--hide-scrollbars", f"--user-data-dir={folder}/profile"):
        options.add_argument(argument)
    service = Service("/usr/bin/chromedriver", env=dict(os.environ, HOME=folder))
    return webdriver.Chrome(service=service, options=options)


class PageTest(unittest.TestCase):
    """A folder, the local service and a browser for each test; the host once the test opens the page."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="galvoria-ui-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.service, self.token = ARGS.service, secrets.token_hex(16)
        # The service's own errors go to the test's output.
        service, _ = spawn([ARGS.devserver, "--port", self.service.rsplit(":", 1)[1], "--test-mode", "--test-token",
                            self.token, "--storage", os.path.join(self.folder, "storage")], None, "listening")
        self.addCleanup(stop, service, signal.SIGTERM)
        self.driver = start_browser(self.folder)
        self.addCleanup(self.driver.quit)
        self.prefs = os.path.join(self.folder, "preferences.json")
        self.host_log = os.path.join(self.folder, "host.log")
        self.host = None

    def tearDown(self):
        if self.host is not None:
            stop(self.host, signal.SIGINT)
            with open(self.host_log, errors="replace") as log:
                text = log.read()
            # The host's log never holds the link's key or the password typed into the page.
            self.assertNotIn(self.url.split("key=")[-1], text)
            self.assertNotIn(DEMO_PASSWORD, text)

    def control(self, method, path, body=None):
        """Asks the local service's test surface; its answer."""
        request = urllib.request.Request(self.service + path, method=method,
                                         data=None if body is None else json.dumps(body).encode(),
                                         headers={"X-Galvoria-Test-Token": self.token,
                                                  "Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=30) as answer:
            return json.loads(answer.read() or "null")

    def fault(self, route, action, **members):
        self.control("POST", "/_test/faults", {"route": route, "action": action, **members})

    def project_named(self, name):
        return next(project for project in self.control("GET", "/_test/state")["projects"] if project["name"] == name)

    def photo(self, name, content):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as file:
            file.write(content)
        return path

    def open_page(self, files=(), logged_in=True, extra=()):
        """Starts the host on `files` and opens its link; waits until both panels are drawn."""
        if logged_in:
            token = self.control("POST", "/_test/token", {"email": DEMO_EMAIL})["token"]
            with open(self.prefs, "w") as store:
                json.dump({"api-token": token, "username-item": DEMO_EMAIL}, store)
        with open(self.host_log, "wb") as log:
            self.host, line = spawn([ARGS.host, "ui", "--no-browser", "--verbose", "--prefs", self.prefs, *extra, *files],
                                    log, "Open http://127.0.0.1:",
                                    env=dict(os.environ, HOME=self.folder, XDG_RUNTIME_DIR=self.folder))
        self.url = line[len("Open "):]
        self.driver.get(self.url)
        self.wait(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "true")
        self.settled()

    def wait(self, condition, seconds=20, message=""):
        def tolerant(driver):
            try:
                return condition(driver)
            except StaleElementReferenceException:
                return False

        try:
            return WebDriverWait(self.driver, seconds, poll_frequency=0.05).until(tolerant)
        except TimeoutException:
            self.shot("timeout-" + self.id().rsplit(".", 1)[-1])
            raise AssertionError(f"timed out waiting: {message}") from None

    def settled(self):
        """Waits until no request of either panel is pending."""
        self.wait(lambda d: all(d.find_element(By.ID, panel).get_attribute("aria-busy") == "false"
                                for panel in ("account", "options")), message="the panels to settle")

    def item(self, identifier):
        return self.driver.find_element(By.CSS_SELECTOR, f'[data-item="{identifier}"]')

    def text(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css).text

    def choose(self, identifier, title):
        Select(self.item(identifier)).select_by_visible_text(title)
        self.settled()

    def type_into(self, identifier, text, then=Keys.TAB):
        # Select-all and type over: clearing first would send an empty value to the plugin.
        self.item(identifier).send_keys(Keys.CONTROL, "a")
        self.item(identifier).send_keys(text + then)
        self.settled()

    def cards(self):
        """{name: classes} of the photo cards."""
        return {card.get_attribute("data-name"): card.get_attribute("class").split()
                for card in self.driver.find_elements(By.CSS_SELECTOR, "#photos .photo")}

    def shot(self, name):
        """Saves a screenshot of the whole page under the build folder."""
        size = self.driver.execute_cdp_cmd("Page.getLayoutMetrics", {})["cssContentSize"]
        picture = self.driver.execute_cdp_cmd("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}})
        with open(os.path.join(ARGS.screenshots, name + ".png"), "wb") as file:
            file.write(base64.b64decode(picture["data"]))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--host", "--devserver", "--service", "--screenshots"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.service = ARGS.service.rstrip("/")
    os.makedirs(ARGS.screenshots, exist_ok=True)
    os.umask(0o077)  # the preference file and the folders are the test's alone
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
