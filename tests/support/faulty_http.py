#!/usr/bin/env python3
"""Fault-injecting HTTP/1.1 file server for the transfer tests (Python 3 standard library only).

    faulty_http.py ADDR ROOT [--port 80] [--control DIR] [--pid-file FILE]
                   [--ready-file FILE] [--daemon] [--quiet] [--parent-pid PID]

Serves the files under ROOT on ADDR:PORT (GET and HEAD; HTTP/1.1 keep-alive with
Content-Length; HTTP/1.0 clients get their connection closed unless they ask for
keep-alive). A single "Range: bytes=N-", "bytes=N-M" or "bytes=-S" is answered with
206 and Content-Range, an unsatisfiable one with 416; several ranges or an invalid
one are ignored (200 with the whole file), as HTTP allows.

Control goes through files, so that Windows programs under Wine can reach it through
Z:\\... . The control directory is --control DIR, or the parent of ROOT:

  DIR/rules.json     read again before every request (missing: no rules). Any change
                     to its text resets the "times" counters. Write it whole (write a
                     temporary file and rename it) so that no request sees half of it;
                     a file that does not parse is retried briefly, then the last good
                     rules stay in force.
  DIR/requests.jsonl one JSON object per line and per request, appended and flushed
                     at once (the file is opened for every line, so a test may empty or
                     delete it between steps).

rules.json:
  {
    "auth":    {"user": "u", "password": "p", "realm": "Halvorin"},  # basic auth, all paths
    "headers": {"Cache-Control": "no-cache"},                       # extra headers, all answers
    "paths": {
      "/a.bin": {"status": 404},                   # answer this status (small text body)
      "/b.bin": {"cut_after": 16384, "times": 1},  # close after 16384 body bytes, first time only
      "/c.bin": {"rate": 65536},                   # at most 65536 body bytes per second
      "/d.bin": {"chunk_size": 4096, "chunk_delay": 0.05},  # pause after every chunk
      "/e.bin": {"pause_after": 16384, "pause": 2.0},       # one pause after N body bytes
      "/f.bin": {"delay_headers": 1.5},            # wait before the status line
      "/g.bin": {"redirect": "/other.bin", "redirect_status": 302},
      "/h.bin": {"ignore_range": true},            # answer 200 with the whole file anyway
      "/i.bin": {"body": "text"},                  # serve this text (UTF-8) instead of a file
      "/big.bin": {"generate": 2147500000},        # serve that many bytes, byte i = i % 251
      "/j.bin": {"no_length": true},               # no Content-Length; close after the body
      "/k.bin": {"auth": null},                    # no credentials needed here
      "/l.bin": {"auth": {"user": "x", "password": "y"}},   # other credentials here
      "/m.bin": {"cut_after": 100, "cut_mode": "reset"},    # end with a TCP reset, not a FIN
      "/o.bin": {"cut_after": 100, "cut_delay": 0.5},       # wait that long before cutting
      "/n.bin": {"headers": {"X-Test": "1"}},
      "/dir/*.bin": {"rate": 1000}                 # shell-style pattern (fnmatch, case-sensitive)
    }
  }
A path key matches the percent-decoded request path without its query; an exact key
wins over patterns, patterns are tried in file order. Credentials are checked first;
the remaining parts of a rule (everything except "auth") apply only to the first
"times" requests (GET or HEAD) that passed the check, when "times" is given. cut_after,
pause_after and the rate count body bytes of this answer (after a Range offset).

requests.jsonl fields (compact JSON, ASCII, in this order):
  id, t (Unix time), conn (connection number), seq (request number on that connection),
  client, method, target (as sent), path (decoded), version, host, referer,
  authorization ("user:password" for Basic, the raw header otherwise, null when absent),
  auth_ok (true/false, null when no credentials were required), range, user_agent,
  status, bytes_sent (body bytes handed to the connection), length (body length the
  answer announced), rule (the matching key or null), applied (whether its faults were
  in force), cut (true when the connection was cut on purpose), aborted (true when the
  client went away first), error.
The line of a request is written before the last piece of its answer goes out, so a
client that has received a whole answer always finds the line already there.

The server writes its PID to --pid-file (default DIR/server.pid), creates --ready-file
once it listens, and stops cleanly on SIGTERM or SIGINT (both files are removed), or
when the process --parent-pid names has ended (a launcher killed by a test timeout).
With --daemon it detaches and the starting process exits 0 once the server listens,
1 when it could not start.
"""

import argparse
import base64
import binascii
import email.utils
import fnmatch
import json
import mimetypes
import os
import posixpath
import signal
import socket
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def log_err(message):
    sys.stderr.write("faulty_http: %s\n" % message)
    sys.stderr.flush()


class RuleStore:
    """Rules from DIR/rules.json, read again for every request."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.raw = None
        self.rules = {}
        self.counters = {}
        self.warned = None

    def _read(self):
        try:
            with open(self.path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""
        except OSError as e:
            log_err("cannot read %s: %s" % (self.path, e))
            return None

    def current(self):
        with self.lock:
            raw = self._read()
            if raw is None or raw == self.raw:
                return self.rules
            # A writer may be half way through the file: give it a moment.
            for _ in range(10):
                try:
                    parsed = json.loads(raw.decode("utf-8")) if raw.strip() else {}
                    if not isinstance(parsed, dict):
                        raise ValueError("top level is not an object")
                    break
                except (ValueError, UnicodeDecodeError) as e:
                    parsed = None
                    err = e
                    time.sleep(0.01)
                    raw = self._read() or b""
            if parsed is None:
                if self.warned != raw:
                    log_err("ignoring unreadable %s (%s); keeping the last good rules" % (self.path, err))
                    self.warned = raw
                return self.rules
            self.raw = raw
            self.rules = parsed
            self.counters = {}
            return self.rules

    def count(self, key):
        """Counts one more request for the rule under key; returns the new count."""
        with self.lock:
            n = self.counters.get(key, 0) + 1
            self.counters[key] = n
            return n

    @staticmethod
    def match(rules, path):
        paths = rules.get("paths") or {}
        if not isinstance(paths, dict):
            return None, None
        if path in paths:
            return path, paths[path]
        for key, rule in paths.items():
            if any(c in key for c in "*?[") and fnmatch.fnmatchcase(path, key):
                return key, rule
        return None, None


class RequestLog:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.next_id = 1

    def new_id(self):
        with self.lock:
            n = self.next_id
            self.next_id += 1
            return n

    def append(self, record):
        line = json.dumps(record, ensure_ascii=True, separators=(",", ":")) + "\n"
        with self.lock:
            fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
            try:
                os.write(fd, line.encode("ascii"))
            finally:
                os.close(fd)


def parse_range(header, size):
    """Returns None (ignore the header), "unsatisfiable", or (first, last) inclusive."""
    header = header.strip()
    if not header.lower().startswith("bytes="):
        return None
    range_text = header[6:].strip()
    if "," in range_text:
        return None  # several ranges: answered with the whole file
    first, sep, last = range_text.partition("-")
    first, last = first.strip(), last.strip()
    if not sep:
        return None
    try:
        if first == "":
            if not last.isdigit():
                return None
            suffix = int(last)
            if suffix == 0 or size == 0:
                return "unsatisfiable"
            return (max(0, size - suffix), size - 1)
        if not first.isdigit() or (last and not last.isdigit()):
            return None
        start = int(first)
        end = int(last) if last else size - 1
    except ValueError:
        return None
    if last and end < start:
        return None  # syntactically invalid: ignored
    if start >= size:
        return "unsatisfiable"
    return (start, min(end, size - 1))


def decode_authorization(value):
    if value is None:
        return None, None
    scheme, _, param = value.strip().partition(" ")
    if scheme.lower() != "basic":
        return value, None
    try:
        decoded = base64.b64decode(param.strip(), validate=True).decode("latin-1")
    except (binascii.Error, ValueError):
        return value, None
    return decoded, decoded


class ClientGone(Exception):
    pass


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FaultyHTTP/1.0"
    sys_version = ""
    timeout = 120  # idle keep-alive connections end after this

    def setup(self):
        super().setup()
        self.conn_id = self.server.new_connection_id()
        self.seq = 0

    def log_message(self, format, *args):
        if not self.server.quiet:
            log_err("%s %s" % (self.address_string(), format % args))

    # --- request log -----------------------------------------------------------------
    def _start_record(self):
        self.seq += 1
        auth_text, _ = decode_authorization(self.headers.get("Authorization"))
        target = self.path
        path = urllib.parse.unquote(urllib.parse.urlsplit(target).path, encoding="latin-1")
        self.record = {
            "id": self.server.request_log.new_id(),
            "t": round(time.time(), 3),
            "conn": self.conn_id,
            "seq": self.seq,
            "client": "%s:%d" % self.client_address[:2],
            "method": self.command,
            "target": target,
            "path": path,
            "version": self.request_version,
            "host": self.headers.get("Host"),
            "referer": self.headers.get("Referer"),
            "authorization": auth_text,
            "auth_ok": None,
            "range": self.headers.get("Range"),
            "user_agent": self.headers.get("User-Agent"),
            "status": None,
            "bytes_sent": 0,
            "length": None,
            "rule": None,
            "applied": False,
            "cut": False,
            "aborted": False,
            "error": None,
        }
        self.logged = False
        return path

    def _write_record(self):
        if not self.logged:
            self.logged = True
            self.server.request_log.append(self.record)

    def send_error(self, code, message=None, explain=None):
        # Requests that never reached do_GET/do_HEAD (bad syntax, other methods); logged
        # before the answer goes out, like every other request.
        if getattr(self, "command", None) and getattr(self, "headers", None) is not None:
            self._start_record()
        else:
            self.seq += 1
            self.record = {"id": self.server.request_log.new_id(), "t": round(time.time(), 3),
                           "conn": self.conn_id, "seq": self.seq,
                           "client": "%s:%d" % self.client_address[:2],
                           "method": getattr(self, "command", None),
                           "target": getattr(self, "path", None)}
            self.logged = False
        self.record["status"] = code
        self.record["error"] = message
        self._write_record()
        super().send_error(code, message, explain)

    # --- sending -----------------------------------------------------------------------
    def _send(self, data):
        try:
            self.wfile.write(data)
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, socket.timeout) as e:
            raise ClientGone(str(e))

    def _begin(self, status, headers, length):
        """Status line and headers (kept in the buffer until _end_headers)."""
        self.record["status"] = status
        self.record["length"] = length
        self.send_response_only(status)
        self.send_header("Date", self.date_time_string())
        self.send_header("Server", self.server_version)
        for name, value in headers:
            self.send_header(name, str(value))
        if length is None:
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(length))
        if self.close_connection:
            self.send_header("Connection", "close")
        elif self.request_version == "HTTP/1.0":
            self.send_header("Connection", "keep-alive")

    def _end_headers(self):
        self._headers_buffer.append(b"\r\n")
        data = b"".join(self._headers_buffer)
        self._headers_buffer = []
        self._send(data)

    def _simple(self, status, text, headers=()):
        body = b"" if self.command == "HEAD" else text.encode("utf-8")
        self._begin(status, [("Content-Type", "text/plain; charset=utf-8")] + list(headers) +
                    self.extra_headers, len(text.encode("utf-8")))
        self.record["bytes_sent"] = len(body)
        self._write_record()
        self._end_headers()
        if body:
            self._send(body)

    def do_GET(self):
        self._serve()

    def do_HEAD(self):
        self._serve()

    def _serve(self):
        path = self._start_record()
        try:
            self._serve_path(path)
        except ClientGone as e:
            self.close_connection = True
            self.record["aborted"] = True
            self.record["error"] = self.record["error"] or str(e)
            if self.logged:
                log_err("request %d: client went away during the last piece: %s" % (self.record["id"], e))
            self._write_record()
        except Exception as e:  # a fault of this server must still leave a trace
            self.close_connection = True
            self.record["error"] = "server error: %r" % (e,)
            self._write_record()
            raise

    def _serve_path(self, path):
        rules = self.server.rules.current()
        key, rule = RuleStore.match(rules, path)
        rule = rule if isinstance(rule, dict) else {}
        self.record["rule"] = key
        self.extra_headers = list((rules.get("headers") or {}).items()) + list((rule.get("headers") or {}).items())

        # Credentials come first, so that a client's unauthenticated first try does not
        # use up a rule that is limited by "times".
        auth = rule["auth"] if "auth" in rule else rules.get("auth")
        if auth:
            wanted = "%s:%s" % (auth.get("user", ""), auth.get("password", ""))
            ok = self.record["authorization"] == wanted and \
                (self.headers.get("Authorization") or "").strip().lower().startswith("basic ")
            self.record["auth_ok"] = ok
            if not ok:
                realm = auth.get("realm", "Halvorin test")
                self._simple(401, "401 Unauthorized\n", [("WWW-Authenticate", 'Basic realm="%s"' % realm)])
                return

        applied = {}
        if key is not None:
            n = self.server.rules.count(key)
            times = rule.get("times")
            if times is None or n <= int(times):
                applied = rule
                self.record["applied"] = True

        if applied.get("delay_headers"):
            time.sleep(float(applied["delay_headers"]))

        if "status" in applied:
            status = int(applied["status"])
            self._simple(status, "%d %s\n" % (status, self.responses.get(status, ("",))[0]))
            return
        if applied.get("redirect"):
            location = applied["redirect"]
            if location.startswith("/"):
                location = "http://%s%s" % (self.headers.get("Host") or self.server.server_address[0], location)
            status = int(applied.get("redirect_status", 302))
            self._simple(status, "moved to %s\n" % location, [("Location", location)])
            return

        # The body: a text from the rule, generated bytes, or a file under the root.
        if "generate" in applied:
            source = GeneratedBytes(int(applied["generate"]))
            data = None
            size = source.size
            mtime = self.server.start_time
            ctype = "application/octet-stream"
        elif "body" in applied:
            data = str(applied["body"]).encode("utf-8")
            source = None
            size = len(data)
            mtime = self.server.start_time
            ctype = "application/octet-stream"
        else:
            fs_path = self.server.translate(path)
            if fs_path is None or not os.path.isfile(fs_path):
                self._simple(404, "404 Not Found\n")
                return
            try:
                source = open(fs_path, "rb")
            except OSError:
                self._simple(403, "403 Forbidden\n")
                return
            data = None
            st = os.fstat(source.fileno())
            size = st.st_size
            mtime = st.st_mtime
            ctype = mimetypes.guess_type(fs_path)[0] or "application/octet-stream"

        try:
            headers = [("Content-Type", ctype),
                       ("Last-Modified", email.utils.formatdate(mtime, usegmt=True)),
                       ("Accept-Ranges", "bytes")]
            start, end = 0, size - 1
            status = 200
            range_header = self.headers.get("Range")
            if range_header is not None and not applied.get("ignore_range"):
                r = parse_range(range_header, size)
                if r == "unsatisfiable":
                    self._simple(416, "416 Range Not Satisfiable\n", [("Content-Range", "bytes */%d" % size)])
                    return
                if r is not None:
                    start, end = r
                    status = 206
                    headers.append(("Content-Range", "bytes %d-%d/%d" % (start, end, size)))
            length = end - start + 1 if size else 0
            if applied.get("no_length"):
                self.close_connection = True
                self._begin(status, headers + self.extra_headers, None)
            else:
                self._begin(status, headers + self.extra_headers, length)
            if self.command == "HEAD" or length == 0:
                self._write_record()
                self._end_headers()
                return
            self._end_headers()
            if source is not None:
                source.seek(start)
            self._send_body(source, data, start, length, applied)
        finally:
            if source is not None:
                source.close()

    def _send_body(self, source, data, start, length, rule):
        cut_after = rule.get("cut_after")
        limit = length if cut_after is None else min(length, max(0, int(cut_after)))
        cut = cut_after is not None and limit < length
        rate = float(rule["rate"]) if rule.get("rate") else None
        chunk_delay = float(rule.get("chunk_delay") or 0)
        pause_after = rule.get("pause_after")
        pause = float(rule.get("pause") or 0)
        chunk = int(rule.get("chunk_size") or 16384)
        if rate:
            chunk = max(1, min(chunk, int(rate / 20) or 1))  # about 20 pieces a second
        began = time.monotonic()
        sent = 0
        paused = False
        self.record["cut"] = cut
        while sent < limit:
            if pause_after is not None and not paused and sent >= int(pause_after):
                paused = True
                time.sleep(pause)
            n = min(chunk, limit - sent)
            if pause_after is not None and not paused:
                n = min(n, int(pause_after) - sent)
            if source is not None:
                piece = source.read(n)
                if not piece:  # the file shrank under us
                    self.close_connection = True
                    self.record["error"] = "file ended early"
                    break
            else:
                piece = data[start + sent:start + sent + n]
            last = sent + len(piece) >= limit
            if last:
                self.record["bytes_sent"] = sent + len(piece)
                self._write_record()
            self._send(piece)
            sent += len(piece)
            if not last:
                self.record["bytes_sent"] = sent
            if chunk_delay and sent < limit:
                time.sleep(chunk_delay)
            if rate:
                ahead = sent / rate - (time.monotonic() - began)
                if ahead > 0:
                    time.sleep(ahead)
        self.record["bytes_sent"] = sent
        self._write_record()
        if cut or self.record["error"]:
            self.close_connection = True
            if cut and rule.get("cut_delay"):
                time.sleep(float(rule["cut_delay"]))
            try:
                if rule.get("cut_mode") == "reset":
                    # A zero linger time turns the close into a reset; close now, before
                    # the server's usual half-close could send a FIN first.
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    self.rfile.close()
                    self.connection.close()
                else:
                    self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class GeneratedBytes:
    """A file of any size that exists nowhere: byte i is i % 251, so a piece written at a
    wrong offset shows."""

    def __init__(self, size):
        self.size = size
        self.position = 0

    def seek(self, position):
        self.position = position

    def read(self, n):
        n = max(0, min(n, self.size - self.position))
        first = self.position % 251
        pattern = bytes(range(251))
        piece = (pattern[first:] + pattern * (n // 251 + 1))[:n]
        self.position += n
        return piece

    def close(self):
        pass


class Server(ThreadingHTTPServer):
    allow_reuse_address = True
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, address, root, control, quiet):
        self.root = os.path.realpath(root)
        self.rules = RuleStore(os.path.join(control, "rules.json"))
        self.request_log = RequestLog(os.path.join(control, "requests.jsonl"))
        self.quiet = quiet
        self.start_time = time.time()
        self._conn_lock = threading.Lock()
        self._conn_next = 1
        super().__init__(address, Handler)

    def server_bind(self):
        # Skip HTTPServer.server_bind: it resolves the host name, which may be slow.
        import socketserver
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def new_connection_id(self):
        with self._conn_lock:
            n = self._conn_next
            self._conn_next += 1
            return n

    def translate(self, path):
        """File system path under the root for a decoded URL path, None when it leaves the root."""
        parts = [p for p in posixpath.normpath(path).split("/") if p and p not in (".", "..")]
        full = os.path.realpath(os.path.join(self.root, *parts))
        if full != self.root and not full.startswith(self.root + os.sep):
            return None
        return full


def process_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def write_file_atomic(path, text):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Fault-injecting HTTP file server for tests.")
    ap.add_argument("addr", help="address to listen on, e.g. 127.0.0.61")
    ap.add_argument("root", help="directory to serve")
    ap.add_argument("--port", type=int, default=80)
    ap.add_argument("--control", help="directory of rules.json and requests.jsonl (default: parent of ROOT)")
    ap.add_argument("--pid-file")
    ap.add_argument("--ready-file")
    ap.add_argument("--daemon", action="store_true")
    ap.add_argument("--quiet", action="store_true", help="no access lines on stderr")
    ap.add_argument("--parent-pid", type=int, help="stop when this process has ended (a killed launcher)")
    args = ap.parse_args(argv)

    root = os.path.abspath(args.root)
    if not os.path.isdir(root):
        log_err("root %s is not a directory" % root)
        return 1
    control = os.path.abspath(args.control or os.path.dirname(root.rstrip("/")) or "/")
    os.makedirs(control, exist_ok=True)
    pid_file = os.path.abspath(args.pid_file or os.path.join(control, "server.pid"))
    ready_file = os.path.abspath(args.ready_file) if args.ready_file else None

    report = None
    if args.daemon:
        rd, wr = os.pipe()
        if os.fork() > 0:
            os.close(wr)
            with os.fdopen(rd) as r:
                answer = r.read()
            if answer.startswith("ok"):
                return 0
            log_err("server did not start: %s" % answer.strip())
            return 1
        os.close(rd)
        os.setsid()
        if os.fork() > 0:
            os._exit(0)
        report = os.fdopen(wr, "w")
        devnull = os.open(os.devnull, os.O_RDWR)
        os.dup2(devnull, 0)
        log_fd = os.open(os.path.join(control, "server.log"), os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        os.dup2(log_fd, 1)
        os.dup2(log_fd, 2)

    try:
        server = Server((args.addr, args.port), root, control, args.quiet)
    except OSError as e:
        log_err("cannot listen on %s:%d: %s" % (args.addr, args.port, e))
        if report:
            report.write("error %s\n" % e)
            report.close()
        return 1

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    worker = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
    worker.start()

    write_file_atomic(pid_file, "%d\n" % os.getpid())
    if ready_file:
        write_file_atomic(ready_file, "%s %d %d\n" % (args.addr, args.port, os.getpid()))
    if report:
        report.write("ok\n")
        report.close()
    if not args.quiet:
        log_err("serving %s on %s:%d, control %s" % (root, args.addr, args.port, control))

    while not stop.wait(0.5):
        if args.parent_pid and not process_alive(args.parent_pid):
            log_err("parent %d has ended; stopping" % args.parent_pid)
            break
    server.shutdown()
    server.server_close()
    for f in (ready_file, pid_file):
        if f:
            try:
                os.unlink(f)
            except FileNotFoundError:
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
