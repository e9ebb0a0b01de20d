#!/usr/bin/python3
"""The real trayline inside real tray hosts, read back from screenshots as a person sees them:
xfce4-panel on X11 (run inside xvfb-run), trayer (an XEmbed tray alone, with no StatusNotifier
watcher) and waybar on a headless sway (Wayland). Each test has its own session bus, host and
signed-in profile. Screenshots land in TRAYLINE_SCREENSHOT_DIR."""

import json
import os
import re
import shutil
import subprocess
import sys
import unittest

from Xlib import X, display

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from private_desktop import PrivateDesktop, bubble_digit_heights, read_png, wait_for  # noqa: E402

SCREENSHOTS = os.environ.get("TRAYLINE_SCREENSHOT_DIR", "/tmp")
APP_ID = "com.brindle.trayline"
ITEM = "org.kde.StatusNotifierItem"
WATCHER = "org.kde.StatusNotifierWatcher"
QUIET = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
LEAST_DIGIT_HEIGHT = 7  # at icon size 22


class HostTest(unittest.TestCase):
    prefix = ()  # how to run a program as the desktop's user
    owner = None  # that user's uid, when it is not ours

    def setUp(self):
        self.env = PrivateDesktop(owner=self.owner)
        self.addCleanup(self.env.close)
        self.env.start_instance()

    def start_desktop(self, **extra):
        """The signed-in profile (last: it hands the profile to its owner) and a session bus whose
        activated services (xfconfd) see the desktop's environment."""
        self.env.seed_signed_in_profile()
        environment = self.env.app_env(HOME=self.env.root, **extra)
        bus = self.env.spawn([*self.prefix, "dbus-daemon", "--session", "--nofork", "--print-address=1"],
                             env=environment, stdout=subprocess.PIPE, text=True)
        environment["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        return environment

    def run_as_user(self, argv, environment, **kw):
        return subprocess.run([*self.prefix, *argv], env=environment, capture_output=True, text=True, timeout=30, **kw)

    def bus_call(self, environment, method, *args):
        return self.run_as_user(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                 "/org/freedesktop/DBus", f"org.freedesktop.DBus.{method}", *args], environment).stdout

    def has_owner(self, environment, name):
        return "boolean true" in self.bus_call(environment, "NameHasOwner", f"string:{name}")

    def assert_counts_readable(self, app, shoot, environment, name, least=LEAST_DIGIT_HEIGHT, timeout=60):
        """Screenshots of the host's strip (`shoot` + a path) until both bubbles show at full opacity
        (the first refresh is in): their digits at least `least` high, the app still running."""
        path = os.path.join(self.env.root, "strip.png")

        def counts_drawn():
            self.run_as_user([*shoot, path], environment, check=True)
            heights = bubble_digit_heights(read_png(path))
            return heights if None not in heights else None
        heights = wait_for(counts_drawn, timeout=timeout, step=0.5, what="both counts in the host's strip")
        os.makedirs(SCREENSHOTS, exist_ok=True)
        shutil.copy(path, os.path.join(SCREENSHOTS, name))
        self.assertGreaterEqual(min(heights), least, heights)
        self.assertIsNone(app.poll(), self.env.app_output())


class XfcePanel(HostTest):
    def test_both_counts_readable_at_icon_size_22(self):
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "xfce4-panel.xml")) as panel:
            self.env.write("config/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml", panel.read())
        desktop = self.start_desktop()
        self.env.spawn(["xfce4-panel", "--disable-wm-check"], env=desktop, **QUIET)
        wait_for(lambda: self.has_owner(desktop, WATCHER), what="the panel's tray")
        app = self.env.start_app(environment=desktop)
        self.assert_counts_readable(app, ["import", "-window", "root", "-crop", "1280x30+0+0"], desktop,
                                    "xfce4-panel-strip-light.png")


class TrayerXEmbedOnly(HostTest):
    """i3bar, polybar and stalonetray offer only the XEmbed tray: the app docks there rather than
    waiting out the tray wait and opening its window."""

    def test_both_counts_readable_in_an_xembed_tray(self):
        desktop = self.start_desktop()
        self.env.spawn(["trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel", "--width", "200",
                        "--heighttype", "pixel", "--height", "24", "--iconspacing", "2"], env=desktop, **QUIET)
        x = display.Display()
        wait_for(lambda: x.get_selection_owner(x.intern_atom("_NET_SYSTEM_TRAY_S0")) != X.NONE, what="trayer")
        app = self.env.start_app(environment=desktop)
        # trayer gives its icons their own size. An app that found no tray says so before its window
        # opens (which might show bubbles where the strip is).
        self.assert_counts_readable(app, ["import", "-window", "root", "-crop", "200x24+0+0"], desktop,
                                    "trayer-strip.png", least=5)
        self.assertNotIn("no system tray found", self.env.app_output())
        self.assertFalse(self.has_owner(desktop, WATCHER))


class WaybarOnSway(HostTest):
    # sway refuses to run as root: then the desktop (bus, compositor, bar, app) runs as nobody.
    if os.getuid() == 0:
        prefix, owner = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"), 65534

    def test_both_counts_readable_and_the_panel_floats(self):
        self.env.write("config/sway/config", "output HEADLESS-1 resolution 1280x800\nexec waybar\n")
        self.env.write("config/waybar/config", json.dumps({"layer": "top", "position": "top", "height": 30,
                                                       "modules-right": ["tray", "clock"],
                                                       "tray": {"icon-size": 22, "spacing": 4}}))
        desktop = self.start_desktop(WLR_BACKENDS="headless", WLR_RENDERER="pixman", WLR_LIBINPUT_NO_DEVICES="1")
        desktop.pop("DISPLAY", None)
        self.env.spawn([*self.prefix, "sway"], env=desktop, **QUIET)
        runtime = lambda prefix: [n for n in os.listdir(self.env.runtime) if re.fullmatch(prefix, n)]
        desktop["WAYLAND_DISPLAY"] = wait_for(lambda: runtime(r"wayland-\d+"), what="sway")[0]
        desktop["SWAYSOCK"] = os.path.join(self.env.runtime, wait_for(lambda: runtime(r"sway-ipc\..*"),
                                                                      what="sway's socket")[0])
        wait_for(lambda: self.has_owner(desktop, WATCHER), what="waybar's tray")
        app = self.env.start_app(self.prefix, dict(desktop, QT_QPA_PLATFORM="wayland"))
        self.assert_counts_readable(app, ["grim", "-g", "0,0 1280x30"], desktop, "waybar-strip-dark.png")

        # The host's click: the panel opens floating (a fixed-size window), placed by the compositor.
        item = next(w.strip('"') for w in self.bus_call(desktop, "ListNames").split()
                    if w.strip('"').startswith(ITEM + "-"))
        self.run_as_user(["dbus-send", "--session", "--print-reply", f"--dest={item}", "/StatusNotifierItem",
                          f"{ITEM}.Activate", "int32:1200", "int32:15"], desktop, check=True)

        def windows(node, floating=False):
            yield node, floating
            for child in node.get("nodes", []):
                yield from windows(child, floating)
            for child in node.get("floating_nodes", []):
                yield from windows(child, True)

        def panel():
            tree = json.loads(self.run_as_user(["swaymsg", "-t", "get_tree"], desktop).stdout or "{}")
            return next(((n, f) for n, f in windows(tree) if n.get("app_id") == APP_ID and n.get("visible")), None)
        node, floating = wait_for(panel, what="the panel on sway")
        self.assertTrue(floating, node)
        self.assertLess(node["rect"]["width"], 1280)
        self.assertLess(node["rect"]["height"], 800 - 30)
        self.assertNotEqual(node.get("border"), "normal", "sway drew a title bar")
        self.assertIsNone(app.poll(), self.env.app_output())


if __name__ == "__main__":
    unittest.main(verbosity=2)
