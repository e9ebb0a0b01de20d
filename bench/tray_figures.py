#!/usr/bin/python3
"""The real tray application's idle figures, on a private desktop (run inside dbus-run-session and
xvfb-run; TRAYLINE_BINARY and TRAYLINE_DEMO_INSTANCE name the executables): resident memory with
4 x 100 tasks loaded and the panel never opened, the threads it holds and its wake-ups while idle
between polls. The desktop is the tray end-to-end test's harness."""

import datetime
import glob
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e", "tray"))
from tray_app_test import OnPrivateDesktop, wait_for  # noqa: E402

IDLE_WINDOW = 30  # seconds; scaled to a minute
SETTLE = 35  # idle worker threads end after 30 s; their ending is not part of the idle state


def utc(t):
    return t.strftime("%Y-%m-%d %H:%M:%S")


def switches_by_thread(pid):
    counts = {}
    for path in glob.glob(f"/proc/{pid}/task/*/status"):
        tid = path.split("/")[4]
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        counts[tid] = int(line.split()[1])
        except FileNotFoundError:
            pass  # a thread that just ended
    return counts


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class Figures(OnPrivateDesktop, unittest.TestCase):
    latency_ms = 1500  # the item's first image is read before the first refresh ends

    def seed_signed_in_profile(self, banner):
        super().seed_signed_in_profile(banner)
        demo_user = banner["Demo user"].split("sys_id ")[1].rstrip(")")
        now = datetime.datetime.now(datetime.timezone.utc)
        month_start = now.replace(day=1, hour=0, minute=0, second=0, microsecond=0)
        last_month = (month_start - datetime.timedelta(days=1)).replace(day=10)
        today = now.replace(hour=0, minute=0, second=0, microsecond=0)
        for i in range(100):
            stamp = utc(now - datetime.timedelta(minutes=i))
            self.control("insert_task", fields={"short_description": f"Queued {i}", "opened_at": stamp})
            self.control("insert_task", fields={"short_description": f"Mine {i}", "assigned_to": demo_user,
                                                "opened_at": stamp})
            self.control("insert_task", fields={"state": "5", "closed_at": utc(today + datetime.timedelta(seconds=i))})
            self.control("insert_task", fields={"state": "5",
                                                "closed_at": utc(last_month + datetime.timedelta(seconds=i))})

    def runTest(self):
        first = wait_for(self.icon, "a first icon")
        wait_for(lambda: self.icon() != first, "the first refresh", timeout=60)
        self.control("latency", ms=0)
        time.sleep(SETTLE)
        pid = self.app.pid
        rss = status_kib(pid, "VmRSS") / 1024.0
        before = switches_by_thread(pid)
        time.sleep(IDLE_WINDOW)
        after = switches_by_thread(pid)
        self.assertIsNone(self.app.poll(), self.output())
        wakeups = sum(n - before.get(tid, 0) for tid, n in after.items())
        ended = len(set(before) - set(after))
        print(f"tray app resident memory, 4 x 100 tasks loaded, panel closed: {rss:.1f} MiB (budget <= 60 MiB)")
        print(f"tray app wake-ups while idle between polls: {wakeups * 60 / IDLE_WINDOW:.1f} "
              f"voluntary context switches per minute, all {len(after)} threads (budget <= 5)"
              + (f"; {ended} threads ended meanwhile, not counted" if ended else ""))
        print(f"tray app threads while idle between polls: {len(after)}")


if __name__ == "__main__":
    outcome = unittest.TextTestRunner(verbosity=0, stream=open(os.devnull, "w")).run(Figures())
    for _, trace in outcome.errors + outcome.failures:
        print(trace, file=sys.stderr)
    sys.exit(0 if outcome.wasSuccessful() else 1)
