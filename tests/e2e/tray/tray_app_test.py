#!/usr/bin/python3
"""The real tray application on a private desktop: its tray item follows the queue, a click opens
the panel that a screen reader can read, a second start opens the running one's panel, `--toggle`
shows and hides it (or starts the app), Quit ends it at once, and a tray that appears late still
gets the item.

Run inside `dbus-run-session -- xvfb-run -a`, with TRAYLINE_BINARY and TRAYLINE_DEMO_INSTANCE set.
Each test gets a seeded, signed-in profile against its own demo instance, a stand-in tray
(sni_watcher.py) and, once per session bus, the accessibility bus."""

import glob
import json
import os
import select
import shutil
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.request

import dbus
import pyatspi

HERE = os.path.dirname(os.path.abspath(__file__))
ITEM = "org.kde.StatusNotifierItem"
REFERENCE_DATE = 978307200  # 2001-01-01T00:00:00Z, the epoch of stored token expiries


def wait_for(predicate, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)
    return value


def accessible_panel():
    """The panel window as the accessibility tree shows it while it is showing, else None."""
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is not None and app.name == "Trayline":
                for window in app:
                    if window is not None and window.name == "Trayline" and \
                            window.getState().contains(pyatspi.STATE_SHOWING):
                        return window
        except Exception:  # an application that has just ended
            continue
    return None


def descendants(node, depth=0):
    yield node
    for child in (node if depth < 8 else []):
        if child is not None:
            yield from descendants(child, depth + 1)


class OnPrivateDesktop:
    latency_ms = 2500  # the first refresh ends well after the item appears
    tray_after_app = False  # the tray (its watcher) starts only once the app runs

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="trayline-tray-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.env = dict(os.environ, XDG_CONFIG_HOME=f"{self.root}/config", XDG_DATA_HOME=f"{self.root}/data",
                        XDG_RUNTIME_DIR=f"{self.root}/run", QT_QPA_PLATFORM="xcb",
                        QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", GSETTINGS_BACKEND="memory")
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        instance = self.spawn([os.environ["TRAYLINE_DEMO_INSTANCE"], "--port", "0", "--control"])
        self.url = instance.stdout.readline().strip().removeprefix("Listening on ")
        banner = dict(instance.stdout.readline().strip().split(":", 1) for _ in range(5))
        # Keep reading what it prints (the live simulation's changes) so its pipe never fills.
        threading.Thread(target=instance.stdout.read, daemon=True).start()
        self.seed_signed_in_profile(banner)
        self.control("latency", ms=self.latency_ms)
        bus = dbus.SessionBus()
        if not bus.name_has_owner("org.a11y.Bus"):
            # Once per session: the AT-SPI client library keeps its first connection for the life of
            # the process, so the launcher outlives every test and ends with the session.
            OnPrivateDesktop.launcher = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                                         env=dict(os.environ, GSETTINGS_BACKEND="memory"))
            wait_for(lambda: bus.name_has_owner("org.a11y.Bus"), "the accessibility bus")
        if not self.tray_after_app:
            self.start_watcher()
        self.app_log = open(f"{self.root}/app.log", "w+")
        self.addCleanup(self.app_log.close)
        self.app = self.spawn([os.environ["TRAYLINE_BINARY"]], stdout=self.app_log, stderr=subprocess.STDOUT)
        if self.tray_after_app:
            wait_for(lambda: glob.glob(f"{self.root}/run/trayline-*/instance.sock"), "the app to start")
            time.sleep(1)  # the app has looked for a tray and found none
            self.start_watcher()
        # The first item registered with the watcher.
        assert select.select([self.watcher.stdout], [], [], 30)[0], f"no item registered; app: {self.output()}"
        said = self.watcher.stdout.readline().split()
        assert said[:1] == ["registered"], f"watcher said {said}; app: {self.output()}"
        self.item = bus.get_object(said[1], said[2])

    def spawn(self, argv, **kw):
        process = subprocess.Popen(argv, env=self.env, text=True, **{"stdout": subprocess.PIPE, **kw})
        self.addCleanup(lambda: process.poll() is not None or (process.kill(), process.wait()))
        return process

    def control(self, action, **fields):
        request = urllib.request.Request(self.url + "/__control", data=json.dumps({"action": action, **fields}).encode(),
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as reply:
            return json.loads(reply.read() or b"{}")

    def seed_signed_in_profile(self, banner):
        """Settings, the client secret and a fresh token set, as a signed-in profile holds them."""
        os.makedirs(f"{self.root}/config/com.brindle.trayline")
        with open(f"{self.root}/config/com.brindle.trayline/preferences.json", "w") as f:
            json.dump({"instanceURL": self.url, "clientID": banner["OAuth client ID"].strip(), "autoUpdate": False,
                       "groupSysID": banner["Assignment group"].split("sys_id ")[1].rstrip(")")}, f)
        tokens = self.control("issue_tokens")
        token_set = {"accessToken": tokens["access_token"], "refreshToken": tokens["refresh_token"],
                     "expiresAt": time.time() - REFERENCE_DATE + tokens["expires_in"]}
        os.makedirs(f"{self.root}/data/com.brindle.Trayline", mode=0o700)
        path = f"{self.root}/data/com.brindle.Trayline/keychain.json"
        with open(os.open(path, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            json.dump({"clientSecret": banner["OAuth client secret"].strip(), "tokens": json.dumps(token_set)}, f)

    def start_watcher(self):
        self.watcher = self.spawn(["/usr/bin/python3", os.path.join(HERE, "sni_watcher.py")])
        assert self.watcher.stdout.readline().strip() == "watching"

    def output(self):
        self.app_log.seek(0)
        return self.app_log.read()

    def icon(self):
        return [(int(w), int(h), bytes(data)) for w, h, data in self.item.Get(ITEM, "IconPixmap", dbus_interface=dbus.PROPERTIES_IFACE)]

    def click(self):
        self.item.Activate(dbus.Int32(10), dbus.Int32(10), dbus_interface=ITEM)

    def open_panel(self):
        self.click()
        return wait_for(accessible_panel, "the panel to open on a click")


class TrayApplication(OnPrivateDesktop, unittest.TestCase):
    def test_item_panel_and_second_start(self):
        before = wait_for(self.icon, "a first icon")
        wait_for(lambda: self.icon() != before, "the icon to change after the first refresh", timeout=30)
        self.assertIsNone(self.app.poll(), self.output())

        self.assertIsNone(accessible_panel(), "panel open before any click")
        texts = [node.name for node in descendants(self.open_panel()) if node.name]
        # Read as a screen reader reads it: the title, the header's icon buttons by their tooltips,
        # the tab chips with the counts of the first refresh, and the footer.
        for expected in ("ServiceNow", "Refresh now", "Settings", "Open list", "Quit"):
            self.assertIn(expected, texts)
        self.assertTrue(any(t.startswith("Mine (") and t != "Mine (0)" for t in texts), texts)
        self.click()
        wait_for(lambda: accessible_panel() is None, "a second click to close the panel")

        second = subprocess.run([os.environ["TRAYLINE_BINARY"]], env=self.env, timeout=30, capture_output=True, text=True)
        self.assertEqual(second.returncode, 0, second.stderr)
        wait_for(accessible_panel, "the second start to open the panel")
        self.assertIsNone(self.app.poll(), "the first instance ended: " + self.output())


class ToggleFromTheKeyboard(OnPrivateDesktop, unittest.TestCase):
    """`trayline --toggle`, as a desktop's own shortcut settings run it."""

    def toggle(self):
        run = subprocess.run([os.environ["TRAYLINE_BINARY"], "--toggle"], env=self.env, timeout=30,
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)

    def test_shows_then_hides_the_panel_and_starts_the_app_when_none_runs(self):
        self.assertIsNone(accessible_panel())
        self.toggle()
        wait_for(accessible_panel, "--toggle to open the panel")
        self.toggle()
        wait_for(lambda: accessible_panel() is None, "a second --toggle to close the panel")
        self.assertIsNone(self.app.poll(), self.output())

        # A crashed app leaves its socket behind: --toggle starts a new one, which shows its panel.
        self.app.kill()
        self.app.wait()
        self.assertTrue(glob.glob(f"{self.root}/run/trayline-*/instance.sock"))
        fresh = self.spawn([os.environ["TRAYLINE_BINARY"], "--toggle"], stdout=self.app_log, stderr=subprocess.STDOUT)
        wait_for(accessible_panel, "a fresh start by --toggle to show its panel")
        self.assertIsNone(fresh.poll(), self.output())


class QuitDuringRefresh(OnPrivateDesktop, unittest.TestCase):
    latency_ms = 60000  # every request of the first refresh is still waiting for its answer

    def test_quit_ends_the_process_without_waiting_for_requests(self):
        quit_button = next(n for n in descendants(self.open_panel())
                           if n.getRole() == pyatspi.ROLE_PUSH_BUTTON and n.name == "Quit")
        quit_button.queryAction().doAction(0)
        self.assertEqual(self.app.wait(timeout=15), 0, self.output())  # far less than the answers take


class TrayAppearingLater(OnPrivateDesktop, unittest.TestCase):
    tray_after_app = True

    def test_item_appears_once_the_tray_does(self):
        # setUp has waited for the item; the same process (restarted in place) shows it.
        self.assertIsNone(self.app.poll(), self.output())
        self.open_panel()


if __name__ == "__main__":
    unittest.main(verbosity=2)
