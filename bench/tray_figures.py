#!/usr/bin/python3
"""The real tray application's idle figures, on a private desktop (run inside dbus-run-session and
xvfb-run; TRAYLINE_BINARY and TRAYLINE_DEMO_INSTANCE name the executables): resident memory with
4 x 100 tasks loaded and the panel never opened, and wake-ups while idle between polls."""

import datetime
import glob
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e", "tray"))
from trayenv import TrayEnv, wait_for  # noqa: E402

IDLE_WINDOW = 30  # seconds; scaled to a minute
SETTLE = 35  # idle worker threads end after 30 s; their ending is not part of the idle state


def utc(t):
    return t.strftime("%Y-%m-%d %H:%M:%S")


def fill_lists(env, demo_user):
    now = datetime.datetime.now(datetime.timezone.utc)
    month_start = now.replace(day=1, hour=0, minute=0, second=0, microsecond=0)
    last_month = (month_start - datetime.timedelta(days=1)).replace(day=10)
    today = now.replace(hour=0, minute=0, second=0, microsecond=0)
    for i in range(100):
        stamp = utc(now - datetime.timedelta(minutes=i))
        env.control("insert_task", fields={"short_description": f"Queued {i}", "opened_at": stamp})
        env.control("insert_task", fields={"short_description": f"Mine {i}", "assigned_to": demo_user,
                                           "opened_at": stamp})
        env.control("insert_task", fields={"state": "5", "closed_at": utc(today + datetime.timedelta(seconds=i))})
        env.control("insert_task", fields={"state": "5",
                                           "closed_at": utc(last_month + datetime.timedelta(seconds=i))})


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


def status_field(pid, field, task="*"):
    total = 0
    for path in glob.glob(f"/proc/{pid}/task/{task}/status"):
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith(field + ":"):
                        total += int(line.split()[1])
        except FileNotFoundError:
            pass  # a thread that just ended
    return total


def main():
    with TrayEnv() as env:
        env.start_instance()
        demo_user = env.banner_value("Demo user").split("sys_id ")[1].rstrip(")")
        fill_lists(env, demo_user)
        env.seed_signed_in_profile()
        env.start_watcher()
        env.control("latency", ms=1500)  # the item's first image is read before the first refresh ends
        app = env.start_app()
        service, path = env.wait_for_item()
        item = env.item(service, path)
        first = env.icon_pixmap(item)
        wait_for(lambda: env.icon_pixmap(item) != first, timeout=60, what="the first refresh")
        env.control("latency", ms=0)
        time.sleep(SETTLE)
        rss = status_field(app.pid, "VmRSS", task=str(app.pid)) / 1024.0
        before = switches_by_thread(app.pid)
        time.sleep(IDLE_WINDOW)
        after = switches_by_thread(app.pid)
        assert app.poll() is None, env.app_output()
        wakeups = sum(n - before.get(tid, 0) for tid, n in after.items())
        ended = len(set(before) - set(after))
        print(f"tray app resident memory, 4 x 100 tasks loaded, panel closed: {rss:.1f} MiB (budget <= 60 MiB)")
        print(f"tray app wake-ups while idle between polls: {wakeups * 60 / IDLE_WINDOW:.1f} "
              f"voluntary context switches per minute, all {len(after)} threads (budget <= 5)"
              + (f"; {ended} threads ended meanwhile, not counted" if ended else ""))


if __name__ == "__main__":
    main()
