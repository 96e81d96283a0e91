#!/usr/bin/env python3
"""Tests of with_nginx.sh: a real nginx with Range and basic auth, started and stopped
around a command, without touching the system's nginx files."""

import base64
import http.client
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
LAUNCHER = os.path.join(HERE, "with_nginx.sh")
ADDR = os.environ.get("WITH_NGINX_ADDR", "127.0.0.62")
PORT = 80 if os.geteuid() == 0 else 18062


def port_open():
    import socket
    try:
        socket.create_connection((ADDR, PORT), 0.5).close()
        return True
    except OSError:
        return False


def system_files():
    state = {}
    for d in ("/var/log/nginx", "/etc/nginx"):
        for dirpath, _, names in os.walk(d):
            for n in names:
                p = os.path.join(dirpath, n)
                try:
                    st = os.stat(p)
                    state[p] = (st.st_size, st.st_mtime_ns)
                except OSError:
                    pass
    return state


@unittest.skipUnless(os.path.exists("/usr/sbin/nginx") and os.geteuid() == 0, "needs nginx and root")
class WithNginxTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="with_nginx_test.")
        self.root = os.path.join(self.tmp, "site")
        self.control = os.path.join(self.tmp, "ctl")
        os.makedirs(self.root)
        self.data = bytes(random.Random(7).getrandbits(8) for _ in range(40000))
        with open(os.path.join(self.root, "f.bin"), "wb") as f:
            f.write(self.data)
        self.release = os.path.join(self.tmp, "release")
        self.before = system_files()

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start(self, *options, exit_code=0):
        """Runs the launcher with a command that waits for self.release, then exits."""
        wait = ("import os, sys, time\n"
                "while not os.path.exists(sys.argv[1]): time.sleep(0.05)\n"
                "sys.exit(int(sys.argv[2]))\n")
        p = subprocess.Popen(["bash", LAUNCHER, ADDR, self.root, "--control", self.control, "--port", str(PORT),
                              *options, "--", sys.executable, "-c", wait, self.release, str(exit_code)])
        end = time.monotonic() + 15
        while not port_open():
            if p.poll() is not None or time.monotonic() > end:
                p.kill()
                self.fail("nginx did not come up (launcher code %s)" % p.poll())
            time.sleep(0.05)
        return p

    def stop(self, p):
        open(self.release, "w").close()
        return p.wait(30)

    def get(self, headers=None):
        c = http.client.HTTPConnection(ADDR, PORT, timeout=10)
        try:
            c.request("GET", "/f.bin", headers=headers or {})
            r = c.getresponse()
            return r.status, dict(r.getheaders()), r.read()
        finally:
            c.close()

    def log(self):
        with open(os.path.join(self.control, "nginx_requests.jsonl")) as f:
            return [json.loads(line) for line in f]

    def test_range_and_auth(self):
        p = self.start("--auth", "u:p w", exit_code=5)
        try:
            def basic(user, password):
                return {"Authorization": "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()}
            status, headers, _ = self.get()
            self.assertEqual(status, 401)
            self.assertIn("Basic", headers["WWW-Authenticate"])
            self.assertEqual(self.get(basic("u", "wrong"))[0], 401)
            status, _, body = self.get(basic("u", "p w"))
            self.assertEqual((status, body), (200, self.data))
            h = basic("u", "p w")
            h["Range"] = "bytes=16384-"
            h["Referer"] = "http://from.example/"
            status, headers, body = self.get(h)
            self.assertEqual(status, 206)
            self.assertEqual(headers["Content-Range"], "bytes 16384-39999/40000")
            self.assertEqual(body, self.data[16384:])
        finally:
            code = self.stop(p)
        self.assertEqual(code, 5)  # the command's own exit code
        self.assertFalse(port_open())  # nginx is gone
        log = self.log()
        self.assertEqual([(e["status"], e["user"]) for e in log], [(401, ""), (401, "u"), (200, "u"), (206, "u")])
        self.assertEqual((log[3]["range"], log[3]["referer"], log[3]["bytes_sent"]),
                         ("bytes=16384-", "http://from.example/", 40000 - 16384))
        self.assertEqual(system_files(), self.before)
        self.assertEqual([d for d in os.listdir("/tmp") if d.startswith("with_nginx.") and
                          os.path.exists(os.path.join("/tmp", d, "nginx.conf")) and
                          str(ADDR) in open(os.path.join("/tmp", d, "nginx.conf")).read()], [])

    def test_without_auth(self):
        p = self.start()
        try:
            status, _, body = self.get()
            self.assertEqual((status, body), (200, self.data))
            status, headers, body = self.get({"Range": "bytes=40000-"})
            self.assertEqual(status, 416)
        finally:
            code = self.stop(p)
        self.assertEqual(code, 0)
        self.assertFalse(port_open())


if __name__ == "__main__":
    unittest.main(verbosity=2)
