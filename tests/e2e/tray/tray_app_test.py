#!/usr/bin/python3
"""The real tray application on a private desktop with a stand-in tray: its item follows the queue
and says the counts in words, a click opens the panel that a screen reader can read, a second start
or `--toggle` shows the running one's panel, Quit ends it at once, a tray that appears late gets the
item from the same process, a posted new-request notification asks for attention until a click on
it opens the panel, and with no tray at all the panel is a window.

Run inside `dbus-run-session -- xvfb-run -a`, with TRAYLINE_BINARY and TRAYLINE_DEMO_INSTANCE set."""

import os
import select
import subprocess
import sys
import unittest

import dbus
import pyatspi
from gi.repository import GLib
from Xlib import X, display, error, protocol

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
    tray = True  # a stand-in tray runs from the start

    def setUp(self):
        self.env = PrivateDesktop()
        self.addCleanup(self.env.close)
        self.env.start_instance()
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
        if self.tray:
            self.env.start_watcher()
        self.app = self.env.start_app()
        if self.tray:
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


class ScreenReaderUse(OnPrivateDesktop, unittest.TestCase):
    """A menu entry triggered through accessibility leaves no pointer grab behind: the next real
    click (XTest, through the accessibility registry) picks a person."""
    latency_ms = 0

    def test_a_click_after_an_accessible_menu_entry_picks_a_person(self):
        panel = self.open_panel()
        menus = []

        def showing(event):  # a popup menu is not in the tree: it is found by its "showing" event
            if event.source.getRole() == pyatspi.ROLE_POPUP_MENU and event.detail1:
                menus.append(event.source)

        def shown_menu():
            while GLib.MainContext.default().iteration(False):  # deliver the events that arrived
                pass
            return menus[-1] if menus else None

        pyatspi.Registry.registerEventListener(showing, "object:state-changed:showing")
        try:
            press(node(panel, pyatspi.ROLE_PUSH_BUTTON, "Reassign"))
            menu = wait_for(shown_menu, "the Reassign menu")
        finally:
            pyatspi.Registry.deregisterEventListener(showing, "object:state-changed:showing")
        press(next(n for n in menu if n is not None and n.name == "Assign to someone…"))
        people = node(panel, pyatspi.ROLE_LIST, "People")
        wait_for(lambda: not has(menu, pyatspi.STATE_SHOWING), "the menu to close")
        row = wait_for(lambda: [c for c in people if c is not None and c.getRole() == pyatspi.ROLE_LIST_ITEM][1:2],
                       "the group members")[0]
        x, y, width, height = row.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pyatspi.Registry.generateMouseEvent(x + width // 2, y + height // 2, pyatspi.MOUSE_B1C)
        wait_for(lambda: has(row, pyatspi.STATE_SELECTED), "one click to pick the person", timeout=10)
        self.assertTrue(has(node(panel, pyatspi.ROLE_PUSH_BUTTON, "Assign"), pyatspi.STATE_ENABLED))


class ToggleFromTheKeyboard(OnPrivateDesktop, unittest.TestCase):
    """`trayline --toggle`, as a desktop's own shortcut settings run it."""

    def test_shows_then_hides_the_panel_and_starts_the_app_when_none_runs(self):
        for shown in (True, False):
            self.assertEqual(self.env.run_app("--toggle").returncode, 0)
            wait_for(lambda: (accessible_panel() is not None) == shown, f"--toggle to {'open' if shown else 'close'}")
        self.assertIsNone(self.app.poll(), self.output())
        # A crashed app leaves its socket behind: --toggle starts a new one, which shows its panel.
        self.app.kill()
        self.app.wait()
        self.assertTrue(self.env.instance_sockets())
        fresh = self.env.start_app(argv=["--toggle"])
        wait_for(accessible_panel, "a fresh start by --toggle to show its panel")
        self.assertIsNone(fresh.poll(), self.output())


class QuitDuringRefresh(OnPrivateDesktop, unittest.TestCase):
    latency_ms = 60000  # every request of the first refresh is still waiting for its answer

    def test_quit_ends_the_process_without_waiting_for_requests(self):
        press(node(self.open_panel(), pyatspi.ROLE_PUSH_BUTTON, "Quit"))
        self.assertEqual(self.app.wait(timeout=15), 0, self.output())  # far less than the answers take


class TrayAppearingLater(OnPrivateDesktop, unittest.TestCase):
    tray = False

    def test_item_appears_in_the_same_process(self):
        bus = dbus.SessionBus()
        name = f"{ITEM}-{self.app.pid}-1"
        # The item's name is taken once the app has looked for a tray and found none.
        owner = wait_for(lambda: bus.name_has_owner(name) and bus.get_name_owner(name), what="the item's name")
        self.env.start_watcher()
        self.item = self.env.wait_for_item()
        self.assertEqual(bus.get_name_owner(name), owner, "registered by another connection")
        self.assertIsNone(self.app.poll(), self.output())
        self.open_panel()


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


def trayline_windows(x):
    """Every top-level window titled as window mode titles it, mapped or not, with its title."""
    found = []
    for window in x.screen().root.query_tree().children:
        try:
            title = window.get_full_text_property(x.intern_atom("_NET_WM_NAME")) or ""
            if title.startswith("Trayline \u2014 "):
                found.append((window, title, window.get_attributes().map_state == X.IsViewable))
        except error.BadWindow:  # gone since the query
            continue
    return found


class NoTrayAtAll(OnPrivateDesktop, unittest.TestCase):
    tray = False
    latency_ms = 0

    def test_the_panel_is_a_window_with_the_counts_that_closes_and_comes_back(self):
        x = display.Display()
        shown = lambda: [w for w in trayline_windows(x) if w[2]]
        # After the 30 s wait: a mapped window, titled with the counts once the first refresh is in.
        window, title, _ = wait_for(lambda: [w for w in shown() if "0 mine, 0 unassigned" not in w[1]][:1],
                                    timeout=60, what="the window")[0]
        self.assertRegex(title, r"^Trayline \u2014 [1-9]\d* mine, \d+ unassigned$")
        wait_for(lambda: "no system tray found" in self.output(), what="the reason on standard error", timeout=5)
        # Closed as a window manager closes it: the app goes on, and a second start shows it again.
        window.send_event(protocol.event.ClientMessage(
            window=window, client_type=x.intern_atom("WM_PROTOCOLS"),
            data=(32, [x.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0])))
        x.flush()
        wait_for(lambda: not shown(), what="the window to close")
        self.assertIsNone(self.app.poll(), "closing the window ended the app: " + self.output())
        self.assertEqual(self.env.run_app().returncode, 0)
        wait_for(shown, what="a second start to show the window again")


if __name__ == "__main__":
    unittest.main(verbosity=2)
