#!/usr/bin/python3
"""The real tray application, set up as scripts/demo sets it up, posting to a real notification
daemon (xfce4-notifyd) on a private desktop: a request that arrives at the instance makes one
Notify call, recorded by dbus-monitor, with the texts a user reads and an icon the daemon can load;
a screenshot of the bubble is kept for a person to look at.

Run inside `dbus-run-session -- xvfb-run -a`, with TRAYLINE_SOURCE_DIR, TRAYLINE_BUILD_DIR and
TRAYLINE_SCREENSHOTS set."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import sys
import threading
import time
import unittest

import dbus

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from private_desktop import PrivateDesktop, wait_for  # noqa: E402

SOURCE = os.environ["TRAYLINE_SOURCE_DIR"]
BUILD = os.environ["TRAYLINE_BUILD_DIR"]
NOTIFYD = "/usr/lib/x86_64-linux-gnu/xfce4/notifyd/xfce4-notifyd"
APP_ID = "com.brindle.trayline"


def notify_calls(monitor_output):
    """The Notify calls in dbus-monitor's text: each call's top-level arguments as Python values."""
    calls = []
    for block in re.split(r"^(?=\S)", monitor_output, flags=re.M):
        if not block.startswith("method call") or "member=Notify" not in block.splitlines()[0]:
            continue
        arguments = []
        for line in block.splitlines()[1:]:
            if match := re.match(r"^   (string|uint32|int32) (.*)$", line):
                kind, value = match.groups()
                arguments.append(json.loads(value) if kind == "string" else int(value))
        hints = dict(re.findall(r'string "([^"]*)"\s+variant\s+\S+ "?([^"\n]*)"?', block))
        calls.append({"app": arguments[0], "replaces": arguments[1], "icon": arguments[2], "title": arguments[3],
                      "body": arguments[4], "timeout": arguments[5], "hints": hints})
    return calls


def icon_resolves(icon):
    if os.path.isabs(icon):
        return os.path.isfile(icon)
    dirs = [os.environ.get("XDG_DATA_HOME", os.path.expanduser("~/.local/share"))]
    dirs += os.environ.get("XDG_DATA_DIRS", "/usr/local/share:/usr/share").split(":")
    return any(os.path.isfile(f"{d}/icons/hicolor/{size}/apps/{icon}.{ext}") for d in dirs
               for size in ("48x48", "128x128", "scalable") for ext in ("png", "svg"))


class RealNotificationDaemon(PrivateDesktop, unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="trayline-notify-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        profile = f"{self.root}/profile"
        subprocess.run([f"{SOURCE}/scripts/demo-profile", profile, BUILD], check=True)
        self.env = dict(os.environ, XDG_CONFIG_HOME=f"{profile}/config", XDG_DATA_HOME=f"{profile}/data",
                        XDG_RUNTIME_DIR=f"{self.root}/run", QT_QPA_PLATFORM="xcb", GSETTINGS_BACKEND="memory")
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)

        instance = self.spawn([f"{BUILD}/tools/demo-instance/trayline-demo-instance", "--port", "0", "--control",
                               "--auto-approve"])
        self.url = instance.stdout.readline().strip().removeprefix("Listening on ")
        banner = dict(instance.stdout.readline().strip().split(":", 1) for _ in range(5))
        threading.Thread(target=instance.stdout.read, daemon=True).start()
        # Signed in through the real flow; without a display the sign-in follows the consent page itself.
        signin = subprocess.run([f"{BUILD}/tools/demo-signin/trayline-demo-signin", "--instance", self.url,
                                 "--client-id", banner["OAuth client ID"].strip(),
                                 "--client-secret", banner["OAuth client secret"].strip(),
                                 "--group", banner["Assignment group"].split("sys_id ")[1].rstrip(")")],
                                env={k: v for k, v in self.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")},
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(signin.returncode, 0, signin.stderr)
        preferences = f"{profile}/config/com.brindle.trayline/preferences.json"
        with open(preferences) as f:
            settings = json.load(f)
        settings.update(pollMinutes=1, autoUpdate=False)  # the shortest poll the settings allow
        with open(preferences, "w") as f:
            json.dump(settings, f)

        bus = dbus.SessionBus()
        self.spawn([NOTIFYD], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: bus.name_has_owner("org.freedesktop.Notifications"), "xfce4-notifyd")
        self.monitor_log = open(f"{self.root}/monitor.log", "w+")
        self.addCleanup(self.monitor_log.close)
        self.spawn(["dbus-monitor", "--session", "type='method_call',interface='org.freedesktop.Notifications'"],
                   stdout=self.monitor_log)
        # A stand-in tray, so the app has somewhere to put its item and stays.
        watcher = self.spawn(["/usr/bin/python3", f"{SOURCE}/tests/e2e/tray/sni_watcher.py"])
        self.assertEqual(watcher.stdout.readline().strip(), "watching")
        self.app_log = open(f"{self.root}/app.log", "w+")
        self.addCleanup(self.app_log.close)
        self.app = self.spawn([f"{BUILD}/src/trayline"], stdout=self.app_log, stderr=subprocess.STDOUT)

    def read(self, log):
        log.seek(0)
        return log.read()

    def test_a_new_request_is_one_notification_with_the_apps_icon(self):
        fetches = lambda: sum(r["path"].startswith("/api/now/table/sc_task") for r in self.control("request_log")["requests"])
        wait_for(lambda: fetches() >= 4, "the first refresh (the baseline)", timeout=30)
        time.sleep(1)  # its four answers are in
        task = self.control("insert_task", fields={"short_description": "Audit laptops"})["sys_id"]
        number = self.control("record", table="sc_task", sys_id=task)["record"]["number"]

        calls = wait_for(lambda: notify_calls(self.read(self.monitor_log)), "a Notify call", timeout=100)
        time.sleep(1.5)  # the bubble fades in
        os.makedirs(os.environ["TRAYLINE_SCREENSHOTS"], exist_ok=True)
        shot = f"{os.environ['TRAYLINE_SCREENSHOTS']}/notification-xfce4-notifyd.png"
        subprocess.run(["/usr/bin/import", "-window", "root", shot], check=True, env=self.env)
        time.sleep(1)
        calls = notify_calls(self.read(self.monitor_log))

        self.assertIsNone(self.app.poll(), self.read(self.app_log))
        self.assertEqual(len(calls), 1, calls)
        call = calls[0]
        self.assertEqual((call["app"], call["title"], call["body"], call["replaces"], call["timeout"]),
                         ("Trayline", f"New request: {number}", "Audit laptops", 0, -1))
        self.assertEqual(call["hints"].get("desktop-entry"), APP_ID)
        self.assertTrue(icon_resolves(call["icon"]), call["icon"])
        self.assertNotIn("notifications are off", self.read(self.app_log))

        # The daemon drew the app's icon (with an icon it cannot load it draws none): the icon's teal
        # ground covers about a thousand pixels of the screen; nothing else there is teal.
        teal = subprocess.run(["/usr/bin/convert", shot, "-fuzz", "15%", "-fill", "black", "+opaque", "#10877f",
                               "-fill", "white", "-opaque", "#10877f", "-format", "%[fx:int(mean*w*h+0.5)]", "info:"],
                              capture_output=True, text=True, check=True).stdout
        self.assertGreater(int(teal), 500, f"no app icon in {shot}")


if __name__ == "__main__":
    unittest.main(verbosity=2)
