"""What the browser tests of galvoria-host ui share.

The local galvoria service runs on the build's compiled-in port in test mode; each test starts
`galvoria-host ui --no-browser` with a preference file and a data folder of its own, and drives the
page it serves in headless Chromium through chromium-driver. Screenshots go to the build folder.

Run by ctest as
    /usr/bin/python3 SCRIPT --host BIN --devserver BIN --service URL --screenshots DIR
"""

import argparse
import base64
import json
import os
import secrets
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
import zlib

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
DEMO_EMAIL = "demo@galvoria.test"
DEMO_PASSWORD = "galvoria-demo"  # the seeded demo account of galvoria-devserver

ARGS = None  # the command line, read by main()

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError as missing:
    webdriver = None
    SELENIUM_PROBLEM = str(missing)


def require_browser():
    """Stops the run, failing, when the browser or its driver is not installed."""
    problems = []
    if webdriver is None:
        problems.append(f"python3-selenium is not usable from {sys.executable} ({SELENIUM_PROBLEM})")
    for path, package in ((CHROMIUM, "chromium"), (CHROMEDRIVER, "chromium-driver")):
        if not os.access(path, os.X_OK):
            problems.append(f"{path} is missing (Debian package {package})")
    if problems:
        print("The browser tests need Chromium, its driver and Selenium: " + "; ".join(problems), file=sys.stderr)
        print("Install them with scripts/install-deps.", file=sys.stderr)
        sys.exit(1)


# --- sample files -------------------------------------------------------------------------

JPEG = base64.b64decode(
    "/9j/4AAQSkZJRgABAQAAAQABAAD/2wBDAAoHBwgHBgoICAgLCgoLDhgQDg0NDh0VFhEYIx8lJCIfIiEmKzcvJik0KSEiMEExNDk7Pj4+"
    "JS5ESUM8SDc9Pjv/2wBDAQoLCw4NDhwQEBw7KCIoOzs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7Ozs7"
    "Ozv/wAARCAB4AKADASIAAhEBAxEB/8QAFwABAQEBAAAAAAAAAAAAAAAAAAECBP/EABUQAQEAAAAAAAAAAAAAAAAAAAAR/8QAGAEBAQEB"
    "AQAAAAAAAAAAAAAAAAMEBQb/xAAYEQEBAQEBAAAAAAAAAAAAAAAAERIBE//aAAwDAQACEQMRAD8A7BBxY9ZtRAhtRAhtRAhtRAhtRAht"
    "RAhtRAhtRAhtRAhtBkVjFtoZCG2hkIbaGQhtoZCG2hkIbaGQhtoZCG2hkIbaGQhtBKVWMe1EpSG1EpSG1EpSG1EpSG1EpSG1EpSG1Ep"
    "SG1EpSG1EpSG0pWaVaMW2qVmlIbapWaUhtqlZpSG2qVmlIbapWaUhtqlZpSG2qVmlIbapWaUhtqlZpSG0EFYxbUQIbUQIbUQIbUQIbUQ"
    "IbUQIbUQIbUQIbUQIbSlQVjF6LSoEPRaVAh6LSoEPRaVAh6LSoEPRaVAh6LSoEPRaVAh6LSoEPRkQVjFtRAhtRAhtRAhtRAhtRAhtRAh"
    "tRAhtRAhtRAhtRAhtAFGW9AAvQAL0AC9AAvQAL0AC9AAvQAL0AC9f/9k="
)
WEBP = base64.b64decode(
    "UklGRtIAAABXRUJQVlA4IMYAAAAQDACdASqgAHgAPrVaplCnJKMioGiY4BaJZ27hdcYI4A7DrdYqP+jPL7AD7Tk2XohaSxyWSes2/HOU"
    "DF/COcqy+EdYf8k9Zt+OZleeiFpLuxCaxrgEk9Zt+K6wOWku7ELR5H3SFLSXcZAA/v6tS2Km7BLfqPI1kZP9IZfJ7dxKIJSNZ4E3a/of"
    "i9qesZ9BHoRrHKtbsEiPYFAZgXgI0lKIJTHRVAs8PO4reKymv7G6+mTKihgaRiav1DKvQxE6D4h/eTCAAAA="
)


def png(width, height, seed):
    """A PNG of a colour gradient, different for each seed."""
    r0, g0, b0 = (seed * 71) % 256, (seed * 151) % 256, (seed * 43 + 90) % 256
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows += bytes(((r0 + x) % 256, (g0 + y) % 256, (b0 + (x + y) // 2) % 256))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows))) + chunk(b"IEND", b"")


# --- the local service --------------------------------------------------------------------


class LocalService:
    """galvoria-devserver in test mode on the compiled-in port, with its control surface."""

    def __init__(self, folder):
        self.origin = ARGS.service.rstrip("/")
        self.port = int(self.origin.rsplit(":", 1)[1])
        self.token = secrets.token_hex(16)
        self.log = open(os.path.join(folder, "devserver.log"), "wb")
        self.process = subprocess.Popen(
            [ARGS.devserver, "--port", str(self.port), "--test-mode", "--test-token", self.token,
             "--storage", os.path.join(folder, "storage")],
            stdout=subprocess.PIPE, stderr=self.log)
        line = read_line(self.process, 60)
        if "listening" not in line:
            self.stop()
            raise RuntimeError(f"galvoria-devserver did not start: {line!r}")

    def control(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.origin + path, data=data, method=method)
        request.add_header("X-Galvoria-Test-Token", self.token)
        if data is not None:
            request.add_header("Content-Type", "application/json")
        with urllib.request.urlopen(request, timeout=30) as answer:
            text = answer.read()
        return json.loads(text) if text else None

    def reset(self):
        self.control("POST", "/_test/reset", {})

    def fault(self, route, action, **members):
        self.control("POST", "/_test/faults", {"route": route, "action": action, **members})

    def requests(self):
        return self.control("GET", "/_test/requests")["requests"]

    def clear_requests(self):
        self.control("DELETE", "/_test/requests")

    def state(self):
        return self.control("GET", "/_test/state")

    def signed_files(self):
        """(file name, project id) of every upload signing the service was asked for, in order."""
        signed = []
        for request in self.requests():
            if request["method"] == "POST" and request["target"].startswith("/api/upload/sign"):
                body = json.loads(request["body"])
                signed.append((body["fileName"], body["projectId"]))
        return signed

    def project_named(self, name):
        projects = [project for project in self.state()["projects"] if project["name"] == name]
        return projects[0] if len(projects) == 1 else None

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.log.close()


def read_line(process, seconds):
    """The process's next line on standard output, or what came before it ended or the time ran out."""
    deadline = time.monotonic() + seconds
    line = b""
    while not line.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([process.stdout], [], [], 0.2)
        if ready:
            byte = os.read(process.stdout.fileno(), 1)
            if not byte:
                break
            line += byte
        elif process.poll() is not None:
            break
    return line.decode(errors="replace").strip()


# --- galvoria-host ui ---------------------------------------------------------------------


class UiHost:
    """`galvoria-host ui --no-browser` with the test's preference file, data folder and files."""

    def __init__(self, folder, prefs, files=(), extra=()):
        self.folder = folder
        self.prefs = prefs
        runtime = os.path.join(folder, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        environment = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
        environment.update(HOME=os.path.join(folder, "home"), XDG_RUNTIME_DIR=runtime, TMPDIR=runtime)
        self.log_path = os.path.join(folder, "host.log")
        self.log = open(self.log_path, "wb")
        self.process = subprocess.Popen(
            [ARGS.host, "ui", "--no-browser", "--verbose", "--prefs", self.prefs, *extra, *files],
            stdout=subprocess.PIPE, stderr=self.log, env=environment)
        line = read_line(self.process, 60)
        if not line.startswith("Open http://127.0.0.1:"):
            self.stop()
            raise RuntimeError(f"galvoria-host ui did not print its link: {line!r}\n{self.log_text()}")
        self.url = line[len("Open "):]
        self.origin = self.url.split("/#", 1)[0]

    def stop(self):
        """Ends the host as Ctrl-C does; its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.log.close()
        return self.process.returncode

    def log_text(self):
        with open(self.log_path, "rb") as log:
            return log.read().decode(errors="replace")


def log_in_directly(service, prefs):
    """Stores the demo account's token in the preference file, without the login form."""
    token = service.control("POST", "/_test/token", {"email": DEMO_EMAIL})["token"]
    os.makedirs(os.path.dirname(prefs), mode=0o700, exist_ok=True)
    descriptor = os.open(prefs, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(descriptor, "w") as store:
        json.dump({"api-token": token, "username-item": DEMO_EMAIL}, store)
        store.write("\n")


# --- the browser --------------------------------------------------------------------------


def start_browser(folder):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--no-first-run", "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", "--window-size=1280,1000", "--hide-scrollbars",
                     f"--user-data-dir={os.path.join(folder, 'profile')}"):
        options.add_argument(argument)
    home = os.path.join(folder, "home")
    environment = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"))
    service = Service(CHROMEDRIVER, env=environment, log_path=os.path.join(folder, "chromedriver.log"))
    return webdriver.Chrome(service=service, options=options)


class PageTest(unittest.TestCase):
    """One local service and one browser for the file's tests; a host and a folder for each test."""

    @classmethod
    def setUpClass(cls):
        cls.shared = tempfile.mkdtemp(prefix="galvoria-ui-")
        cls.service = LocalService(cls.shared)
        try:
            cls.driver = start_browser(cls.shared)
        except Exception:
            cls.service.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.service.stop()
        shutil.rmtree(cls.shared, ignore_errors=True)

    def setUp(self):
        self.service.reset()
        self.folder = tempfile.mkdtemp(prefix="case-", dir=self.shared)
        os.chmod(self.folder, 0o700)
        self.photos = os.path.join(self.folder, "photos")
        self.prefs = os.path.join(self.folder, "config", "preferences.json")
        os.makedirs(self.photos)
        self.host = None
        self.driver.set_window_size(1280, 1000)

    def tearDown(self):
        if self.host is not None:
            self.host.stop()
            log = self.host.log_text()
            # The host's log never holds the link's key or the password typed into the page.
            self.assertNotIn(self.host.url.split("key=")[-1], log)
            self.assertNotIn(DEMO_PASSWORD, log)
        for handle in self.driver.window_handles[1:]:
            self.driver.switch_to.window(handle)
            self.driver.close()
        self.driver.switch_to.window(self.driver.window_handles[0])
        self.driver.delete_all_cookies()

    # Files and the host.

    def photo(self, name, content):
        path = os.path.join(self.photos, name)
        with open(path, "wb") as file:
            file.write(content)
        return path

    def open_page(self, files=(), logged_in=True, extra=()):
        """Starts the host on `files` and opens its link; waits until both panels are drawn."""
        if logged_in:
            log_in_directly(self.service, self.prefs)
        self.host = UiHost(self.folder, self.prefs, files, extra)
        self.driver.get(self.host.url)
        self.wait(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "true")
        self.settled()

    # Waiting and finding.

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
            if self.host is not None:
                print("The host's log, to the end:\n" + self.host.log_text()[-6000:], file=sys.stderr)
            raise AssertionError(f"timed out waiting: {message}") from None

    def settled(self):
        """Waits until no request of either panel is pending."""
        self.wait(lambda d: all(d.find_element(By.ID, panel).get_attribute("aria-busy") == "false"
                                for panel in ("account", "options")), message="the panels to settle")

    def item(self, identifier):
        return self.driver.find_element(By.CSS_SELECTOR, f'[data-item="{identifier}"]')

    def items(self, within):
        return [node.get_attribute("data-item") for node in
                self.driver.find_elements(By.CSS_SELECTOR, f"#{within} [data-item]")]

    def text(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css).text

    def choose(self, identifier, title):
        Select(self.item(identifier)).select_by_visible_text(title)
        self.settled()

    def options_of(self, identifier):
        return [option.text for option in Select(self.item(identifier)).options]

    def type_into(self, identifier, text, then=Keys.TAB):
        # Select-all and type over: clearing first would send an empty value to the plugin.
        self.item(identifier).send_keys(Keys.CONTROL, "a")
        self.item(identifier).send_keys(text + then)
        self.settled()

    def cards(self):
        """{name: classes} of the photo cards."""
        return {card.get_attribute("data-name"): card.get_attribute("class").split()
                for card in self.driver.find_elements(By.CSS_SELECTOR, "#photos .photo")}

    def shot(self, name, width=None, dark=False):
        """Saves a screenshot of the whole page, `width` pixels wide, under the build folder."""
        os.makedirs(ARGS.screenshots, exist_ok=True)
        if width is not None:
            self.driver.set_window_size(width, 900)
        if dark:
            self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                        {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
        size = self.driver.execute_cdp_cmd("Page.getLayoutMetrics", {})["cssContentSize"]
        picture = self.driver.execute_cdp_cmd("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}})
        with open(os.path.join(ARGS.screenshots, name + ".png"), "wb") as file:
            file.write(base64.b64decode(picture["data"]))
        if dark:
            self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--host", "--devserver", "--service", "--screenshots"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    require_browser()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
