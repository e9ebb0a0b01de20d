#!/usr/bin/python3
"""The tray application against an instance that rate-limits it and then ends its session, on a
private desktop with a stand-in tray: the item says it is limited and the instance hears nothing
until its retry time, then the counts come back; a refused refresh token signs out at once with one
notification, whose "Sign in" runs the browser sign-in again and brings the counts back.

Run inside `dbus-run-session -- xvfb-run -a`, with TRAYLINE_BINARY and TRAYLINE_DEMO_INSTANCE set."""

import os
import re
import select
import subprocess
import sys
import time
import unittest

import pyatspi

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_app_test import HERE, OnPrivateDesktop, node, press, wait_for  # noqa: E402

COUNTS = r"^(\d+ open tasks? assigned to you|No open tasks assigned to you), \d+ unassigned tasks? in your group$"


class LimitedThenSignedOut(OnPrivateDesktop, unittest.TestCase):
    latency_ms = 0
    instance_args = ("--auto-approve",)  # the browser's sign-in is approved at once

    def prepare(self):
        self.env.install_desktop_file()
        self.notifications = self.env.spawn(["/usr/bin/python3", os.path.join(HERE, "tray", "notification_service.py")],
                                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.notifications.stdout.readline().strip() == "serving"
        # The default browser of the private profile: fetches the authorize page and follows its
        # redirect back to the app, as a browser with a single sign-on session does.
        with open(os.path.join(self.env.data, "applications", "test-browser.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Browser\nExec=/usr/bin/curl -sL -o /dev/null %u\n"
                    "MimeType=x-scheme-handler/http;\n")
        with open(os.path.join(self.env.config, "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\nx-scheme-handler/http=test-browser.desktop\n")
        # The first refresh is refused: the instance asks for four seconds of quiet.
        self.env.control("fail_next", count=4, status=429, body='{"error":{"message":"Rate limit exceeded"}}',
                         headers={"Retry-After": "4"})

    def tooltip(self):
        return str(self.prop("ToolTip")[3])

    def requests(self):
        return len(self.env.control("request_log")["requests"])

    def notified(self, timeout):
        assert select.select([self.notifications.stdout], [], [], timeout)[0], self.output()
        return self.notifications.stdout.readline().rstrip("\n").split(maxsplit=2)

    def test_rate_limit_then_a_lost_session_and_a_new_sign_in(self):
        wait_for(lambda: "the instance limits requests until" in self.tooltip(), what="the limited item")
        seen = time.monotonic()
        sent = self.requests()
        wait_for(lambda: time.monotonic() > seen + 2, what="two seconds of the instance's quiet")
        self.assertEqual(self.requests(), sent, "a request went out before the instance's retry time")
        wait_for(lambda: re.match(COUNTS, self.tooltip()), timeout=20, what="fresh counts after the wait")

        self.env.control("expire_access_tokens")
        self.env.control("revoke_refresh_tokens")
        panel = self.open_panel()
        press(node(panel, pyatspi.ROLE_PUSH_BUTTON, "Refresh now"))
        wait_for(lambda: self.tooltip() == "Signed out of ServiceNow. Click to sign in.", what="the signed-out item")
        number, title = self.notified(20)[1:]
        self.assertEqual(title, "Signed out of ServiceNow")
        node(panel, pyatspi.ROLE_PUSH_BUTTON, "Sign in")  # the panel asks for a sign-in, not over old lists

        self.notifications.stdin.write(f"click {number}\n")  # its "Sign in"
        self.notifications.stdin.flush()
        wait_for(lambda: re.match(COUNTS, self.tooltip()), timeout=30, what="counts after signing in again")
        self.assertIsNone(self.app.poll(), self.output())


if __name__ == "__main__":
    unittest.main()
