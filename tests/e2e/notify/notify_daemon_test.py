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
import subprocess
import sys
import unittest

import dbus

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from private_desktop import ITEM, PROPS, PrivateDesktop, wait_for  # noqa: E402

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


class RealNotificationDaemon(unittest.TestCase):
    def setUp(self):
        self.env = env = PrivateDesktop()
        self.addCleanup(env.close)
        # The profile scripts/demo makes, signed in through the real flow (without a display the
        # sign-in follows the consent page itself).
        profile = f"{env.root}/profile"
        subprocess.run([f"{SOURCE}/scripts/demo-profile", profile, BUILD], check=True)
        env.config, env.data = f"{profile}/config", f"{profile}/data"
        os.environ.update(TRAYLINE_DEMO_INSTANCE=f"{BUILD}/tools/demo-instance/trayline-demo-instance",
                          TRAYLINE_BINARY=f"{BUILD}/src/trayline")
        env.start_instance("--auto-approve")
        signin = subprocess.run([f"{BUILD}/tools/demo-signin/trayline-demo-signin", "--instance", env.url,
                                 "--client-id", env.banner_value("OAuth client ID"),
                                 "--client-secret", env.banner_value("OAuth client secret"),
                                 "--group", env.banner_value("Assignment group", sys_id=True)],
                                env={k: v for k, v in env.app_env().items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")},
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(signin.returncode, 0, signin.stderr)
        env.update_settings(pollMinutes=1, autoUpdate=False)  # the shortest poll the settings allow

        bus = dbus.SessionBus()
        env.spawn([NOTIFYD], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: bus.name_has_owner("org.freedesktop.Notifications"), "xfce4-notifyd")
        self.monitor_log = open(f"{env.root}/monitor.log", "w+")
        self.addCleanup(self.monitor_log.close)
        env.spawn(["dbus-monitor", "--session", "type='method_call',interface='org.freedesktop.Notifications'"],
                  stdout=self.monitor_log)
        env.start_watcher()  # a stand-in tray, so the app has somewhere to put its item and stays
        self.app = env.start_app()
        self.item = env.wait_for_item()

    def calls(self):
        self.monitor_log.seek(0)
        return notify_calls(self.monitor_log.read())

    def test_a_new_request_is_one_notification_with_the_apps_icon(self):
        env = self.env
        # The first refresh (the baseline) is in once the item shows both lists' counts.
        wait_for(lambda: re.match(r"[1-9]\d* open .*, [1-9]\d* unassigned",
                                  str(self.item.Get(ITEM, "ToolTip", dbus_interface=PROPS)[3])), "the first refresh", 30)
        task = env.control("insert_task", fields={"short_description": "Audit laptops"})["sys_id"]
        number = env.control("record", table="sc_task", sys_id=task)["record"]["number"]
        calls = wait_for(self.calls, "a Notify call", timeout=100)
        self.assertIsNone(self.app.poll(), env.app_output())
        self.assertEqual(len(calls), 1, calls)
        call = calls[0]
        self.assertEqual((call["app"], call["title"], call["body"], call["replaces"], call["timeout"]),
                         ("Trayline", f"New request: {number}", "Audit laptops", 0, -1))
        self.assertEqual(call["hints"].get("desktop-entry"), APP_ID)
        self.assertTrue(icon_resolves(call["icon"]), call["icon"])
        self.assertNotIn("notifications are off", env.app_output())

        # The daemon drew the app's icon (with an icon it cannot load it draws none): the icon's teal
        # ground covers about a thousand pixels of the screen once the bubble has faded in; nothing
        # else there is teal.
        os.makedirs(os.environ["TRAYLINE_SCREENSHOTS"], exist_ok=True)
        shot = f"{os.environ['TRAYLINE_SCREENSHOTS']}/notification-xfce4-notifyd.png"

        def teal_pixels():
            subprocess.run(["/usr/bin/import", "-window", "root", shot], check=True, env=env.app_env())
            return int(subprocess.run(["/usr/bin/convert", shot, "-fuzz", "15%", "-fill", "black", "+opaque", "#10877f",
                                       "-fill", "white", "-opaque", "#10877f", "-format", "%[fx:int(mean*w*h+0.5)]",
                                       "info:"], capture_output=True, text=True, check=True).stdout) > 500
        wait_for(teal_pixels, f"the app's icon in {shot}", timeout=10, step=0.3)
        self.assertEqual(len(self.calls()), 1, "one notification, not one per refresh")


if __name__ == "__main__":
    unittest.main(verbosity=2)
