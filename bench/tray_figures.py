#!/usr/bin/python3
"""The real tray application's idle figures, on a private desktop (run inside dbus-run-session and
xvfb-run; TRAYLINE_BINARY and TRAYLINE_DEMO_INSTANCE name the executables): resident memory with
4 x 100 tasks loaded and the panel never opened, the threads it holds and its wake-ups while idle
between polls. The desktop is the whole-process tests' harness."""

import datetime
import glob
import os
import re
import select
import subprocess
import sys
import time

import dbus

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e")
sys.path.insert(0, TESTS)
from private_desktop import PrivateDesktop, wait_for  # noqa: E402

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


COUNTS = r"^\d+ open tasks? assigned to you, \d+ unassigned tasks? in your group$"


def seed_tasks(env):
    """4 x 100 tasks: the group's queue, mine, closed this month and last month."""
    demo_user = env.banner["Demo user"].split("sys_id ")[1].rstrip(")")
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
        env.control("insert_task", fields={"state": "5", "closed_at": utc(last_month + datetime.timedelta(seconds=i))})


def main():
    env = PrivateDesktop()
    try:
        env.start_instance()
        env.seed_signed_in_profile()
        seed_tasks(env)
        watcher = env.spawn(["/usr/bin/python3", os.path.join(TESTS, "tray", "sni_watcher.py")],
                            stdout=subprocess.PIPE, text=True)
        assert watcher.stdout.readline().strip() == "watching"
        app = env.start_app()
        assert select.select([watcher.stdout], [], [], 30)[0], f"no item registered; app: {env.app_output()}"
        said = watcher.stdout.readline().split()
        item = dbus.SessionBus().get_object(said[1], said[2])
        tooltip = lambda: str(item.Get("org.kde.StatusNotifierItem", "ToolTip",  # noqa: E731
                                       dbus_interface="org.freedesktop.DBus.Properties")[3])
        wait_for(lambda: re.match(COUNTS, tooltip()), "the first refresh", timeout=60)
        time.sleep(SETTLE)
        pid = app.pid
        rss = status_kib(pid, "VmRSS") / 1024.0
        before = switches_by_thread(pid)
        time.sleep(IDLE_WINDOW)
        after = switches_by_thread(pid)
        assert app.poll() is None, env.app_output()
    finally:
        env.close()
    wakeups = sum(n - before.get(tid, 0) for tid, n in after.items())
    ended = len(set(before) - set(after))
    print(f"tray app resident memory, 4 x 100 tasks loaded, panel closed: {rss:.1f} MiB (budget <= 60 MiB)")
    print(f"tray app wake-ups while idle between polls: {wakeups * 60 / IDLE_WINDOW:.1f} "
          f"voluntary context switches per minute, all {len(after)} threads (budget <= 5)"
          + (f"; {ended} threads ended meanwhile, not counted" if ended else ""))
    print(f"tray app threads while idle between polls: {len(after)}")


if __name__ == "__main__":
    main()
