"""Helpers of the whole-process tests that run the real app on a private desktop: waiting for a
condition, child processes that end with the test, and the demo instance's control endpoint."""

import json
import subprocess
import time
import urllib.request


def wait_for(predicate, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)
    return value


class PrivateDesktop:
    """Mixed into a unittest.TestCase that sets self.env (the children's environment) and self.url
    (the demo instance's address)."""

    def spawn(self, argv, **kw):
        process = subprocess.Popen(argv, env=self.env, text=True, **{"stdout": subprocess.PIPE, **kw})
        self.addCleanup(lambda: process.poll() is not None or (process.kill(), process.wait()))
        return process

    def control(self, action, **fields):
        request = urllib.request.Request(self.url + "/__control", data=json.dumps({"action": action, **fields}).encode(),
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as reply:
            return json.loads(reply.read() or b"{}")
