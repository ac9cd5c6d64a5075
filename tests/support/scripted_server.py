#!/usr/bin/python3
"""A small scripted HTTP/1.1 server on 127.0.0.1 for the launcher's tests.

Each test decides the raw bytes of every response: the status line, the header lines
(any letter case, any line end, any length) and the body. The server speaks HTTP/1.1
with keep-alive, records every request together with the connection it came on, and
never sends a body in reply to a HEAD request. It stops by itself when its lifetime
ends, and all its threads are daemons, so a forgotten server never blocks a test run.

In-process use:

    with ScriptedServer(serve_archive(data, etag=b'"v1"')) as server:
        url = server.url("/agent")
        ...
        assert [r.method for r in server.requests] == ["HEAD", "GET"]

Command-line use (for the demo and the benchmarks):

    scripted_server.py --serve-file PATH --etag '"abc"' --port-file F --lifetime 120
    scripted_server.py --serve-file PATH --etag '"abc"' --ranges --cut-first-get 0.6 \
        --count-file F    # a first GET reset at 60 %, ranges served, body bytes counted
"""

import argparse
import json
import os
import re
import signal
import socket
import struct
import sys
import threading
import time

LOOPBACK = "127.0.0.1"
# Seconds a server lives at most: in-process ones as long as a test group may run,
# command-line ones as long as asked (default CLI_LIFETIME).
DEFAULT_LIFETIME = 600.0
CLI_LIFETIME = 120.0
MAX_REQUEST_HEAD = 64 * 1024


class Request:
    """One request as the server read it."""

    def __init__(self, method, target, version, headers, connection_id, raw):
        self.method = method
        self.path = target
        self.version = version
        self.headers = headers  # list of (name, value) in the client's order and case
        self.connection_id = connection_id
        self.raw = raw

    def header(self, name):
        wanted = name.lower()
        for key, value in self.headers:
            if key.lower() == wanted:
                return value
        return None

    def as_dict(self):
        return {
            "method": self.method,
            "path": self.path,
            "version": self.version,
            "headers": self.headers,
            "connection": self.connection_id,
        }

    def __repr__(self):
        return "Request(%s %s conn=%d)" % (self.method, self.path, self.connection_id)


class Reply:
    """The raw bytes of one response.

    head: the status line, the header lines and the blank line that ends them, exactly
          as they go on the wire.
    body: bytes sent after the head, except in reply to HEAD.
    body_file: a path streamed from disk instead of body (not sent on HEAD either).
    close: close the connection after this reply (with body bytes short of a declared
           Content-Length this makes a transfer that stops short).
    stall: read the request, then send nothing and keep the connection open until the
           server stops.
    pace: (chunk_size, interval): send body in pieces of chunk_size bytes, one every
          interval seconds (a slow link that keeps moving).
    cut: send only the first cut bytes of the body, then end the connection: with a reset
         (RST) when reset, once the client has read every byte sent, else with a close.
    """

    def __init__(self, head=b"", body=b"", body_file=None, close=False, stall=False,
                 pace=None, cut=None, reset=False):
        self.head = head
        self.body = body
        self.body_file = body_file
        self.close = close
        self.stall = stall
        self.pace = pace
        self.cut = cut
        self.reset = reset


def response(status=200, reason=None, header_lines=(), body=b"", eol=b"\r\n",
             content_length="auto", close=False, status_line=None):
    """Builds a Reply from parts.

    header_lines: raw header lines without their line end (bytes or str), sent in order.
    content_length: "auto" adds "Content-Length: <len(body)>"; an int declares that
                    length whatever the body is; None adds no such header.
    eol: the line end used for every line of the head.
    """
    if reason is None:
        reason = REASONS.get(status, "Scripted")
    line = status_line if status_line is not None else "HTTP/1.1 %d %s" % (status, reason)
    lines = [_bytes(line)]
    lines.extend(_bytes(item) for item in header_lines)
    if content_length == "auto":
        lines.append(b"Content-Length: %d" % len(body))
    elif content_length is not None:
        lines.append(b"Content-Length: %d" % content_length)
    head = b"".join(item + eol for item in lines) + eol
    return Reply(head=head, body=body, close=close)


def etag_line(value, name="ETag", separator=": "):
    """A header line carrying an entity tag, with the name and separator chosen."""
    return _bytes(name) + _bytes(separator) + _bytes(value)


def serve_archive(body, etag=b'"v1"', etag_header=None, eol=b"\r\n", status=200,
                  extra_lines=(), get_reply=None):
    """A handler that answers HEAD with the head of a GET and GET with the archive.

    etag: the entity tag sent as "ETag: <etag>"; None sends no ETag line.
    etag_header: a complete raw ETag line (for odd case, no space, long lines); it
                 replaces etag.
    get_reply: a Reply used for GET instead of the archive (an error on the GET only,
               a body that stops short).
    """
    lines = list(extra_lines)
    if etag_header is not None:
        lines.append(_bytes(etag_header))
    elif etag is not None:
        lines.append(etag_line(etag))

    def handle(request):
        if request.method == "GET" and get_reply is not None:
            return get_reply
        return response(status, header_lines=lines, body=body, eol=eol)

    return handle


def serve_resumable(body, etag=b'"v1"', cuts=(), reset=True, ranges=True):
    """A handler for an archive whose transfers break: the n-th GET is cut after cuts[n] bytes
    of its response body (see Reply.cut), later GETs go through whole. When ranges is true,
    "Range: bytes=N-" (with an If-Range equal to etag, when one is sent) is answered 206 with
    "Content-Range: bytes N-END/TOTAL"; otherwise it is ignored. HEAD gets a whole GET's head.
    """
    gets = []

    def handle(request):
        lines = [etag_line(etag)] if etag is not None else []
        match = re.fullmatch(r"bytes=(\d+)-", request.header("Range") or "")
        if_range = request.header("If-Range")
        start = int(match.group(1)) if match and ranges else len(body)
        if start >= len(body) or (if_range is not None and _bytes(if_range) != etag):
            reply = response(200, header_lines=lines, body=body)
        else:
            lines.append(b"Content-Range: bytes %d-%d/%d" % (start, len(body) - 1, len(body)))
            reply = response(206, header_lines=lines, body=body[start:])
        if request.method == "GET":
            gets.append(request)
            if len(gets) <= len(cuts) and cuts[len(gets) - 1] < len(reply.body):
                reply.cut, reply.reset = cuts[len(gets) - 1], reset
        return reply

    return handle


def serve_file(path, etag=None, eol=b"\r\n"):
    """A handler that streams a file from disk for GET and gives its head for HEAD."""

    def handle(request):
        size = os.path.getsize(path)
        lines = [b"Content-Type: application/zip"]
        if etag is not None:
            lines.append(etag_line(etag))
        reply = response(200, header_lines=lines, content_length=size, eol=eol)
        reply.body_file = path
        return reply

    return handle


def redirect(location, status=302, header_lines=(), eol=b"\r\n"):
    """A redirect to another path of the same server (no body, Content-Length 0)."""
    lines = [b"Location: " + _bytes(location)]
    lines.extend(_bytes(item) for item in header_lines)
    reply = response(status, header_lines=lines, body=b"", eol=eol)
    return lambda request: reply


def routes(table, default=None):
    """A handler that picks by path: table maps a path to a handler or a Reply."""

    def handle(request):
        entry = table.get(request.path, default)
        if entry is None:
            return response(404, body=b"not scripted\n")
        return entry(request) if callable(entry) else entry

    return handle


def sequence(replies, then=None):
    """A handler that hands out the given Replies (or handlers) in order, one per request.

    After the last one it uses then (a handler or Reply), or answers 599.
    """
    pending = list(replies)
    lock = threading.Lock()

    def handle(request):
        with lock:
            entry = pending.pop(0) if pending else then
        if entry is None:
            return response(599, reason="Unscripted", body=b"")
        return entry(request) if callable(entry) else entry

    return handle


def stall():
    """A handler that never answers."""
    reply = Reply(stall=True)
    return lambda request: reply


REASONS = {
    200: "OK", 301: "Moved Permanently", 302: "Found", 307: "Temporary Redirect",
    399: "Whatever", 403: "Forbidden", 404: "Not Found", 500: "Internal Server Error",
}


def _bytes(value):
    return value if isinstance(value, bytes) else value.encode("latin-1")


class ScriptedServer:
    """The server. handler: a callable taking a Request and returning a Reply."""

    def __init__(self, handler, lifetime=DEFAULT_LIFETIME, port=0, log_path=None):
        self._handler = handler
        self._lifetime = lifetime
        self._log_path = log_path
        self._lock = threading.Lock()
        self._requests = []
        self._errors = []
        self._connections = {}
        self._next_connection = 1
        self._body_bytes_sent = 0
        self._stopped = threading.Event()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind((LOOPBACK, port))
        self._listener.listen(16)
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self._started = False

    # -- lifecycle --------------------------------------------------------------------

    def start(self):
        if not self._started:
            self._started = True
            self._deadline = time.monotonic() + self._lifetime
            threading.Thread(target=self._accept_loop, name="scripted-accept", daemon=True).start()
        return self

    def stop(self):
        self._stopped.set()
        try:
            self._listener.close()
        except OSError:
            pass
        with self._lock:
            sockets = list(self._connections.values())
        for sock in sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    @property
    def stopped(self):
        return self._stopped.is_set()

    def wait_until_stopped(self):
        while not self._stopped.wait(0.5):
            pass

    # -- what the tests look at -------------------------------------------------------

    def url(self, path="/pi_install_agent_pi_Q4096c_oslin64"):
        return "http://%s:%d%s" % (LOOPBACK, self.port, path)

    @property
    def requests(self):
        with self._lock:
            return list(self._requests)

    @property
    def errors(self):
        """Problems of the server itself (a handler that raised, a malformed request)."""
        with self._lock:
            return list(self._errors)

    @property
    def body_bytes_sent(self):
        """Body bytes sent in every reply since the start or the last clear()."""
        with self._lock:
            return self._body_bytes_sent

    def set_handler(self, handler):
        with self._lock:
            self._handler = handler

    def clear(self):
        with self._lock:
            self._requests = []
            self._body_bytes_sent = 0

    def wait_for_requests(self, count, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(self.requests) >= count:
                return True
            time.sleep(0.01)
        return len(self.requests) >= count

    # -- the work ---------------------------------------------------------------------

    def _accept_loop(self):
        while not self._stopped.is_set():
            if time.monotonic() >= self._deadline:
                self.stop()
                break
            try:
                sock, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            with self._lock:
                connection_id = self._next_connection
                self._next_connection += 1
                self._connections[connection_id] = sock
            threading.Thread(target=self._serve_connection, args=(sock, connection_id),
                             name="scripted-conn-%d" % connection_id, daemon=True).start()

    def _serve_connection(self, sock, connection_id):
        sock.settimeout(0.5)
        buffer = b""
        try:
            while not self._stopped.is_set():
                request, buffer = self._read_request(sock, buffer, connection_id)
                if request is None:
                    return
                self._record(request)
                try:
                    with self._lock:
                        handler = self._handler
                    reply = handler(request)
                except Exception as error:  # a broken script must show, not hang
                    self._error("handler raised %r for %r" % (error, request))
                    reply = response(500, body=b"handler failed\n", close=True)
                if reply.stall:
                    while not self._stopped.wait(0.2):
                        pass
                    return
                self._send(sock, request, reply)
                if reply.close or reply.cut is not None:
                    return
        except OSError:
            return
        finally:
            with self._lock:
                self._connections.pop(connection_id, None)
            try:
                sock.close()
            except OSError:
                pass

    def _receive(self, sock):
        while not self._stopped.is_set():
            try:
                return sock.recv(65536)
            except socket.timeout:
                continue
        return b""

    def _read_request(self, sock, buffer, connection_id):
        while True:
            end, separator = _find_head_end(buffer)
            if end >= 0:
                break
            if len(buffer) > MAX_REQUEST_HEAD:
                self._error("request head too long on connection %d" % connection_id)
                return None, b""
            chunk = self._receive(sock)
            if not chunk:
                return None, b""
            buffer += chunk
        head = buffer[:end]
        rest = buffer[end + len(separator):]
        lines = head.replace(b"\r\n", b"\n").split(b"\n")
        parts = lines[0].decode("latin-1").split(" ")
        if len(parts) != 3:
            self._error("malformed request line %r" % lines[0])
            return None, b""
        headers = []
        for line in lines[1:]:
            name, _, value = line.decode("latin-1").partition(":")
            headers.append((name, value.strip()))
        request = Request(parts[0], parts[1], parts[2], headers, connection_id,
                          buffer[:end + len(separator)])
        length = int(request.header("Content-Length") or 0)
        while len(rest) < length:
            chunk = self._receive(sock)
            if not chunk:
                return None, b""
            rest += chunk
        return request, rest[length:]

    def _send(self, sock, request, reply):
        sock.settimeout(None)
        try:
            sock.sendall(reply.head)
            if request.method == "HEAD":
                return  # a body here would be read as the next response
            body = reply.body[:reply.cut]
            if reply.body_file is not None:
                with open(reply.body_file, "rb") as stream:
                    self._count(sock.sendfile(stream, 0, reply.cut))
            elif reply.pace is not None:
                chunk_size, interval = reply.pace
                for start in range(0, len(body), chunk_size):
                    if start > 0 and self._stopped.wait(interval):
                        return
                    sock.sendall(body[start:start + chunk_size])
                    self._count(min(chunk_size, len(body) - start))
            elif body:
                sock.sendall(body)
                self._count(len(body))
            if reply.reset:
                _wait_until_read(sock)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        finally:
            sock.settimeout(0.5)

    def _count(self, sent):
        with self._lock:
            self._body_bytes_sent += sent

    def _record(self, request):
        with self._lock:
            self._requests.append(request)
            if self._log_path:
                with open(self._log_path, "a", encoding="utf-8") as log:
                    log.write(json.dumps(request.as_dict()) + "\n")

    def _error(self, text):
        with self._lock:
            self._errors.append(text)


def _wait_until_read(sock, limit=10.0):
    """Waits (at most limit seconds) until the client has read every byte sent on sock, as
    its queues in /proc/net/tcp show: a reset drops the bytes still queued at the client."""
    ends = {"%08X:%04X" % (struct.unpack("<I", socket.inet_aton(host))[0], port)
            for host, port in (sock.getsockname(), sock.getpeername())}
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        with open("/proc/net/tcp", encoding="ascii") as table:
            queues = [f[4] for f in (line.split() for line in table) if {f[1], f[2]} == ends]
        if queues == ["00000000:00000000"] * 2:
            return
        time.sleep(0.01)


def _find_head_end(buffer):
    """Position and kind of the blank line that ends a request head, or (-1, None)."""
    candidates = [(buffer.find(sep), sep) for sep in (b"\r\n\r\n", b"\n\n")]
    found = [(pos, sep) for pos, sep in candidates if pos >= 0]
    if not found:
        return -1, None
    return min(found)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--serve-file", required=True, help="file answered to every GET")
    parser.add_argument("--etag", help='entity tag sent as "ETag: VALUE" (none when omitted)')
    parser.add_argument("--path", help="only this path is served; others get 404")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--port-file", help="write the port number here once listening")
    parser.add_argument("--log", help="append one JSON line per request to this file")
    parser.add_argument("--lifetime", type=float, default=CLI_LIFETIME,
                        help="stop after this many seconds (default %(default)s)")
    parser.add_argument("--lf", action="store_true", help="end header lines with LF only")
    parser.add_argument("--ranges", action="store_true", help='answer "Range: bytes=N-" with 206')
    parser.add_argument("--cut-first-get", type=float, metavar="FRACTION",
                        help="reset the first GET after this fraction of the file")
    parser.add_argument("--count-file", help="write the body bytes sent here when stopping")
    options = parser.parse_args(argv)

    if options.ranges or options.cut_first_get is not None:
        with open(options.serve_file, "rb") as stream:
            data = stream.read()
        cuts = [] if options.cut_first_get is None else [int(len(data) * options.cut_first_get)]
        handler = serve_resumable(data, _bytes(options.etag) if options.etag else None, cuts,
                                  ranges=options.ranges)
    else:
        handler = serve_file(options.serve_file, options.etag,
                             eol=b"\n" if options.lf else b"\r\n")
    if options.path:
        handler = routes({options.path: handler})
    server = ScriptedServer(handler, lifetime=options.lifetime, port=options.port,
                            log_path=options.log)
    signal.signal(signal.SIGTERM, lambda *_: server.stop())
    signal.signal(signal.SIGINT, lambda *_: server.stop())
    server.start()
    if options.port_file:
        temporary = options.port_file + ".part"
        with open(temporary, "w", encoding="ascii") as stream:
            stream.write("%d\n" % server.port)
        os.replace(temporary, options.port_file)
    print("serving %s on %s" % (options.serve_file, server.url(options.path or "/")), flush=True)
    server.wait_until_stopped()
    if options.count_file:
        with open(options.count_file, "w", encoding="ascii") as stream:
            stream.write("%d\n" % server.body_bytes_sent)
    return 0


if __name__ == "__main__":
    sys.exit(main())
