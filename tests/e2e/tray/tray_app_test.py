#!/usr/bin/python3
"""The real tray application on a private desktop with a stand-in tray: its item follows the queue
and says the counts in words, a click opens the panel that a screen reader can read, a second start
opens the running one's panel, Quit ends it at once, a tray that appears late gets the item from the
same process, `--toggle` shows and hides it (or starts the app), a posted new-request notification asks for attention until the panel opens (a click
on the notification opens it), and with no tray at all the panel is a window.

Run inside `dbus-run-session -- xvfb-run -a`, with TRAYLINE_BINARY and TRAYLINE_DEMO_INSTANCE set."""

import glob
import json
import os
import select
import subprocess
import sys
import time
import unittest

import dbus
import pyatspi
from gi.repository import GLib
from Xlib import X, display, error, protocol

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from trayenv import HERE, ITEM, PROPS, TrayEnv, wait_for  # noqa: E402


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
    tray = True  # a stand-in tray runs from the start

    def setUp(self):
        self.env = TrayEnv()
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
            self.item = TrayEnv.item(*self.env.wait_for_item())

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


class TrayApplication(OnPrivateDesktop, unittest.TestCase):
    def test_item_panel_and_second_start(self):
        before = wait_for(lambda: TrayEnv.icon_pixmap(self.item), what="a first icon")
        self.assertEqual(sorted(w for w, h, _ in before), [16, 22, 24, 32, 48, 64])
        wait_for(lambda: TrayEnv.icon_pixmap(self.item) != before, timeout=30,
                 what="the icon to change after the first refresh")
        self.assertIsNone(self.app.poll(), self.output())
        tip = str(self.prop("ToolTip")[3])
        self.assertRegex(tip, r"^\d+ open tasks? assigned to you, \d+ unassigned tasks? in your group$")
        self.assertEqual(str(self.prop("XAyatanaLabel")), " \u00b7 ".join(w.split()[0] for w in tip.split(", ")))

        self.assertIsNone(accessible_panel(), "panel open before any click")
        texts = [node.name for node in descendants(self.open_panel()) if node.name]
        # Read as a screen reader reads it: the title, the header's icon buttons by their tooltips,
        # the tab chips with the counts of the first refresh, and the footer.
        for expected in ("ServiceNow", "Refresh now", "Settings", "Open list", "Quit"):
            self.assertIn(expected, texts)
        self.assertIn(f"Mine ({tip.split()[0]})", texts)
        self.click()
        wait_for(lambda: accessible_panel() is None, what="a second click to close the panel")

        second = self.env.second_start()
        self.assertEqual(second.returncode, 0, second.stderr)
        wait_for(accessible_panel, what="the second start to open the panel")
        self.assertIsNone(self.app.poll(), "the first instance ended: " + self.output())


def nodes(root, depth=0):
    """Every node below `root`, however deep (task rows sit deeper than the panel's own controls)."""
    yield root
    for child in (root if depth < 30 else []):
        if child is not None:
            yield from nodes(child, depth + 1)


def node(root, role, name=None, prefix=None, timeout=20.0):
    """The first showing node of that role whose name is `name` (or starts with `prefix`)."""
    def found():
        return next((n for n in nodes(root() if callable(root) else root)
                     if n.getRole() == role and n.getState().contains(pyatspi.STATE_SHOWING)
                     and (name is None or n.name == name) and (prefix is None or n.name.startswith(prefix))), None)
    return wait_for(found, f"{pyatspi.Role(role)} {name or prefix}", timeout)


def has(n, state):
    return n.getState().contains(state)


def press(n):
    """The node's first action, as a screen reader's "activate" runs it."""
    n.queryAction().doAction(0)


class ScreenReaderUse(OnPrivateDesktop, unittest.TestCase):
    """What a screen reader can tell and do: which tab is shown, whether members without tasks are
    shown, pick a person, and use the Reassign menu without leaving a grab that eats the next click."""
    latency_ms = 0

    def test_tabs_tell_their_state_and_a_person_is_picked_by_action_or_click(self):
        panel = self.open_panel()
        mine = node(panel, pyatspi.ROLE_PAGE_TAB, prefix="Mine (")
        wait_for(lambda: node(panel, pyatspi.ROLE_PAGE_TAB, prefix="All (").name != "All (0)", "the first refresh")
        self.assertTrue(has(mine, pyatspi.STATE_CHECKED) and has(mine, pyatspi.STATE_SELECTED))
        press(node(panel, pyatspi.ROLE_PAGE_TAB, prefix="All ("))
        wait_for(lambda: has(node(panel, pyatspi.ROLE_PAGE_TAB, prefix="All ("), pyatspi.STATE_CHECKED),
                 "All to read checked")
        checked = [n.name for n in nodes(panel) if n.getRole() == pyatspi.ROLE_PAGE_TAB and has(n, pyatspi.STATE_CHECKED)]
        self.assertEqual(len(checked), 1, checked)
        self.assertTrue(checked[0].startswith("All ("), checked)

        toggle = node(panel, pyatspi.ROLE_CHECK_BOX, "Show members without tasks")
        self.assertFalse(has(toggle, pyatspi.STATE_CHECKED))
        press(toggle)
        wait_for(lambda: has(node(panel, pyatspi.ROLE_CHECK_BOX, "Show members without tasks"), pyatspi.STATE_CHECKED),
                 "the toggle to read checked")

        # A person picked through accessibility enables "Assign".
        self.assign_through_menu(panel)
        people = node(panel, pyatspi.ROLE_LIST, "People")
        assign = node(panel, pyatspi.ROLE_PUSH_BUTTON, "Assign")
        self.assertFalse(has(assign, pyatspi.STATE_ENABLED))
        rows = wait_for(lambda: [c for c in people if c is not None and c.getRole() == pyatspi.ROLE_LIST_ITEM][:4] or None,
                        "the group members")
        press(rows[2])
        wait_for(lambda: has(rows[2], pyatspi.STATE_SELECTED), "the person to read selected")
        wait_for(lambda: has(node(panel, pyatspi.ROLE_PUSH_BUTTON, "Assign"), pyatspi.STATE_ENABLED), "Assign enabled")
        self.assertEqual([r.name for r in rows if has(r, pyatspi.STATE_SELECTED)], [rows[2].name])

        # After a menu entry is triggered through accessibility, one click picks a row.
        press(node(panel, pyatspi.ROLE_PUSH_BUTTON, "Back"))
        self.assign_through_menu(panel)
        people = node(panel, pyatspi.ROLE_LIST, "People")
        row = wait_for(lambda: [c for c in people if c is not None and c.getRole() == pyatspi.ROLE_LIST_ITEM][1:2] or None,
                       "the group members")[0]
        x, y, width, height = row.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pyatspi.Registry.generateMouseEvent(x + width // 2, y + height // 2, pyatspi.MOUSE_B1C)
        wait_for(lambda: has(row, pyatspi.STATE_SELECTED), "one click to pick the person", timeout=10)
        self.assertTrue(has(node(panel, pyatspi.ROLE_PUSH_BUTTON, "Assign"), pyatspi.STATE_ENABLED))

    def assign_through_menu(self, panel):
        """Opens the assign sheet of the first listed task as a screen reader does: the row's Reassign
        button, then the menu's entry. A popup menu is not in the tree; it is found by the event that
        says it is showing. It must be gone once its entry has run."""
        menus = []

        def showing(event):
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
        node(panel, pyatspi.ROLE_LIST, "People")
        wait_for(lambda: not has(menu, pyatspi.STATE_SHOWING), "the menu to close")


class ToggleFromTheKeyboard(OnPrivateDesktop, unittest.TestCase):
    """`trayline --toggle`, as a desktop's own shortcut settings run it."""

    def toggle(self):
        run = subprocess.run([os.environ["TRAYLINE_BINARY"], "--toggle"], env=self.env.app_env(), timeout=30,
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
        self.assertTrue(glob.glob(os.path.join(self.env.runtime, "trayline-*", "instance.sock")))
        fresh = self.env.spawn([os.environ["TRAYLINE_BINARY"], "--toggle"], env=self.env.app_env(),
                               stdout=self.env.app_log, stderr=subprocess.STDOUT)
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
    tray = False

    def test_item_appears_in_the_same_process(self):
        self.env.wait_until_listening()
        bus = dbus.SessionBus()
        name = f"{ITEM}-{self.app.pid}-1"
        owner = wait_for(lambda: bus.name_has_owner(name) and bus.get_name_owner(name), what="the item's name")
        time.sleep(1)  # the app has looked for a tray and found none
        self.env.start_watcher()
        self.item = TrayEnv.item(*self.env.wait_for_item())
        # Registered by the connection that was there before the tray: no restart, no exec.
        self.assertEqual(bus.get_name_owner(name), owner)
        self.assertIsNone(self.app.poll(), self.output())
        self.open_panel()


class AttentionAndNotificationClicks(OnPrivateDesktop, unittest.TestCase):
    latency_ms = 1500  # the first icon is read before the first refresh ends

    def prepare(self):
        path = os.path.join(self.env.config, "com.brindle.trayline", "preferences.json")
        with open(path) as f:
            settings = json.load(f)
        with open(path, "w") as f:
            json.dump(dict(settings, pollMinutes=1), f)
        self.env.install_desktop_file()
        self.notifications = self.env.spawn(["/usr/bin/python3", os.path.join(HERE, "notification_service.py")],
                                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.notifications.stdout.readline().strip() == "serving"

    def test_a_new_request_asks_for_attention_until_the_panel_opens_from_its_notification(self):
        first = wait_for(lambda: TrayEnv.icon_pixmap(self.item), what="a first icon")
        wait_for(lambda: TrayEnv.icon_pixmap(self.item) != first, timeout=30, what="the first refresh")
        self.assertEqual(str(self.prop("Status")), "Active")
        # The next poll (a minute apart) brings it.
        self.env.control("insert_task", fields={"short_description": "Arrived just now"})
        assert select.select([self.notifications.stdout], [], [], 90)[0], self.output()
        said = self.notifications.stdout.readline().split(maxsplit=2)
        self.assertEqual(said[2].split(":")[0], "New request", said)
        wait_for(lambda: str(self.prop("Status")) == "NeedsAttention", what="NeedsAttention")

        self.notifications.stdin.write(f"click {said[1]}\n")
        self.notifications.stdin.flush()
        wait_for(accessible_panel, what="a click on the notification to open the panel")
        wait_for(lambda: str(self.prop("Status")) == "Active", what="Active once the panel opened")


def trayline_windows(x):
    """(window, title) of every top-level window titled as the app's window mode titles it."""
    found = []
    for window in x.screen().root.query_tree().children:
        try:
            title = window.get_full_text_property(x.intern_atom("_NET_WM_NAME")) or ""
        except error.BadWindow:  # gone since the query
            continue
        if title.startswith("Trayline \u2014 "):
            found.append((window, title))
    return found


class NoTrayAtAll(OnPrivateDesktop, unittest.TestCase):
    tray = False
    latency_ms = 0

    def test_the_panel_is_a_window_with_the_counts_that_closes_and_comes_back(self):
        x = display.Display()
        # After the 30 s wait: a window, titled with the counts once the first refresh is in.
        window, title = wait_for(lambda: [w for w in trayline_windows(x)
                                          if "0 mine, 0 unassigned" not in w[1]][:1], timeout=60,
                                 what="the window")[0]
        self.assertRegex(title, r"^Trayline \u2014 [1-9]\d* mine, \d+ unassigned$")
        wait_for(lambda: "no system tray found" in self.output(), what="the reason on standard error", timeout=5)
        def mapped(windows):
            try:
                return any(w.get_attributes().map_state == X.IsViewable for w in windows)
            except error.BadWindow:  # the toolkit may drop the native window of a closed one
                return False
        self.assertTrue(mapped([window]))
        # Closed as a window manager closes it.
        protocols = x.intern_atom("WM_PROTOCOLS")
        close = protocol.event.ClientMessage(window=window, client_type=protocols,
                                             data=(32, [x.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
        window.send_event(close)
        x.flush()
        wait_for(lambda: not mapped([window]), what="the window to close")
        time.sleep(0.5)
        self.assertIsNone(self.app.poll(), "closing the window ended the app: " + self.output())
        second = self.env.second_start()
        self.assertEqual(second.returncode, 0, second.stderr)
        wait_for(lambda: mapped([w for w, _ in trayline_windows(x)]), what="a second start to show the window again")


if __name__ == "__main__":
    unittest.main(verbosity=2)
