#!/usr/bin/python3
"""The real tray application on a private desktop with a stand-in tray: its item follows the queue
and says the counts in words, a click opens the panel that a screen reader can read, a second start
shows the running one's panel, Quit ends it at once, and a posted new-request notification asks
for attention until a click on it opens the panel.

Run inside `dbus-run-session -- xvfb-run -a`, with TRAYLINE_BINARY and TRAYLINE_DEMO_INSTANCE set."""

import os
import select
import subprocess
import sys
import unittest

import dbus
import pyatspi

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from private_desktop import HERE, ITEM, PROPS, PrivateDesktop, wait_for  # noqa: E402


def accessible_panel():
    """The panel window as the accessibility tree shows it while it is showing, else None."""
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is not None and app.name == "Trayline":
                for window in app:
                    if window is not None and window.name == "Trayline" and has(window, pyatspi.STATE_SHOWING):
                        return window
        except Exception:  # an application that has just ended
            continue
    return None


def nodes(root, depth=0):
    """Every node below `root`, however deep (task rows sit deeper than the panel's own controls)."""
    yield root
    for child in (root if depth < 30 else []):
        if child is not None:
            yield from nodes(child, depth + 1)


def node(root, role, name):
    """The first showing node of that role and name, once there is one."""
    return wait_for(lambda: next((n for n in nodes(root) if n.getRole() == role and n.name == name
                                  and has(n, pyatspi.STATE_SHOWING)), None), f"{pyatspi.Role(role)} {name}")


def has(n, state):
    return n.getState().contains(state)


def press(n):
    """The node's first action, as a screen reader's "activate" runs it."""
    n.queryAction().doAction(0)


class OnPrivateDesktop:
    latency_ms = 2500  # the first refresh ends well after the item appears
    instance_args = ()  # for the demo instance

    def setUp(self):
        self.env = PrivateDesktop()
        self.addCleanup(self.env.close)
        self.env.start_instance(*self.instance_args)
        self.env.seed_signed_in_profile()
        self.env.control("latency", ms=self.latency_ms)
        bus = dbus.SessionBus()
        if not bus.name_has_owner("org.a11y.Bus"):
            # Once per session: the AT-SPI client library keeps its first connection for the life of
            # the process, so the launcher outlives every test and ends with the session.
            OnPrivateDesktop.launcher = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                                         env=dict(os.environ, GSETTINGS_BACKEND="memory"))
            wait_for(lambda: bus.name_has_owner("org.a11y.Bus"), what="the accessibility bus")
        self.prepare()
        self.env.start_watcher()
        self.app = self.env.start_app()
        self.item = self.env.wait_for_item()

    def prepare(self):
        pass

    def output(self):
        return self.env.app_output()

    def prop(self, name):
        return self.item.Get(ITEM, name, dbus_interface=PROPS)

    def click(self):
        self.item.Activate(dbus.Int32(10), dbus.Int32(10), dbus_interface=ITEM)

    def open_panel(self):
        self.click()
        return wait_for(accessible_panel, what="the panel to open on a click")

    def icon_after_first_refresh(self):
        first = wait_for(lambda: self.env.icon_pixmap(self.item), what="a first icon")
        wait_for(lambda: self.env.icon_pixmap(self.item) != first, timeout=30, what="the icon of the first refresh")
        return first


class TrayApplication(OnPrivateDesktop, unittest.TestCase):
    def test_item_panel_and_second_start(self):
        self.assertEqual(sorted(w for w, h, _ in self.icon_after_first_refresh()), [16, 22, 24, 32, 48, 64])
        tip = str(self.prop("ToolTip")[3])
        self.assertRegex(tip, r"^\d+ open tasks? assigned to you, \d+ unassigned tasks? in your group$")
        self.assertEqual(str(self.prop("XAyatanaLabel")), " \u00b7 ".join(w.split()[0] for w in tip.split(", ")))

        self.assertIsNone(accessible_panel(), "panel open before any click")
        # Read as a screen reader reads it: the header's icon buttons by their tooltips, the tab chips
        # with the counts of the first refresh, and the footer.
        texts = [n.name for n in nodes(self.open_panel()) if n.name]
        for expected in ("ServiceNow", "Refresh now", "Settings", "Open list", "Quit", f"Mine ({tip.split()[0]})"):
            self.assertIn(expected, texts)
        self.click()
        wait_for(lambda: accessible_panel() is None, what="a second click to close the panel")

        second = self.env.run_app()
        self.assertEqual(second.returncode, 0, second.stderr)
        wait_for(accessible_panel, what="the second start to open the panel")
        self.assertIsNone(self.app.poll(), "the first instance ended: " + self.output())


class QuitDuringRefresh(OnPrivateDesktop, unittest.TestCase):
    latency_ms = 60000  # every request of the first refresh is still waiting for its answer

    def test_quit_ends_the_process_without_waiting_for_requests(self):
        press(node(self.open_panel(), pyatspi.ROLE_PUSH_BUTTON, "Quit"))
        self.assertEqual(self.app.wait(timeout=15), 0, self.output())  # far less than the answers take


class AttentionAndNotificationClicks(OnPrivateDesktop, unittest.TestCase):
    latency_ms = 1500  # the first icon is read before the first refresh ends

    def prepare(self):
        self.env.update_settings(pollMinutes=1)
        self.env.install_desktop_file()
        self.notifications = self.env.spawn(["/usr/bin/python3", os.path.join(HERE, "tray", "notification_service.py")],
                                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.notifications.stdout.readline().strip() == "serving"

    def test_a_new_request_asks_for_attention_until_the_panel_opens_from_its_notification(self):
        self.icon_after_first_refresh()
        self.assertEqual(str(self.prop("Status")), "Active")
        self.env.control("insert_task", fields={"short_description": "Arrived just now"})
        assert select.select([self.notifications.stdout], [], [], 90)[0], self.output()  # the next poll
        said = self.notifications.stdout.readline().split(maxsplit=2)
        self.assertEqual(said[2].split(":")[0], "New request", said)
        wait_for(lambda: str(self.prop("Status")) == "NeedsAttention", what="NeedsAttention")
        self.notifications.stdin.write(f"click {said[1]}\n")
        self.notifications.stdin.flush()
        wait_for(accessible_panel, what="a click on the notification to open the panel")
        wait_for(lambda: str(self.prop("Status")) == "Active", what="Active once the panel opened")


if __name__ == "__main__":
    unittest.main(verbosity=2)
