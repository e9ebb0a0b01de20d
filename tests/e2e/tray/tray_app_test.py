#!/usr/bin/python3
"""The real tray application on a private desktop (stand-in tray and notification service), its panel
read and pressed over AT-SPI as a screen reader does: a rate-limited first refresh, then counts in
words; a second start shows the running one's panel; a new request asks for attention until a click
on its notification opens the panel; a refused refresh token signs out with one notification whose
"Sign in" runs the browser sign-in again; Quit ends it while requests wait. Run inside
`dbus-run-session -- xvfb-run -a`, with TRAYLINE_BINARY and TRAYLINE_DEMO_INSTANCE set."""

import os
import re
import select
import subprocess
import sys
import unittest

import dbus
import pyatspi

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from private_desktop import PrivateDesktop, wait_for  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ITEM = "org.kde.StatusNotifierItem"
PROPS = "org.freedesktop.DBus.Properties"

COUNTS = r"^\d+ open tasks? assigned to you, \d+ unassigned tasks? in your group$"


def accessible_panel():
    """The panel window as the accessibility tree shows it while it is showing, else None."""
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is not None and app.name == "Trayline":
                for window in app:
                    if window is not None and window.name == "Trayline" and showing(window):
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


def showing(n, *also):
    return all(n.getState().contains(state) for state in (pyatspi.STATE_SHOWING, *also))


def button(root, name):
    """The push button of that name once it shows and is enabled ("Refresh now" is not while a refresh runs)."""
    return wait_for(lambda: next((n for n in nodes(root) if n.getRole() == pyatspi.ROLE_PUSH_BUTTON
                                  and n.name == name and showing(n, pyatspi.STATE_ENABLED)), None), name)


def press(root, name):
    """A screen reader's "activate" on that button."""
    button(root, name).queryAction().doAction(0)


class TrayApplication(unittest.TestCase):
    def setUp(self):
        env = self.env = PrivateDesktop()
        self.addCleanup(env.close)
        env.start_instance("--auto-approve")  # the browser's sign-in is approved at once
        env.seed_signed_in_profile()
        env.update_settings(pollMinutes=1)
        # An installed desktop file gives the app its identity, so it posts notifications. The profile's
        # default browser fetches the authorize page and follows its redirect back to the app, as a
        # browser with a single sign-on session does.
        env.write("data/applications/com.brindle.trayline.desktop",
                  "[Desktop Entry]\nType=Application\nName=Trayline\nExec=trayline\n")
        env.write("data/applications/test-browser.desktop", "[Desktop Entry]\nType=Application\nName=Browser\n"
                  "Exec=/usr/bin/curl -sL -o /dev/null %u\nMimeType=x-scheme-handler/http;\n")
        env.write("config/mimeapps.list", "[Default Applications]\nx-scheme-handler/http=test-browser.desktop\n")
        self.notifications = env.spawn(["/usr/bin/python3", os.path.join(HERE, "notification_service.py")],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.notifications.stdout.readline().strip() == "serving"
        # Not one of the desktop's children: the AT-SPI client library keeps its first connection for
        # the life of the process, so the launcher ends with the session.
        subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                         env=dict(os.environ, GSETTINGS_BACKEND="memory"))
        wait_for(lambda: dbus.SessionBus().name_has_owner("org.a11y.Bus"), what="the accessibility bus")
        # The first refresh is refused: the instance asks for four seconds of quiet.
        env.control("fail_next", count=4, status=429, body='{"error":{"message":"Rate limit exceeded"}}',
                    headers={"Retry-After": "4"})
        watcher = env.spawn(["/usr/bin/python3", f"{HERE}/sni_watcher.py"], stdout=subprocess.PIPE, text=True)
        assert watcher.stdout.readline().strip() == "watching"
        self.app = env.start_app()
        assert select.select([watcher.stdout], [], [], 30)[0], f"no item registered; app: {env.app_output()}"
        said = watcher.stdout.readline().split()
        self.item = dbus.SessionBus().get_object(said[1], said[2])

    def tooltip(self):
        return str(self.item.Get(ITEM, "ToolTip", dbus_interface=PROPS)[3])

    def status(self):
        return str(self.item.Get(ITEM, "Status", dbus_interface=PROPS))

    def click(self, opens=True):
        """The host's click on the item; the panel it opens, or None once the panel has closed."""
        self.item.Activate(dbus.Int32(10), dbus.Int32(10), dbus_interface=ITEM)
        if opens:
            return wait_for(accessible_panel, what="the panel to open on a click")
        wait_for(lambda: accessible_panel() is None, what="the panel to close on a click")

    def notified(self, timeout=20):
        assert select.select([self.notifications.stdout], [], [], timeout)[0], self.env.app_output()
        return self.notifications.stdout.readline().rstrip("\n").split(maxsplit=2)[1:]

    def click_notification(self, number):
        self.notifications.stdin.write(f"click {number}\n")
        self.notifications.stdin.flush()
        self.assertEqual(self.notifications.stdout.readline().strip(), "clicked")

    def test_limits_panel_second_start_attention_lost_session_and_quit(self):
        wait_for(lambda: "the instance limits requests until" in self.tooltip(), what="the limited item")
        tip = wait_for(lambda: re.match(COUNTS, self.tooltip()) and self.tooltip(), what="counts after the wait")

        self.assertIsNone(accessible_panel(), "panel open before any click")
        # Read as a screen reader reads it: the header's icon buttons by their tooltips, the tab chips
        # with the counts the item says, and the footer.
        texts = [n.name for n in nodes(self.click()) if n.name]
        for expected in ("ServiceNow", "Refresh now", "Settings", "Open list", "Quit", f"Mine ({tip.split()[0]})"):
            self.assertIn(expected, texts)
        self.click(opens=False)
        second = subprocess.run([os.environ["TRAYLINE_BINARY"]], env=self.env.app_env(), capture_output=True,
                                text=True, timeout=30)
        self.assertEqual(second.returncode, 0, second.stderr)
        wait_for(accessible_panel, what="the second start to open the panel")
        self.click(opens=False)

        self.assertEqual(self.status(), "Active")
        self.env.control("insert_task", fields={"short_description": "Arrived just now"})
        number, title = self.notified(90)  # the next poll
        self.assertEqual(title.split(":")[0], "New request")
        wait_for(lambda: self.status() == "NeedsAttention", what="NeedsAttention")
        self.click_notification(number)
        panel = wait_for(accessible_panel, what="a click on the notification to open the panel")
        wait_for(lambda: self.status() == "Active", what="Active once the panel opened")

        self.env.control("expire_access_tokens")
        self.env.control("revoke_refresh_tokens")
        press(panel, "Refresh now")
        wait_for(lambda: self.tooltip() == "Signed out of ServiceNow. Click to sign in.", what="the signed-out item")
        number, title = self.notified()
        self.assertEqual(title, "Signed out of ServiceNow")
        button(panel, "Sign in")  # the panel asks for a sign-in, not over old lists
        self.click_notification(number)  # its "Sign in"
        wait_for(lambda: re.match(COUNTS, self.tooltip()), timeout=30, what="counts after signing in again")

        self.env.control("latency", ms=120000)  # every request of the next refresh waits for its answer
        panel = accessible_panel() or self.click()
        press(panel, "Refresh now")
        press(panel, "Quit")
        self.assertEqual(self.app.wait(timeout=60), 0, self.env.app_output())  # far less than the answers take


if __name__ == "__main__":
    unittest.main(verbosity=2)
