#!/usr/bin/python3
"""Downloads over a bad link: a transient failure is retried after a note (the runs sleep
no time, the notes name the nominal waits), a cut GET with a strong ETag resumes with a Range,
a refused HEAD gives way to a GET, and a final failure ends the run at once.
"""

import io
import os
import re
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from launcher_harness import (AGENT_PATH, CURLE_COULDNT_CONNECT, CURLE_RECV_ERROR,
                              DOWNLOAD_FAILED_PREFIX, closed_port, download_failed_tail_lines,
                              make_agent_archive, run_main, tree_snapshot)
from scripted_server import response, redirect, routes, sequence, serve_archive, serve_resumable
from test_download import AGENT_V1, AGENT_V2, GET, HEAD, DownloadTestCase

MIB = 1024 * 1024
BIG = make_agent_archive("big", extra={"payload.bin": os.urandom(4 * MIB)})
HUGE = make_agent_archive("huge", extra={"payload.bin": os.urandom(6 * MIB)})
USER_AGENT = "setup/1.0.0 (Q4096c; oslin64)"
NOTE = re.compile(r"Note: the download failed \((.+)\); trying again in (\d+) s "
                  r"\(attempt (\d+) of (\d+)\)\.")
LAUNCHER_DEFAULT = {"QX_DOWNLOAD_RETRIES": None}  # the launcher's own count: 3 retries


class ResilienceTestCase(DownloadTestCase):
    def run_launcher(self, args=(), env=None, **options):
        return super().run_launcher(args, env=dict(LAUNCHER_DEFAULT, **(env or {})), **options)

    def take_notes(self, result):
        """Removes the leading retry notes from result.stderr_lines and returns them as
        (reason, wait, attempt, attempts) tuples."""
        notes = []
        while result.stderr_lines and NOTE.fullmatch(result.stderr_lines[0]):
            reason, *numbers = NOTE.fullmatch(result.stderr_lines.pop(0)).groups()
            notes.append((reason,) + tuple(map(int, numbers)))
        return notes

    def assertFirstRetry(self, note):
        """A reason, the first wait (1 s give or take a quarter, rounded up), attempt 2 of 4."""
        self.assertTrue(note[0])
        self.assertIn(note[1:], [(1, 2, 4), (2, 2, 4)])

    def assertIntact(self, result, archive, ident):
        """The run went on without a message of its own after its notes, and the cached agent
        is that archive's, byte for byte, unpacked without a word from unzip."""
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident=ident)
        with zipfile.ZipFile(io.BytesIO(archive)) as members:
            with open(os.path.join(self.ws.agent_dir(), "payload.bin"), "rb") as stream:
                self.assertEqual(stream.read(), members.read("payload.bin"))
        self.assertEqual([(call.status, call.stderr) for call in result.unzip_calls],
                         [(0, "")] * 2, result.describe())
        self.assertWorkDirectoryGone(result)

    def gets(self):
        return [r for r in self.server.requests if r.method == "GET"]


class ResumeTests(ResilienceTestCase):
    def test_reset_at_60_percent_resumes_where_it_stopped(self):
        cut = len(BIG) * 6 // 10
        self.serve(serve_resumable(BIG, cuts=[cut]))
        result = self.run_launcher()
        notes = self.take_notes(result)
        self.assertEqual(len(notes), 1, result.describe())
        self.assertFirstRetry(notes[0])
        self.assertIntact(result, BIG, "big")
        self.assertRequests(self.server, [HEAD, GET, GET], same_connection=False)
        first, second = self.gets()
        self.assertEqual((first.header("Range"), first.header("If-Range")), (None, None))
        self.assertEqual((second.header("Range"), second.header("If-Range")),
                         ("bytes=%d-" % cut, '"v1"'))
        self.assertLessEqual(self.server.body_bytes_sent, 1.10 * len(BIG))
        self.assertEqual({r.header("User-Agent") for r in self.server.requests}, {USER_AGENT})

    def test_link_that_cuts_every_connection_still_finishes(self):
        # Each attempt moves the archive 1.5 MiB further, so none counts against the four.
        cut = 3 * MIB // 2
        self.serve(serve_resumable(HUGE, cuts=[cut] * 10))
        result = self.run_launcher()
        notes = self.take_notes(result)
        self.assertIntact(result, HUGE, "huge")
        gets = self.gets()
        self.assertGreater(len(gets), 4)
        self.assertEqual([r.header("Range") for r in gets],
                         [None] + ["bytes=%d-" % (cut * n) for n in range(1, len(gets))])
        self.assertEqual(len(notes), len(gets) - 1, result.describe())
        self.assertFirstRetry(notes[0])

    def test_200_to_a_ranged_get_replaces_what_was_received(self):
        self.serve(serve_resumable(BIG, cuts=[len(BIG) // 2], ranges=False))
        result = self.run_launcher()
        self.assertEqual(len(self.take_notes(result)), 1, result.describe())
        self.assertIntact(result, BIG, "big")
        self.assertEqual(self.gets()[1].header("Range"), "bytes=%d-" % (len(BIG) // 2))

    def assertRefusedRangeRestarts(self, refusal, reason=None):
        """A ranged retry answered with refusal: nothing of it is kept, and the next attempt
        asks for the whole archive."""
        archive = serve_resumable(BIG, cuts=[len(BIG) // 2])
        self.serve(sequence([archive, archive, refusal], then=archive))
        result = self.run_launcher()
        notes = self.take_notes(result)
        self.assertEqual(len(notes), 2, result.describe())
        self.assertFirstRetry(notes[0])
        if reason is not None:
            self.assertEqual(notes[1][0], reason)
        self.assertIntact(result, BIG, "big")
        gets = self.gets()
        self.assertEqual([r.header("Range") is None for r in gets], [True, False, True])
        self.assertIsNone(gets[2].header("If-Range"))

    def test_206_that_starts_too_early_is_not_appended(self):
        def early(request):
            start = int(re.search(r"\d+", request.header("Range") or "1000").group()) - 1000
            return response(206, header_lines=[
                'ETag: "v1"', "Content-Range: bytes %d-%d/%d" % (start, len(BIG) - 1, len(BIG))],
                body=BIG[start:])
        self.assertRefusedRangeRestarts(
            early, "the server answered 206 for bytes that do not follow those received")

    def test_416_to_a_ranged_get_restarts_without_a_range(self):
        self.assertRefusedRangeRestarts(
            response(416, header_lines=["Content-Range: bytes */%d" % len(BIG)]))

    def test_weak_etag_restarts_without_a_range(self):
        self.serve(serve_resumable(BIG, etag=b'W/"v1"', cuts=[len(BIG) // 2], reset=False))
        result = self.run_launcher()
        self.assertEqual(len(self.take_notes(result)), 1, result.describe())
        self.assertIntact(result, BIG, "big")
        self.assertEqual([(r.header("Range"), r.header("If-Range")) for r in self.gets()],
                         [(None, None)] * 2)


class RetryTests(ResilienceTestCase):
    def test_busy_server_is_asked_again(self):
        busy = response(503, header_lines=["Retry-After: 2"], body=b"busy\n")
        self.serve(sequence([busy], then=serve_archive(AGENT_V1)))
        result = self.run_launcher()
        self.assertEqual(self.take_notes(result), [("the server answered 503", 2, 2, 4)])
        self.assertSucceeded(result)
        self.assertRequests(self.server, [HEAD, HEAD, GET], same_connection=False)
        # Too many requests on the GET: the GET alone is made again.
        fresh = serve_archive(AGENT_V2, etag=b'"v2"')
        self.serve(sequence([fresh, response(429, body=b"slow down\n")], then=fresh))
        result = self.run_launcher()
        notes = self.take_notes(result)
        self.assertEqual([note[0] for note in notes], ["the server answered 429"])
        self.assertFirstRetry(notes[0])
        self.assertSucceeded(result)
        self.assertRequests(self.server, [HEAD, GET, GET], same_connection=False)

    def test_retry_count_against_a_closed_port(self):
        url = "http://127.0.0.1:%d%s" % (closed_port(), AGENT_PATH)
        for retries, waits in ((None, [(1, 2), (2, 3), (3, 4, 5)]), ("1", [(1, 2)]),
                               ("0", []), ("11", [(1, 2), (2, 3), (3, 4, 5)])):
            with self.subTest(retries=retries):
                result = self.run_launcher(url=url, env={"QX_DOWNLOAD_RETRIES": retries})
                notes = self.take_notes(result)
                self.assertEqual([note[2:] for note in notes],
                                 [(n + 2, len(waits) + 1) for n in range(len(waits))])
                for (reason, wait, _, _), allowed in zip(notes, waits):
                    self.assertTrue(reason)
                    self.assertIn(wait, allowed)
                self.assertTransferFailed(result, CURLE_COULDNT_CONNECT)

    def test_close_delimited_body_without_its_end_record(self):
        cut = len(AGENT_V1) // 2
        page = response(200, header_lines=["Content-Type: text/html"], body=AGENT_V1[:cut],
                        content_length=None, close=True)
        self.serve(serve_archive(AGENT_V1, get_reply=page))
        result = self.run_launcher()
        why = "the archive ended after %d bytes without its end record" % cut
        self.assertEqual([(note[0],) + note[2:] for note in self.take_notes(result)],
                         [(why, attempt, 4) for attempt in (2, 3, 4)])
        self.assertFailedWith(result, [DOWNLOAD_FAILED_PREFIX + "Transferred a partial file"]
                              + download_failed_tail_lines() + [
            "Details: %s; its Content-Type was text/html (http://127.0.0.1:%d)"
            % (why, self.server.port)])
        self.assertRequests(self.server, [HEAD] + [GET] * 4, same_connection=False)
        self.assertIsNone(self.ws.marker())

    def test_proxy_answers_to_the_tunnel(self):
        proxy = {"https_proxy": self.server.url("")}
        for status, attempts in ((503, 4), (407, 1)):
            with self.subTest(status=status):
                self.serve(lambda request: response(status))
                result = self.run_launcher(url="https://localhost/agent", env=proxy)
                notes = self.take_notes(result)
                self.assertEqual([note[2:] for note in notes],
                                 [(n, 4) for n in range(2, attempts + 1)])
                self.assertRegex(result.stderr_lines[3], r"\b%d\b" % status)
                self.assertTransferFailed(result, CURLE_RECV_ERROR)
                self.assertRequests(self.server, [("CONNECT", "localhost:443")] * attempts,
                                    same_connection=False)


class RefusedHeadTests(ResilienceTestCase):
    def test_head_refused_with_405_gives_way_to_a_get(self):
        archive = serve_archive(AGENT_V1)
        self.serve(lambda request: response(405) if request.method == "HEAD" else archive(request))
        result = self.run_launcher()
        self.assertSucceeded(result)
        self.assertRequests(self.server, [HEAD, GET, GET], same_connection=False)
        self.assertAgentRanFromCache(result, ident="v1")
        self.assertEqual(self.ws.marker(), b'ETag: "v1"\r')
        # Warm: the GET's head shows the agent current; its body is not read.
        before = tree_snapshot(self.ws.cache_dir())
        self.server.clear()
        result = self.run_launcher()
        self.assertSucceeded(result)
        self.assertRequests(self.server, [HEAD, GET], same_connection=False)
        self.assertAgentRanFromCache(result, ident="v1")
        self.assertEqual(len(result.unzip_calls), 1, result.describe())
        self.assertEqual(tree_snapshot(self.ws.cache_dir()), before)

    def test_redirect_to_a_target_that_refuses_head(self):
        target = "/bucket/agent.zip?X-Signature=0f1e2d"
        signed = serve_archive(AGENT_V1, etag=b'"object"')
        self.serve(routes({AGENT_PATH: redirect(target), target: lambda request: (
            response(403) if request.method == "HEAD" else signed(request))}))
        result = self.run_launcher()
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="v1")
        self.assertEqual(self.ws.marker(), b'ETag: "object"\r')
        at_target = [r.method for r in self.server.requests if r.path == target]
        self.assertEqual((at_target[0], at_target[-1]), ("HEAD", "GET"), self.server.requests)


class OfflineTests(ResilienceTestCase):
    """The installed agent serves while the server cannot be reached."""

    def setUp(self):
        super().setUp()
        self.assertSucceeded(self.run_launcher())
        self.installed = tree_snapshot(self.ws.cache_dir())

    def test_busy_server_leaves_the_installed_agent_to_run(self):
        self.serve(lambda request: response(503, body=b"busy\n"))
        result = self.run_launcher()
        # One retry of the HEAD, not three, with an agent to fall back on.
        self.assertEqual([note[2:] for note in self.take_notes(result)], [(2, 2)])
        self.assertEqual(self.assertRanOffline(result, "v1"), "the server answered 503")
        self.assertRequests(self.server, [HEAD, HEAD], same_connection=False)
        self.assertEqual(tree_snapshot(self.ws.cache_dir()), self.installed)

    def test_update_reset_before_its_body_keeps_the_installed_agent(self):
        self.serve(serve_resumable(AGENT_V2, etag=b'"v2"', cuts=[0] * 4))
        result = self.run_launcher()
        self.assertEqual(len(self.take_notes(result)), 3, result.describe())
        self.assertRegex(self.assertRanOffline(result, "v1"), "reset|Recv failure")
        self.assertEqual(tree_snapshot(self.ws.cache_dir()), self.installed)
        # The server back: the next run still sees the new tag and installs its agent.
        self.serve(serve_archive(AGENT_V2, etag=b'"v2"'))
        self.assertSucceeded(self.run_launcher())
        self.assertEqual(self.ws.marker(), b'ETag: "v2"\r')


class PartialTests(ResilienceTestCase):
    """A download cut in one run is continued by the next."""

    def partial(self):
        path = self.ws.cache_dir() + "InstallAgent.zip.partial"
        return open(path, "rb").read() if os.path.exists(path) else None

    def run_cut(self, etag=b'"v1"'):
        """A run whose GET is cut at 60 % with no retry left: it fails and keeps the bytes."""
        cut = len(BIG) * 6 // 10
        self.serve(serve_resumable(BIG, etag=etag, cuts=[cut]))
        result = self.run_launcher(env={"QX_DOWNLOAD_RETRIES": "0"})
        self.assertIsNone(result.agent, result.describe())
        return cut

    def test_cut_run_then_a_run_that_resumes(self):
        cut = self.run_cut()
        self.assertEqual(self.partial(), BIG[:cut])
        result = self.run_launcher()
        self.assertIntact(result, BIG, "big")
        self.assertEqual(self.gets()[-1].header("Range"), "bytes=%d-" % cut)
        self.assertEqual(self.gets()[-1].header("If-Range"), '"v1"')
        self.assertLessEqual(self.server.body_bytes_sent, 1.10 * len(BIG))
        self.assertIsNone(self.partial())

    def test_changed_etag_drops_the_partial(self):
        self.run_cut()
        self.serve(serve_resumable(BIG, etag=b'"v2"'))
        self.assertIntact(self.run_launcher(), BIG, "big")
        self.assertEqual([r.header("Range") for r in self.gets()], [None])
        self.assertIsNone(self.partial())

    def test_complete_partial_is_checked_without_a_request_for_it(self):
        self.run_cut()
        with open(self.ws.cache_dir() + "InstallAgent.zip.partial", "wb") as stream:
            stream.write(BIG)  # as a run killed after the last byte leaves it
        self.serve(serve_resumable(BIG))
        result = self.run_launcher()
        self.assertIntact(result, BIG, "big")
        self.assertRequests(self.server, [HEAD])

    def test_weak_etag_keeps_no_partial(self):
        self.run_cut(etag=b'W/"v1"')
        self.assertIsNone(self.partial())


class TraceTests(ResilienceTestCase):
    def test_trace_tells_the_decisions_and_no_secret(self):
        secrets = ("proxysecret", "querysecret", "agentsecret")
        proxy = "http://user:%s@127.0.0.1:%d" % (secrets[0], self.server.port)
        url = "http://127.0.0.1:%d%s?token=%s" % (closed_port(), AGENT_PATH, secrets[1])
        for _ in range(2):  # a first run, then a warm one
            result = self.run_launcher(args=["--key", secrets[2]], url=url,
                                       env={"QX_TRACE": "1", "http_proxy": proxy})
            # The secret word reached the agent, and nothing but trace lines was written.
            self.assertEqual(result.status, 0, result.describe())
            self.assertAgentRanFromCache(result, arguments=["--key", secrets[2]], ident="v1")
            self.assertEqual(result.stdout, b"")
            trace = result.stderr.decode().splitlines()
            self.assertTrue(all(line.startswith("trace: ") for line in trace), trace)
            self.assertFalse([line for line in trace if any(word in line for word in secrets)])
            heads = [line for line in trace if line.startswith("trace: request: HEAD ")]
            self.assertEqual(len(heads), 1, trace)
            self.assertIn(" via proxy http://127.0.0.1:%d" % self.server.port, heads[0])
            self.assertTrue(any(line.startswith("trace: cached agent: ") for line in trace))
            self.assertTrue(any(line.startswith("trace: command (archive): unzip ")
                                for line in trace))
            self.assertIn("trace: command (agent): the agent: exit status 0", trace)
        self.assertIn("trace: cached agent: complete, its marker names the server's tag: current",
                      trace)

    def test_no_trace_without_the_variable(self):
        for value in (None, "0", "yes"):
            result = self.run_launcher(env={"QX_TRACE": value})
            self.assertSucceeded(result)
            self.assertNotIn(b"trace: ", result.stderr)


if __name__ == "__main__":
    run_main()
