"""The harness of the whole-process tests: a private desktop for the real app (TRAYLINE_BINARY) with
a profile of its own, the demo instance (TRAYLINE_DEMO_INSTANCE) and its test controls, a stand-in
tray, child processes that end with it, and waits that end on a condition or a time-out."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time
import urllib.request

REFERENCE_DATE = 978307200  # 2001-01-01T00:00:00Z, the epoch of stored token expiries


def wait_for(predicate, what="condition", timeout=20.0, step=0.05):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(step)
    return value


class PrivateDesktop:
    def __init__(self, owner=None):
        """`owner`: a uid that must be able to use the profile (the app then runs as that user)."""
        self.root = tempfile.mkdtemp(prefix="trayline-desktop-")
        self.config = os.path.join(self.root, "config")
        self.data = os.path.join(self.root, "data")
        self.runtime = os.path.join(self.root, "run")
        os.makedirs(self.runtime, mode=0o700)
        self.owner = owner
        self.processes, self.settings = [], {}
        self.url = self.app_log = None

    def close(self):
        for p in reversed(self.processes):
            if p.poll() is None:
                p.kill()
                p.wait()
        if self.app_log:
            self.app_log.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def spawn(self, argv, **kw):
        p = subprocess.Popen(argv, **kw)
        self.processes.append(p)
        return p

    def start_instance(self, *extra):
        """The demo instance with its test controls; its banner says the client and the group."""
        p = self.spawn([os.environ["TRAYLINE_DEMO_INSTANCE"], "--port", "0", "--control", *extra],
                       stdout=subprocess.PIPE, text=True)
        first = p.stdout.readline().strip()
        assert first.startswith("Listening on "), first
        self.url = first[len("Listening on "):]
        self.banner = dict(re.match(r"(.+?):\s+(.*)", p.stdout.readline()).groups() for _ in range(5))
        # Keep reading what it prints (the live simulation's changes) so its pipe never fills.
        threading.Thread(target=p.stdout.read, daemon=True).start()

    def control(self, action, **fields):
        request = urllib.request.Request(self.url + "/__control", data=json.dumps({"action": action, **fields}).encode(),
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as reply:
            return json.loads(reply.read() or b"{}")

    def update_settings(self, **changes):
        self.settings.update(changes)
        self.write("config/com.brindle.trayline/preferences.json", json.dumps(self.settings))

    def seed_signed_in_profile(self):
        """Settings, the client secret and a fresh token set, as a signed-in profile holds them."""
        self.update_settings(instanceURL=self.url, clientID=self.banner["OAuth client ID"], autoUpdate=False,
                             groupSysID=self.banner["Assignment group"].split("sys_id ")[1].rstrip(")"))
        tokens = self.control("issue_tokens")
        token_set = {"accessToken": tokens["access_token"], "refreshToken": tokens["refresh_token"],
                     "expiresAt": time.time() - REFERENCE_DATE + tokens["expires_in"]}
        keychain_dir = os.path.join(self.data, "com.brindle.Trayline")
        os.makedirs(keychain_dir, mode=0o700)
        path = os.path.join(keychain_dir, "keychain.json")
        with open(os.open(path, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            json.dump({"clientSecret": self.banner["OAuth client secret"], "tokens": json.dumps(token_set)}, f)
        if self.owner is not None:
            subprocess.run(["chown", "-R", f"{self.owner}:{self.owner}", self.root], check=True)

    def write(self, name, text):
        """A file of the desktop's, `name` relative to its root."""
        os.makedirs(os.path.dirname(os.path.join(self.root, name)), exist_ok=True)
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def app_env(self, **extra):
        return {**os.environ, "XDG_CONFIG_HOME": self.config, "XDG_DATA_HOME": self.data,
                "XDG_RUNTIME_DIR": self.runtime, "QT_QPA_PLATFORM": "xcb",
                "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "GSETTINGS_BACKEND": "memory", **extra}

    def start_app(self, prefix=(), environment=None):
        self.app_log = open(os.path.join(self.root, "app.log"), "w+")
        return self.spawn([*prefix, os.environ["TRAYLINE_BINARY"]], env=environment or self.app_env(),
                          stdout=self.app_log, stderr=subprocess.STDOUT)

    def app_output(self):
        self.app_log.seek(0)
        return self.app_log.read()


def bubble_digit_heights(image):
    """The digit height in the blue and in the orange bubble of a screenshot (`image` as read_png
    gives it): rows holding white pixels inside each bubble's area. None for a bubble that is not
    there at full opacity."""
    width, height, pixel = image
    heights = []
    for is_fill in (lambda r, g, b: b - r > 80 and b > 200, lambda r, g, b: r - b > 80 and r > 200):
        fill = [(x, y) for y in range(height) for x in range(width) if is_fill(*pixel(x, y))]
        if not fill:
            heights.append(None)
            continue
        xs, ys = [x for x, _ in fill], [y for _, y in fill]
        rows = [y for y in range(min(ys), max(ys) + 1)
                if any(min(pixel(x, y)) >= 190 for x in range(min(xs), max(xs) + 1))]
        heights.append(rows[-1] - rows[0] + 1 if rows else 0)
    return heights


def read_png(path):
    """(width, height, pixel(x, y) -> (r, g, b)) of a screenshot, read through ImageMagick."""
    ppm = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], capture_output=True, check=True).stdout
    header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+\d+\s", ppm)  # then the pixels, three bytes each
    width, data = int(header[1]), ppm[header.end():]
    return width, int(header[2]), lambda x, y: tuple(data[(y * width + x) * 3:(y * width + x) * 3 + 3])
