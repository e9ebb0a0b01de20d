"""A private desktop for the real tray application: a seeded, signed-in profile against the demo
instance, a stand-in tray (StatusNotifierWatcher) and the accessibility bus, all inside the
session bus and X server the caller runs in (dbus-run-session + xvfb-run)."""

import glob
import json
import os
import select
import shutil
import subprocess
import tempfile
import threading
import time
import urllib.request

import dbus

HERE = os.path.dirname(os.path.abspath(__file__))
ITEM = "org.kde.StatusNotifierItem"
PROPS = "org.freedesktop.DBus.Properties"
REFERENCE_DATE = 978307200  # 2001-01-01T00:00:00Z, the epoch of stored token expiries


def wait_for(predicate, timeout=20.0, step=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(step)


class TrayEnv:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="trayline-tray-")
        self.config = os.path.join(self.root, "config")
        self.data = os.path.join(self.root, "data")
        self.runtime = os.path.join(self.root, "runtime")
        os.makedirs(self.runtime, mode=0o700)
        self.processes = []
        self.url = None
        self.watcher = None
        self.watcher_lines = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        for p in reversed(self.processes):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(self.root, ignore_errors=True)

    def spawn(self, argv, **kw):
        p = subprocess.Popen(argv, **kw)
        self.processes.append(p)
        return p

    # The demo instance, with its test controls.
    def start_instance(self, *extra):
        p = self.spawn([os.environ["TRAYLINE_DEMO_INSTANCE"], "--port", "0", "--control", *extra],
                       stdout=subprocess.PIPE, text=True)
        first = p.stdout.readline().strip()
        assert first.startswith("Listening on "), first
        self.url = first[len("Listening on "):]
        self.instance_banner = [p.stdout.readline().strip() for _ in range(5)]
        # Keep reading what it prints (the live simulation's changes) so its pipe never fills.
        threading.Thread(target=lambda: [None for _ in p.stdout], daemon=True).start()
        return self.url

    def control(self, action, **fields):
        body = json.dumps({"action": action, **fields}).encode()
        request = urllib.request.Request(self.url + "/__control", data=body,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as reply:
            return json.loads(reply.read() or b"{}")

    def banner_value(self, label):
        for line in self.instance_banner:
            if line.startswith(label):
                return line.split(":", 1)[1].strip()
        raise KeyError(label)

    # A profile signed in to the instance: settings, client secret and a fresh token set.
    def seed_signed_in_profile(self):
        client_id = self.banner_value("OAuth client ID")
        secret = self.banner_value("OAuth client secret")
        group = self.banner_value("Assignment group").split("sys_id ")[1].rstrip(")")
        prefs_dir = os.path.join(self.config, "com.brindle.trayline")
        os.makedirs(prefs_dir)
        with open(os.path.join(prefs_dir, "preferences.json"), "w") as f:
            json.dump({"instanceURL": self.url, "clientID": client_id, "groupSysID": group,
                       "autoUpdate": False}, f)
        tokens = self.control("issue_tokens")
        token_set = {"accessToken": tokens["access_token"], "refreshToken": tokens["refresh_token"],
                     "expiresAt": time.time() - REFERENCE_DATE + tokens["expires_in"]}
        keychain_dir = os.path.join(self.data, "com.brindle.Trayline")
        os.makedirs(keychain_dir, mode=0o700)
        path = os.path.join(keychain_dir, "keychain.json")
        with open(os.open(path, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            json.dump({"clientSecret": secret, "tokens": json.dumps(token_set)}, f)

    def start_watcher(self):
        self.watcher = self.spawn(["/usr/bin/python3", os.path.join(HERE, "sni_watcher.py")],
                                  stdout=subprocess.PIPE, text=True)
        assert self.watcher.stdout.readline().strip() == "watching"

    @staticmethod
    def start_accessibility_bus():
        """Once per session bus: the AT-SPI client library keeps its first connection for the
        life of the process, so the launcher outlives every TrayEnv and ends with the session."""
        bus = dbus.SessionBus()
        if bus.name_has_owner("org.a11y.Bus"):
            return
        TrayEnv.accessibility_launcher = subprocess.Popen(
            ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
            env=dict(os.environ, GSETTINGS_BACKEND="memory"))
        wait_for(lambda: bus.name_has_owner("org.a11y.Bus"), what="the accessibility bus")

    def app_env(self):
        return dict(os.environ, XDG_CONFIG_HOME=self.config, XDG_DATA_HOME=self.data,
                    XDG_RUNTIME_DIR=self.runtime, QT_QPA_PLATFORM="xcb",
                    QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", GSETTINGS_BACKEND="memory")

    def start_app(self):
        self.app_log = open(os.path.join(self.root, "app.log"), "w+")
        return self.spawn([os.environ["TRAYLINE_BINARY"]], env=self.app_env(),
                          stdout=self.app_log, stderr=subprocess.STDOUT)

    def wait_until_listening(self):
        """Until the app has started far enough to accept a second start."""
        wait_for(lambda: glob.glob(os.path.join(self.runtime, "trayline-*", "instance.sock")),
                 what="the app to start")

    def app_output(self):
        self.app_log.seek(0)
        return self.app_log.read()

    def wait_for_item(self, timeout=30.0):
        """The (service, path) of the first item registered with the watcher."""
        ready, _, _ = select.select([self.watcher.stdout], [], [], timeout)
        assert ready, f"no item registered within {timeout} s; app: {self.app_output()}"
        line = self.watcher.stdout.readline().split()
        assert line[:1] == ["registered"], f"watcher said {line}; app: {self.app_output()}"
        return line[1], line[2]

    @staticmethod
    def item(service, path):
        return dbus.SessionBus().get_object(service, path)

    def icon_pixmap(self, item):
        pixmaps = item.Get(ITEM, "IconPixmap", dbus_interface=PROPS)
        return [(int(w), int(h), bytes(data)) for w, h, data in pixmaps]

    @staticmethod
    def click(item):
        item.Activate(dbus.Int32(10), dbus.Int32(10), dbus_interface=ITEM)
