#!/usr/bin/env python3
"""Tests of faulty_http.py and with_http_server.sh against real sockets on loopback."""

import base64
import http.client
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "faulty_http.py")
LAUNCHER = os.path.join(HERE, "with_http_server.sh")
ADDR = os.environ.get("FAULTY_HTTP_ADDR", "127.0.0.61")
LAUNCH_ADDR = os.environ.get("FAULTY_HTTP_LAUNCH_ADDR", "127.0.0.63")
PORT = 80 if os.geteuid() == 0 else 18061


def wait_for(predicate, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def port_open(addr, port):
    try:
        socket.create_connection((addr, port), 0.5).close()
        return True
    except OSError:
        return False


def raw_request(addr, port, text, timeout=10):
    """Sends text, reads until the server closes; returns (head, body) as bytes."""
    s = socket.create_connection((addr, port), timeout)
    try:
        s.sendall(text.encode("latin-1"))
        chunks = []
        while True:
            b = s.recv(65536)
            if not b:
                break
            chunks.append(b)
    finally:
        s.close()
    data = b"".join(chunks)
    head, _, body = data.partition(b"\r\n\r\n")
    return head.decode("latin-1"), body


class ServerCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="faulty_http_test.")
        cls.root = os.path.join(cls.tmp, "site")
        cls.control = os.path.join(cls.tmp, "control")
        os.makedirs(os.path.join(cls.root, "sub"))
        os.makedirs(cls.control)
        rnd = random.Random(1234)
        cls.data = bytes(rnd.getrandbits(8) for _ in range(100000))
        cls.small = bytes(rnd.getrandbits(8) for _ in range(20000))
        for name, content in (("a.bin", cls.data), ("small.bin", cls.small), ("empty.bin", b""),
                              ("sub/c.bin", cls.small), ("sub/d.bin", cls.small)):
            with open(os.path.join(cls.root, name), "wb") as f:
                f.write(content)
        cls.ready = os.path.join(cls.control, "ready")
        cls.pid_file = os.path.join(cls.control, "pid")
        cls.stderr = open(os.path.join(cls.tmp, "server.err"), "w+")
        cls.proc = subprocess.Popen([sys.executable, SERVER, ADDR, cls.root, "--port", str(PORT),
                                     "--control", cls.control, "--ready-file", cls.ready,
                                     "--pid-file", cls.pid_file, "--quiet"], stderr=cls.stderr)
        if not wait_for(lambda: os.path.exists(cls.ready) or cls.proc.poll() is not None):
            cls.proc.kill()
        if cls.proc.poll() is not None:
            raise RuntimeError("server did not start: " + open(cls.stderr.name).read())

    @classmethod
    def tearDownClass(cls):
        cls.proc.send_signal(signal.SIGTERM)
        code = cls.proc.wait(10)
        cls.stderr.close()
        # A clean stop removes the files that announce the server.
        leftovers = [f for f in (cls.ready, cls.pid_file) if os.path.exists(f)]
        shutil.rmtree(cls.tmp, ignore_errors=True)
        assert code == 0 and not leftovers, (code, leftovers)

    def setUp(self):
        self.set_rules(None)
        self.clear_log()

    # --- helpers ---------------------------------------------------------------------
    def set_rules(self, rules):
        path = os.path.join(self.control, "rules.json")
        if rules is None:
            if os.path.exists(path):
                os.unlink(path)
            return
        tmp = path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(rules, f)
        os.replace(tmp, path)

    def clear_log(self):
        path = os.path.join(self.control, "requests.jsonl")
        if os.path.exists(path):
            os.unlink(path)

    def log(self):
        path = os.path.join(self.control, "requests.jsonl")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [json.loads(line) for line in f]

    def conn(self):
        return http.client.HTTPConnection(ADDR, PORT, timeout=10)

    def get(self, path, headers=None, method="GET"):
        c = self.conn()
        try:
            c.request(method, path, headers=headers or {})
            r = c.getresponse()
            return r.status, dict(r.getheaders()), r.read()
        finally:
            c.close()

    @staticmethod
    def basic(user, password):
        return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


class FaultyServerTest(ServerCase):
    def test_get_and_head(self):
        status, headers, body = self.get("/a.bin")
        self.assertEqual(status, 200)
        self.assertEqual(body, self.data)
        self.assertEqual(headers["Content-Length"], "100000")
        self.assertEqual(headers["Accept-Ranges"], "bytes")
        self.assertIn("Last-Modified", headers)
        status, headers, body = self.get("/sub/c.bin", method="HEAD")
        self.assertEqual((status, headers["Content-Length"], body), (200, "20000", b""))
        status, headers, body = self.get("/empty.bin")
        self.assertEqual((status, headers["Content-Length"], body), (200, "0", b""))
        status, _, _ = self.get("/missing.bin")
        self.assertEqual(status, 404)
        log = self.log()
        self.assertEqual([(e["method"], e["path"], e["status"], e["bytes_sent"]) for e in log],
                         [("GET", "/a.bin", 200, 100000), ("HEAD", "/sub/c.bin", 200, 0),
                          ("GET", "/empty.bin", 200, 0), ("GET", "/missing.bin", 404, 14)])

    def test_ranges(self):
        cases = [
            ("bytes=16384-", 206, "bytes 16384-99999/100000", self.data[16384:]),
            ("bytes=10-19", 206, "bytes 10-19/100000", self.data[10:20]),
            ("bytes=0-0", 206, "bytes 0-0/100000", self.data[:1]),
            ("bytes=-5", 206, "bytes 99995-99999/100000", self.data[-5:]),
            ("bytes=99999-200000", 206, "bytes 99999-99999/100000", self.data[-1:]),
            ("bytes=20-10", 200, None, self.data),            # invalid: ignored
            ("bytes=0-1,5-6", 200, None, self.data),          # several: whole file
            ("items=0-5", 200, None, self.data),              # unknown unit: ignored
        ]
        for header, want_status, want_range, want_body in cases:
            with self.subTest(range=header):
                status, headers, body = self.get("/a.bin", {"Range": header})
                self.assertEqual(status, want_status)
                self.assertEqual(headers.get("Content-Range"), want_range)
                self.assertEqual(int(headers["Content-Length"]), len(want_body))
                self.assertEqual(body, want_body)
        for path, header, size in (("/a.bin", "bytes=100000-", 100000), ("/a.bin", "bytes=200000-300000", 100000),
                                   ("/empty.bin", "bytes=0-", 0), ("/a.bin", "bytes=-0", 100000)):
            with self.subTest(unsatisfiable=header, path=path):
                status, headers, _ = self.get(path, {"Range": header})
                self.assertEqual(status, 416)
                self.assertEqual(headers["Content-Range"], "bytes */%d" % size)
        # HEAD with a range announces the part it would send.
        status, headers, body = self.get("/a.bin", {"Range": "bytes=50000-"}, method="HEAD")
        self.assertEqual((status, headers["Content-Length"], body), (206, "50000", b""))

    def test_keep_alive_and_http10(self):
        c = self.conn()
        try:
            c.request("GET", "/small.bin")
            r = c.getresponse()
            self.assertEqual(r.read(), self.small)
            sock = c.sock
            self.assertIsNotNone(sock)
            c.request("GET", "/a.bin", headers={"Range": "bytes=1-2"})
            r = c.getresponse()
            self.assertEqual(r.read(), self.data[1:3])
            self.assertIs(c.sock, sock)  # the same socket carried both requests
            c.request("GET", "/missing.bin")  # an error answer keeps the connection too
            r = c.getresponse()
            r.read()
            self.assertEqual(r.status, 404)
            self.assertIs(c.sock, sock)
        finally:
            c.close()
        log = self.log()
        self.assertEqual(len({e["conn"] for e in log}), 1)
        self.assertEqual([e["seq"] for e in log], [1, 2, 3])
        # An HTTP/1.0 client without keep-alive gets its answer and a closed connection.
        head, body = raw_request(ADDR, PORT, "GET /small.bin HTTP/1.0\r\n\r\n")
        self.assertTrue(head.startswith("HTTP/1.1 200"), head)
        self.assertIn("Connection: close", head)
        self.assertEqual(body, self.small)
        self.assertEqual(self.log()[-1]["version"], "HTTP/1.0")

    def test_basic_auth(self):
        self.set_rules({"auth": {"user": "u", "password": "p", "realm": "R1"},
                        "paths": {"/small.bin": {"auth": None},
                                  "/sub/c.bin": {"auth": {"user": "x", "password": "y:z"}}}})
        status, headers, _ = self.get("/a.bin")
        self.assertEqual(status, 401)
        self.assertEqual(headers["WWW-Authenticate"], 'Basic realm="R1"')
        status, _, _ = self.get("/a.bin", {"Authorization": self.basic("u", "wrong")})
        self.assertEqual(status, 401)
        status, _, _ = self.get("/a.bin", {"Authorization": "Bearer abc"})
        self.assertEqual(status, 401)
        status, _, body = self.get("/a.bin", {"Authorization": self.basic("u", "p")})
        self.assertEqual((status, body), (200, self.data))
        status, _, body = self.get("/small.bin")
        self.assertEqual((status, body), (200, self.small))
        self.assertEqual(self.get("/sub/c.bin", {"Authorization": self.basic("u", "p")})[0], 401)
        self.assertEqual(self.get("/sub/c.bin", {"Authorization": self.basic("x", "y:z")})[0], 200)
        got = [(e["authorization"], e["auth_ok"], e["status"]) for e in self.log()]
        self.assertEqual(got, [(None, False, 401), ("u:wrong", False, 401), ("Bearer abc", False, 401),
                               ("u:p", True, 200), (None, None, 200), ("u:p", False, 401),
                               ("x:y:z", True, 200)])

    def test_status_rule_and_times(self):
        self.set_rules({"paths": {"/a.bin": {"status": 404}, "/small.bin": {"status": 503, "times": 2}}})
        self.assertEqual(self.get("/a.bin")[0], 404)
        self.assertEqual(self.get("/a.bin")[0], 404)
        self.assertEqual([self.get("/small.bin")[0] for _ in range(3)], [503, 503, 200])
        # New rules text, new counts.
        self.set_rules({"paths": {"/small.bin": {"status": 500, "times": 1}}})
        self.assertEqual([self.get("/small.bin")[0] for _ in range(2)], [500, 200])
        self.assertEqual(self.get("/a.bin")[0], 200)
        log = self.log()
        self.assertEqual([e["applied"] for e in log], [True, True, True, True, False, True, False, False])
        self.assertEqual(log[0]["rule"], "/a.bin")

    def test_cut_after(self):
        self.set_rules({"paths": {"/a.bin": {"cut_after": 16384, "times": 1}}})
        head, body = raw_request(ADDR, PORT, "GET /a.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertIn("Content-Length: 100000", head)
        self.assertEqual(body, self.data[:16384])  # exactly N bytes, then the server closed
        # The second time the rule is spent: the whole file on a kept connection.
        status, _, body = self.get("/a.bin")
        self.assertEqual((status, body), (200, self.data))
        log = self.log()
        self.assertEqual([(e["bytes_sent"], e["length"], e["cut"]) for e in log],
                         [(16384, 100000, True), (100000, 100000, False)])
        # The cut counts the bytes of this answer, after the range's offset.
        self.set_rules({"paths": {"/a.bin": {"cut_after": 100}}})
        head, body = raw_request(ADDR, PORT, "GET /a.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=16384-\r\n\r\n")
        self.assertTrue(head.startswith("HTTP/1.1 206"), head)
        self.assertEqual(body, self.data[16384:16484])
        # A client that is refused for lack of credentials does not use up the rule.
        self.set_rules({"auth": {"user": "u", "password": "p"},
                        "paths": {"/a.bin": {"cut_after": 10, "times": 1}}})
        self.assertEqual(self.get("/a.bin")[0], 401)
        head, body = raw_request(ADDR, PORT, "GET /a.bin HTTP/1.1\r\nHost: x\r\nAuthorization: %s\r\n\r\n"
                                 % self.basic("u", "p"))
        self.assertEqual(body, self.data[:10])
        # A reset instead of an orderly close.
        self.set_rules({"paths": {"/a.bin": {"cut_after": 50000, "cut_mode": "reset"}}})
        s = socket.create_connection((ADDR, PORT), 10)
        got = b""
        reset = False
        try:
            s.sendall(b"GET /a.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            while True:
                b = s.recv(65536)
                if not b:
                    break
                got += b
        except ConnectionResetError:
            reset = True
        finally:
            s.close()
        self.assertTrue(reset)
        self.assertLessEqual(len(got.partition(b"\r\n\r\n")[2]), 50000)
        # A delay before the cut: the bytes come at once, the end only after the delay.
        self.set_rules({"paths": {"/a.bin": {"cut_after": 100, "cut_delay": 0.6}}})
        began = time.monotonic()
        head, body = raw_request(ADDR, PORT, "GET /a.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual(body, self.data[:100])
        self.assertGreaterEqual(time.monotonic() - began, 0.5)

    def test_slow_answers(self):
        # Lower bounds only: the server must not deliver faster than told.
        self.set_rules({"paths": {"/small.bin": {"rate": 40000}}})
        began = time.monotonic()
        status, _, body = self.get("/small.bin")
        self.assertGreaterEqual(time.monotonic() - began, 0.45)
        self.assertEqual((status, body), (200, self.small))

        self.set_rules({"paths": {"/small.bin": {"pause_after": 1000, "pause": 0.6}}})
        c = self.conn()
        try:
            c.request("GET", "/small.bin")
            r = c.getresponse()
            first = r.read(1000)
            t1 = time.monotonic()
            rest = r.read()
            self.assertGreaterEqual(time.monotonic() - t1, 0.5)
            self.assertEqual(first + rest, self.small)
        finally:
            c.close()

        self.set_rules({"paths": {"/small.bin": {"chunk_size": 5000, "chunk_delay": 0.2},
                                  "/a.bin": {"delay_headers": 0.5}}})
        began = time.monotonic()
        self.assertEqual(self.get("/small.bin")[2], self.small)
        self.assertGreaterEqual(time.monotonic() - began, 0.55)  # three pauses between four chunks
        began = time.monotonic()
        self.assertEqual(self.get("/a.bin")[0], 200)
        self.assertGreaterEqual(time.monotonic() - began, 0.5)

    def test_concurrent_connections(self):
        # A slow answer in progress must not hold up another client.
        self.set_rules({"paths": {"/a.bin": {"pause_after": 10, "pause": 3}}})
        slow = self.conn()
        try:
            slow.request("GET", "/a.bin")
            r = slow.getresponse()
            self.assertEqual(r.read(10), self.data[:10])
            began = time.monotonic()
            self.assertEqual(self.get("/small.bin")[2], self.small)
            self.assertLess(time.monotonic() - began, 2.5)
            self.assertEqual(r.read(), self.data[10:])
        finally:
            slow.close()

    def test_request_log_fields(self):
        # The line must be there as soon as the client holds the whole answer.
        for i in range(20):
            self.clear_log()
            headers = {"Referer": "http://ref.example/%d" % i, "User-Agent": "Halvorin",
                       "Authorization": self.basic("user%d" % i, "pass word"), "Range": "bytes=%d-" % (i * 100)}
            status, _, body = self.get("/a.bin", headers)
            self.assertEqual((status, body), (206, self.data[i * 100:]))
            log = self.log()
            self.assertEqual(len(log), 1, "request %d not logged at once" % i)
            e = log[0]
            self.assertEqual((e["method"], e["target"], e["path"], e["version"], e["host"]),
                             ("GET", "/a.bin", "/a.bin", "HTTP/1.1", ADDR if PORT == 80 else "%s:%d" % (ADDR, PORT)))
            self.assertEqual(e["referer"], "http://ref.example/%d" % i)
            self.assertEqual(e["authorization"], "user%d:pass word" % i)
            self.assertIsNone(e["auth_ok"])
            self.assertEqual(e["range"], "bytes=%d-" % (i * 100))
            self.assertEqual(e["user_agent"], "Halvorin")
            self.assertEqual((e["status"], e["bytes_sent"], e["length"]), (206, 100000 - i * 100, 100000 - i * 100))
        # Percent-escapes are decoded in "path"; "target" keeps what was sent.
        self.assertEqual(self.get("/sub/%63.bin?x=1")[2], self.small)
        e = self.log()[-1]
        self.assertEqual((e["target"], e["path"]), ("/sub/%63.bin?x=1", "/sub/c.bin"))

    def test_rules_file_handling(self):
        self.set_rules({"paths": {"/a.bin": {"status": 410}}})
        self.assertEqual(self.get("/a.bin")[0], 410)
        # Unreadable text: the last good rules stay.
        with open(os.path.join(self.control, "rules.json"), "w") as f:
            f.write('{"paths": {"/a.bin": ')
        self.assertEqual(self.get("/a.bin")[0], 410)
        self.set_rules(None)
        self.assertEqual(self.get("/a.bin")[0], 200)

    def test_other_rule_options(self):
        self.set_rules({
            "headers": {"X-All": "1"},
            "paths": {
                "/r.bin": {"redirect": "/small.bin", "redirect_status": 301},
                "/text.ini": {"body": "[IMAGE]\r\nx=1\r\n"},
                "/small.bin": {"headers": {"Cache-Control": "no-cache"}},
                "/a.bin": {"no_length": True},
                "/sub/*.bin": {"status": 403},
                "/sub/d.bin": {"ignore_range": True},
            }})
        status, headers, _ = self.get("/r.bin")
        host = ADDR if PORT == 80 else "%s:%d" % (ADDR, PORT)
        self.assertEqual((status, headers["Location"]), (301, "http://%s/small.bin" % host))
        status, headers, body = self.get("/text.ini")
        self.assertEqual((status, body), (200, b"[IMAGE]\r\nx=1\r\n"))
        self.assertEqual(headers["X-All"], "1")
        status, headers, body = self.get("/small.bin")
        self.assertEqual((status, headers["Cache-Control"], body), (200, "no-cache", self.small))
        head, body = raw_request(ADDR, PORT, "GET /a.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertNotIn("Content-Length", head)
        self.assertEqual(body, self.data)
        self.assertEqual(self.get("/sub/c.bin")[0], 403)  # pattern
        status, _, body = self.get("/sub/d.bin", {"Range": "bytes=5-"})  # exact key beats the pattern
        self.assertEqual((status, body), (200, self.small))

    def test_bad_requests(self):
        for target in ("/../../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/sub/../../site/a.bin", "/sub"):
            with self.subTest(target=target):
                head, _ = raw_request(ADDR, PORT, "GET %s HTTP/1.0\r\n\r\n" % target)
                self.assertTrue(head.startswith("HTTP/1.1 404"), head)
        status, _, _ = self.get("/a.bin", method="POST")
        self.assertEqual(status, 501)
        head, _ = raw_request(ADDR, PORT, "GET /a b HTTP/1.1\r\n\r\n")
        self.assertIn(" 400 ", head.splitlines()[0])
        methods = [(e["method"], e["status"]) for e in self.log()]
        self.assertEqual(methods[-2:], [("POST", 501), (None, 400)])


class LauncherTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="faulty_http_launch.")
        self.root = os.path.join(self.tmp, "site")
        self.control = os.path.join(self.tmp, "ctl")
        os.makedirs(self.root)
        with open(os.path.join(self.root, "f.txt"), "w") as f:
            f.write("hello")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_with_http_server(self):
        client = ("import os, urllib.request, sys\n"
                  "u = 'http://%s:%s/f.txt' % (os.environ['HALVORIN_HTTP_ADDR'], os.environ['HALVORIN_HTTP_PORT'])\n"
                  "assert urllib.request.urlopen(u).read() == b'hello'\n"
                  "print(os.environ['HALVORIN_HTTP_CONTROL_WIN'])\n"
                  "sys.exit(7)\n")
        p = subprocess.run(["bash", LAUNCHER, LAUNCH_ADDR, self.root, self.control, "--port", str(PORT),
                            "--", sys.executable, "-c", client], capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 7, p.stderr)  # the command's own code
        self.assertEqual(p.stdout.strip(), "Z:" + os.path.realpath(self.control).replace("/", "\\"))
        self.assertFalse(port_open(LAUNCH_ADDR, PORT))  # the server is gone
        self.assertFalse(os.path.exists(os.path.join(self.control, "server.pid")))
        with open(os.path.join(self.control, "requests.jsonl")) as f:
            self.assertEqual(json.loads(f.readline())["path"], "/f.txt")
        # A server that cannot start (bad port) gives 125 and never runs the command.
        marker = os.path.join(self.tmp, "ran")
        p = subprocess.run(["bash", LAUNCHER, LAUNCH_ADDR, self.root, self.control, "--port", "notaport",
                            "--", "touch", marker], capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 125)
        self.assertFalse(os.path.exists(marker))

    def test_server_ends_with_a_killed_launcher(self):
        # A launcher killed outright (as by a test timeout) must not leave the address taken.
        cmd_pid = os.path.join(self.tmp, "cmd.pid")
        command = "import os, sys, time; open(sys.argv[1], 'w').write(str(os.getpid())); time.sleep(60)"
        launcher = subprocess.Popen(["bash", LAUNCHER, LAUNCH_ADDR, self.root, self.control, "--port", str(PORT),
                                     "--", sys.executable, "-c", command, cmd_pid])
        try:
            self.assertTrue(wait_for(lambda: os.path.exists(cmd_pid) and os.path.getsize(cmd_pid) > 0))
            self.assertTrue(port_open(LAUNCH_ADDR, PORT))
            launcher.kill()
            launcher.wait(10)
            self.assertTrue(wait_for(lambda: not port_open(LAUNCH_ADDR, PORT), 5))
        finally:
            with open(cmd_pid) as f:
                os.kill(int(f.read()), signal.SIGKILL)

    def test_daemon_and_sigterm(self):
        pid_file = os.path.join(self.control, "server.pid")
        cmd = [sys.executable, SERVER, LAUNCH_ADDR, self.root, "--port", str(PORT), "--control", self.control,
               "--daemon", "--quiet"]
        self.assertEqual(subprocess.run(cmd, timeout=30).returncode, 0)
        try:
            # Listening already when the starter returns.
            self.assertTrue(port_open(LAUNCH_ADDR, PORT))
            # A second server on the same address reports its failure.
            self.assertEqual(subprocess.run(cmd, timeout=30, stderr=subprocess.DEVNULL).returncode, 1)
        finally:
            with open(pid_file) as f:
                pid = int(f.read())
            os.kill(pid, signal.SIGTERM)
        self.assertTrue(wait_for(lambda: not os.path.exists(pid_file)))
        self.assertTrue(wait_for(lambda: not port_open(LAUNCH_ADDR, PORT)))


if __name__ == "__main__":
    unittest.main(verbosity=2)
