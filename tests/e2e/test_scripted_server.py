#!/usr/bin/python3
"""The guarantees of the scripted test server that the launcher's tests, the demo and
the benchmarks rely on: no body after a HEAD, keep-alive with connection ids, bodies
that stop short, stalls, a bounded lifetime, and the command-line file server.
"""

import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support")
sys.path.insert(0, SUPPORT)

from scripted_server import (Reply, ScriptedServer, response, routes, serve_archive, sequence,
                             stall)


class ScriptedServerTests(unittest.TestCase):
    def connect(self, server, timeout=5):
        return http.client.HTTPConnection("127.0.0.1", server.port, timeout=timeout)

    def test_head_gets_no_body_and_the_connection_stays_usable(self):
        body = b"archive bytes" * 100
        with ScriptedServer(serve_archive(body, etag=b'"t"'), lifetime=30) as server:
            connection = self.connect(server)
            connection.request("HEAD", "/agent")
            head = connection.getresponse()
            self.assertEqual(head.status, 200)
            self.assertEqual(head.getheader("ETag"), '"t"')
            self.assertEqual(head.getheader("Content-Length"), str(len(body)))
            self.assertEqual(head.read(), b"")
            connection.request("GET", "/agent")
            get = connection.getresponse()
            self.assertEqual(get.read(), body)
            other = self.connect(server)
            other.request("GET", "/agent")
            other.getresponse().read()
            seen = server.requests
            self.assertEqual([(r.method, r.path) for r in seen],
                             [("HEAD", "/agent"), ("GET", "/agent"), ("GET", "/agent")])
            self.assertEqual(seen[0].connection_id, seen[1].connection_id)
            self.assertNotEqual(seen[1].connection_id, seen[2].connection_id)
            self.assertEqual(seen[0].header("host"), "127.0.0.1:%d" % server.port)

    def test_raw_heads_go_out_unchanged(self):
        head = b"HTTP/1.1 200 OK\netag:\"x\"\nX-Long: " + b"y" * 100 + b"\nContent-Length: 2\n\n"
        with ScriptedServer(lambda request: Reply(head=head, body=b"ok"), lifetime=30) as server:
            with socket.create_connection(("127.0.0.1", server.port), timeout=5) as sock:
                sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
                received = b""
                while len(received) < len(head) + 2:
                    received += sock.recv(4096)
            self.assertEqual(received, head + b"ok")

    def test_body_that_stops_short_and_sequences(self):
        short = response(200, body=b"abc", content_length=10, close=True)
        with ScriptedServer(sequence([short]), lifetime=30) as server:
            connection = self.connect(server)
            connection.request("GET", "/")
            with self.assertRaises(http.client.IncompleteRead):
                connection.getresponse().read()
            connection = self.connect(server)
            connection.request("GET", "/")
            self.assertEqual(connection.getresponse().status, 599)

    def test_routes_and_stall(self):
        with ScriptedServer(routes({"/stall": stall()}), lifetime=30) as server:
            connection = self.connect(server)
            connection.request("GET", "/elsewhere")
            self.assertEqual(connection.getresponse().status, 404)
            stalled = self.connect(server, timeout=0.5)
            stalled.request("GET", "/stall")
            with self.assertRaises(socket.timeout):
                stalled.getresponse()
            self.assertTrue(server.wait_for_requests(2))

    def test_lifetime_ends_the_server(self):
        server = ScriptedServer(serve_archive(b"x"), lifetime=0.5).start()
        deadline = time.monotonic() + 10
        while not server.stopped and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(server.stopped)
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", server.port), timeout=2).close()

    def test_command_line_file_server(self):
        with tempfile.TemporaryDirectory(prefix="setup-e2e-server-") as scratch:
            served = os.path.join(scratch, "agent.zip")
            with open(served, "wb") as stream:
                stream.write(os.urandom(3 * 1024 * 1024 + 17))
            port_file = os.path.join(scratch, "port")
            log = os.path.join(scratch, "requests.jsonl")
            process = subprocess.Popen(
                [sys.executable, os.path.join(SUPPORT, "scripted_server.py"), "--serve-file",
                 served, "--etag", '"abc"', "--port-file", port_file, "--log", log,
                 "--lifetime", "3"], stdout=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 10
                while not os.path.exists(port_file) and time.monotonic() < deadline:
                    time.sleep(0.05)
                with open(port_file) as stream:
                    port = int(stream.read())
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                connection.request("HEAD", "/any")
                head = connection.getresponse()
                self.assertEqual(head.read(), b"")
                self.assertEqual(head.getheader("ETag"), '"abc"')
                connection.request("GET", "/any")
                with open(served, "rb") as stream:
                    self.assertEqual(connection.getresponse().read(), stream.read())
                self.assertEqual(process.wait(timeout=20), 0, "the server outlived its lifetime")
                with open(log) as stream:
                    records = [json.loads(line) for line in stream]
                self.assertEqual([(r["method"], r["connection"]) for r in records],
                                 [("HEAD", 1), ("GET", 1)])
            finally:
                if process.poll() is None:
                    process.kill()
                    process.wait()


if __name__ == "__main__":
    sys.path.insert(0, SUPPORT)
    import e2e_runner
    sys.exit(e2e_runner.main(sys.argv[1:], module="__main__"))
