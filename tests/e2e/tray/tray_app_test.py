#!/usr/bin/python3
"""The real tray application on a private desktop: its tray item follows the queue, a click opens
the panel that a screen reader can read, and a second start opens the running one's panel.

Run inside `dbus-run-session -- xvfb-run -a`, with TRAYLINE_BINARY and TRAYLINE_DEMO_INSTANCE set."""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from trayenv import TrayEnv, wait_for  # noqa: E402


def accessible_panel():
    """The panel window as the accessibility tree shows it, or None while it has never opened."""
    import pyatspi

    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is not None and app.name == "Trayline":
            for window in app:
                if window is not None and window.name == "Trayline":
                    return window
    return None


def is_showing(window):
    import pyatspi

    return window is not None and window.getState().contains(pyatspi.STATE_SHOWING)


def descendants(node, depth=0):
    yield node
    if depth < 8:
        for child in node:
            if child is not None:
                yield from descendants(child, depth + 1)


def open_panel(env, item):
    env.click(item)
    return wait_for(lambda: (lambda w: w if is_showing(w) else None)(accessible_panel()),
                    what="the panel to open on a click")


class OnPrivateDesktop:
    latency_ms = 2500  # the first refresh ends well after the item appears
    tray_after_app = False  # the tray (its watcher) starts only once the app runs

    def setUp(self):
        self.env = TrayEnv()
        self.addCleanup(self.env.close)
        env = self.env
        env.start_instance()
        env.seed_signed_in_profile()
        env.control("latency", ms=self.latency_ms)
        env.start_accessibility_bus()
        if not self.tray_after_app:
            env.start_watcher()
        self.app = env.start_app()
        if self.tray_after_app:
            env.wait_until_listening()
            time.sleep(1)  # the app has looked for a tray and found none
            env.start_watcher()
        self.service, self.path = env.wait_for_item()
        self.item = env.item(self.service, self.path)

    def output(self):
        return self.env.app_output()


class TrayApplication(OnPrivateDesktop, unittest.TestCase):
    def test_item_panel_and_second_start(self):
        env = self.env
        before = wait_for(lambda: env.icon_pixmap(self.item), what="a first icon")
        wait_for(lambda: env.icon_pixmap(self.item) != before, timeout=30,
                 what="the icon to change after the first refresh")
        self.assertIsNone(self.app.poll(), self.output())

        self.assertFalse(is_showing(accessible_panel()), "panel open before any click")
        panel = open_panel(env, self.item)
        texts = [node.name for node in descendants(panel) if node.name]
        # Read as a screen reader reads it: the title, the header's icon buttons by their tooltips,
        # the tab chips with the counts of the first refresh, and the footer.
        for expected in ("ServiceNow", "Refresh now", "Settings", "Open list", "Quit"):
            self.assertIn(expected, texts)
        self.assertTrue(any(t.startswith("Mine (") and t != "Mine (0)" for t in texts), texts)

        env.click(self.item)
        wait_for(lambda: not is_showing(accessible_panel()), what="a second click to close the panel")

        second = subprocess.run([os.environ["TRAYLINE_BINARY"]], env=env.app_env(), timeout=30,
                                capture_output=True, text=True)
        self.assertEqual(second.returncode, 0, second.stderr)
        wait_for(lambda: is_showing(accessible_panel()), what="the second start to open the panel")
        self.assertIsNone(self.app.poll(), "the first instance ended: " + self.output())


class QuitDuringRefresh(OnPrivateDesktop, unittest.TestCase):
    latency_ms = 60000  # every request of the first refresh is still waiting for its answer

    def test_quit_ends_the_process_without_waiting_for_requests(self):
        import pyatspi

        panel = open_panel(self.env, self.item)
        quit_button = next(n for n in descendants(panel)
                           if n.getRole() == pyatspi.ROLE_PUSH_BUTTON and n.name == "Quit")
        quit_button.queryAction().doAction(0)
        # Far less than the answers it would otherwise wait for.
        self.assertEqual(self.app.wait(timeout=15), 0, self.output())


class TrayAppearingLater(OnPrivateDesktop, unittest.TestCase):
    tray_after_app = True

    def test_item_appears_once_the_tray_does(self):
        # setUp has waited for the item; the same process (restarted in place) shows it.
        self.assertIsNone(self.app.poll(), self.output())
        open_panel(self.env, self.item)


if __name__ == "__main__":
    unittest.main(verbosity=2)
