#!/usr/bin/python3
"""The real trayline inside real tray hosts, read back from screenshots as a person sees them:
trayer on X11 (an XEmbed tray alone, with no StatusNotifier watcher, run inside xvfb-run) and
waybar on a headless sway (Wayland). Each test has its own session bus, started with
the environment the host's activated services need, its own host and a seeded, signed-in profile.
Screenshots land in TRAYLINE_SCREENSHOT_DIR."""

import json
import os
import subprocess
import sys
import unittest

from Xlib import X, display

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from private_desktop import ITEM, PrivateDesktop, bubble_digit_heights, read_png, wait_for  # noqa: E402

SCREENSHOTS = os.environ.get("TRAYLINE_SCREENSHOT_DIR", "/tmp")
APP_ID = "com.brindle.trayline"
LEAST_DIGIT_HEIGHT = 7  # at icon size 22


class HostTest(unittest.TestCase):
    prefix = ()  # how to run a program as the desktop's user

    def setUp(self):
        self.env = PrivateDesktop(owner=self.owner())
        self.addCleanup(self.env.close)
        self.env.start_instance()

    def owner(self):
        return None

    def start_bus(self, environment):
        """A private session bus whose activated services (xfconfd) see `environment`."""
        bus = self.env.spawn([*self.prefix, "dbus-daemon", "--session", "--nofork", "--print-address=1"],
                             env=environment, stdout=subprocess.PIPE, text=True)
        environment["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        return environment

    def run_as_user(self, argv, environment, **kw):
        return subprocess.run([*self.prefix, *argv], env=environment, capture_output=True, text=True, timeout=30, **kw)

    def has_owner(self, environment, name):
        said = self.run_as_user(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                 "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", f"string:{name}"],
                                environment)
        return "boolean true" in said.stdout

    def read_counts(self, shoot, name, timeout=60):
        """Screenshots of the host's strip until both bubbles show at full opacity (the first refresh
        is in); their digit heights, and the strip saved for a person to look at."""
        path = os.path.join(self.env.root, "strip.png")

        def counts_drawn():
            shoot(path)
            heights = bubble_digit_heights(read_png(path))
            return heights if None not in heights else None
        heights = wait_for(counts_drawn, timeout=timeout, step=0.5, what="both counts in the host's strip")
        os.makedirs(SCREENSHOTS, exist_ok=True)
        subprocess.run(["cp", path, os.path.join(SCREENSHOTS, name)], check=True)
        return heights


class TrayerXEmbedOnly(HostTest):
    """i3bar, polybar and stalonetray offer only the XEmbed tray: the app docks there rather than
    waiting out the tray wait and opening its window."""

    def test_both_counts_readable_in_an_xembed_tray(self):
        env = self.env
        env.seed_signed_in_profile()
        desktop = self.start_bus(env.app_env(HOME=env.root))
        env.spawn(["trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel", "--width", "200",
                   "--heighttype", "pixel", "--height", "24", "--iconspacing", "2"],
                  env=desktop, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        x = display.Display()
        wait_for(lambda: x.get_selection_owner(x.intern_atom("_NET_SYSTEM_TRAY_S0")) != X.NONE, what="trayer")
        app = env.start_app(DBUS_SESSION_BUS_ADDRESS=desktop["DBUS_SESSION_BUS_ADDRESS"], HOME=env.root)
        # Well inside the 30 s after which an app that found no tray opens its window instead.
        heights = self.read_counts(lambda path: subprocess.run(
            ["import", "-window", "root", "-crop", "200x24+0+0", path], check=True, env=desktop),
            "trayer-strip.png", timeout=25)
        self.assertGreaterEqual(min(heights), 5, heights)  # trayer gives its icons their own size
        self.assertFalse(self.has_owner(desktop, "org.kde.StatusNotifierWatcher"))
        self.assertNotIn("no system tray found", env.app_output())
        self.assertIsNone(app.poll(), env.app_output())


class WaybarOnSway(HostTest):
    # sway refuses to run as root: then the desktop (bus, compositor, bar, app) runs as nobody.
    prefix = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups") if os.getuid() == 0 else ()

    def owner(self):
        return 65534 if os.getuid() == 0 else None

    def test_both_counts_readable_and_the_panel_floats(self):
        env = self.env
        for program, text in (("sway/config", "output HEADLESS-1 resolution 1280x800\nexec waybar\n"),
                              ("waybar/config", json.dumps({"layer": "top", "position": "top", "height": 30,
                                                            "modules-right": ["tray", "clock"],
                                                            "tray": {"icon-size": 22, "spacing": 4}}))):
            os.makedirs(os.path.dirname(os.path.join(env.config, program)), exist_ok=True)
            with open(os.path.join(env.config, program), "w") as f:
                f.write(text)
        env.seed_signed_in_profile()  # also hands the whole profile to its owner
        desktop = env.app_env(HOME=env.root, WLR_BACKENDS="headless", WLR_RENDERER="pixman",
                              WLR_LIBINPUT_NO_DEVICES="1")
        desktop.pop("DISPLAY", None)
        self.start_bus(desktop)
        sway = env.spawn([*self.prefix, "sway"], env=desktop, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sockets = lambda prefix: [n for n in os.listdir(env.runtime) if n.startswith(prefix) and "." not in n[len(prefix):]]
        desktop["WAYLAND_DISPLAY"] = wait_for(lambda: sockets("wayland-") and sockets("wayland-")[0], what="sway")
        desktop["SWAYSOCK"] = os.path.join(env.runtime, wait_for(
            lambda: [n for n in os.listdir(env.runtime) if n.startswith("sway-ipc.")], what="sway's socket")[0])
        wait_for(lambda: self.has_owner(desktop, "org.kde.StatusNotifierWatcher"), what="waybar's tray")
        app = env.start_app(self.prefix, dict(desktop, QT_QPA_PLATFORM="wayland"))

        heights = self.read_counts(lambda path: self.run_as_user(["grim", "-g", "0,0 1280x30", path], desktop,
                                                                 check=True), "waybar-strip-dark.png")
        self.assertGreaterEqual(min(heights), LEAST_DIGIT_HEIGHT, heights)

        # The host's click: the panel opens floating (a fixed-size window), placed by the compositor.
        names = self.run_as_user(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                  "/org/freedesktop/DBus", "org.freedesktop.DBus.ListNames"], desktop).stdout
        item = next(w.strip('"') for w in names.split() if w.strip('"').startswith(ITEM + "-"))
        self.run_as_user(["dbus-send", "--session", "--print-reply", f"--dest={item}", "/StatusNotifierItem",
                          f"{ITEM}.Activate", "int32:1200", "int32:15"], desktop, check=True)

        def panel():
            tree = json.loads(self.run_as_user(["swaymsg", "-t", "get_tree"], desktop).stdout or "{}")
            found = []

            def walk(node, floating):
                if node.get("app_id") == APP_ID and node.get("visible"):
                    found.append((node, floating))
                for child in node.get("nodes", []):
                    walk(child, floating)
                for child in node.get("floating_nodes", []):
                    walk(child, True)
            walk(tree, False)
            return found and found[0]
        node, floating = wait_for(panel, what="the panel on sway")
        self.assertTrue(floating, node)
        self.assertLess(node["rect"]["width"], 1280)
        self.assertLess(node["rect"]["height"], 800 - 30)
        self.assertNotEqual(node.get("border"), "normal", "sway drew a title bar")
        self.assertIsNone(app.poll(), env.app_output())
        self.assertIsNone(sway.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
