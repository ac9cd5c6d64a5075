#!/usr/bin/python3
"""A launcher stopped by SIGINT, SIGTERM or SIGHUP leaves nothing behind.

Each case interrupts a real launcher at one point of its run: while the server stalls a
download, while unzip unpacks a large bundle or agent, while the agent runs. Afterwards
the work directory is gone, the launcher died by that very signal, "Installation
failed." is all it printed (no download or unpack error is claimed for an interruption),
and the next run recovers from whatever the cache was left holding. The signal goes to
the launcher alone (kill PID), or to its whole process group as a terminal's Ctrl-C does.
A signal sent to the launcher alone while the agent runs is passed on to the agent at
once, and exactly once; a terminal's Ctrl-C, which reaches the agent by itself, is not
sent again. A signal that the launcher's parent ignores stays ignored, for the launcher
and the agent.
"""

import hashlib
import io
import os
import pty
import signal
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from hardening_support import (INSTALLATION_FAILED, LauncherProcess, on_a_terminal,  # noqa: E402
                               pack_files, process_arguments, process_descendants,
                               received_signals, running_unzip_target, signal_mask,
                               stalled_get, trapping_agent_archive, wait_until,
                               waiting_agent_archive, work_directories_holding,
                               write_random_file)
from launcher_harness import (LauncherTestCase, make_agent_archive, make_zip,  # noqa: E402
                              real_program, run_main, tree_snapshot)
from scripted_server import (Reply, ScriptedServer, serve_archive, serve_file,  # noqa: E402
                             serve_resumable)

TO_PROCESS = "process"
TO_GROUP = "group"

# Big enough that unzip is still writing when the test has seen the file appear.
LARGE_BUNDLE_SIZE = 256 << 20
LARGE_AGENT_PAYLOAD_SIZE = 192 << 20


class InterruptionTestCase(LauncherTestCase):
    def send(self, run, number, target):
        if target == TO_GROUP:
            run.signal_group(number)
        else:
            run.signal_process(number)

    def start(self, launcher, **options):
        run = LauncherProcess(self.ws, launcher, **options)
        self.addCleanup(run.kill)
        return run

    def assertEndedBy(self, run, number):
        """Died by the signal, and "Installation failed." is the only line it printed."""
        self.assertEqual(run.returncode, -number, run.describe())
        self.assertEqual(run.stderr_lines, [INSTALLATION_FAILED], run.describe())
        self.assertEqual(run.stdout, b"", run.describe())

    def assertGone(self, directories, run):
        self.assertTrue(directories, "the run's work directory was never seen")
        for directory in directories:
            self.assertFalse(os.path.lexists(directory),
                             "work directory %s left behind\n%s" % (directory, run.describe()))

    def assertRecovers(self, launcher, server, home, ident, requests):
        """The next run, undisturbed, succeeds with the agent of the server's archive."""
        server.clear()
        result = self.ws.run(launcher, args=["again"], url=server.url("/agent"), home=home)
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, arguments=["again"], ident=ident, home=home)
        self.assertRequests(server, requests)
        self.assertWorkDirectoryGone(result)
        return result


class DownloadInterruptionTests(InterruptionTestCase):
    """Interrupted while the server stalls: abandoned at once, not after a time-out."""

    CASES = [(signal.SIGINT, TO_PROCESS), (signal.SIGTERM, TO_PROCESS),
             (signal.SIGHUP, TO_PROCESS), (signal.SIGINT, TO_GROUP)]
    GET_AGENT = [("HEAD", "/agent"), ("GET", "/agent")]

    def interrupt_stalled_get(self, launcher, home, archive, etag, number, target):
        handler = serve_archive(archive, etag=etag, get_reply=stalled_get(archive, etag))
        with ScriptedServer(handler) as server:
            run = self.start(launcher, url=server.url("/agent"), home=home)
            self.assertTrue(server.wait_for_requests(2), run.describe())
            work = work_directories_holding(self.ws.bundle)
            self.send(run, number, target)
            run.finish()
            self.assertEqual([r.method for r in server.requests], ["HEAD", "GET"])
        self.assertEndedBy(run, number)
        self.assertGone(work, run)
        self.assertIsNone(run.agent, "the agent ran although the download was interrupted")

    def test_stalled_get_of_a_first_run(self):
        launcher = self.ws.pack()
        archive = make_agent_archive("first")
        for number, target in self.CASES:
            with self.subTest(signal=signal.Signals(number).name, to=target):
                home = self.ws.path("home-%d-%s" % (number, target))
                os.makedirs(home)
                self.interrupt_stalled_get(launcher, home, archive, b'"v1"', number, target)
                # The partial archive was neither unpacked nor recorded.
                self.assertFalse(os.path.lexists(os.path.join(self.ws.agent_dir(home), "install")))
                self.assertIsNone(self.ws.marker(home))
                with ScriptedServer(serve_archive(archive, etag=b'"v1"')) as server:
                    self.assertRecovers(launcher, server, home, "first", self.GET_AGENT)
                self.assertEqual(self.ws.marker(home), b'ETag: "v1"\r')

    def test_interrupted_get_is_continued_by_the_next_run(self):
        launcher = self.ws.pack()
        archive = make_agent_archive("big", extra={"payload.bin": os.urandom(3 << 20)})
        half = len(archive) // 2
        partial = self.ws.cache_dir() + "InstallAgent.zip.partial"
        handler = serve_archive(archive, etag=b'"v1"', get_reply=stalled_get(archive, b'"v1"'))
        with ScriptedServer(handler) as server:
            run = self.start(launcher, url=server.url("/agent"))
            wait_until(lambda: os.path.exists(partial) and os.path.getsize(partial) > 1 << 20,
                       "the first half to arrive")
            self.send(run, signal.SIGINT, TO_GROUP)
            run.finish()
        self.assertEndedBy(run, signal.SIGINT)
        self.assertEqual(os.path.getsize(partial), half)
        with ScriptedServer(serve_resumable(archive)) as server:
            self.assertRecovers(launcher, server, self.ws.home, "big", self.GET_AGENT)
            self.assertEqual(server.requests[-1].header("Range"), "bytes=%d-" % half)
            self.assertEqual(server.body_bytes_sent, len(archive) - half)
        self.assertFalse(os.path.lexists(partial))

    def test_stalled_get_replacing_a_cached_agent(self):
        launcher = self.ws.pack()
        old, new = make_agent_archive("old"), make_agent_archive("new")
        with ScriptedServer(serve_archive(old, etag=b'"old"')) as server:
            self.assertRecovers(launcher, server, self.ws.home, "old", self.GET_AGENT)
        installed = tree_snapshot(self.ws.agent_dir())
        self.interrupt_stalled_get(launcher, self.ws.home, new, b'"new"', signal.SIGTERM,
                                   TO_PROCESS)
        # The old agent and its marker stay as they were until a new one is whole.
        self.assertEqual(tree_snapshot(self.ws.agent_dir()), installed)
        self.assertEqual(self.ws.marker(), b'ETag: "old"\r')
        with ScriptedServer(serve_archive(new, etag=b'"new"')) as server:
            self.assertRecovers(launcher, server, self.ws.home, "new", self.GET_AGENT)
        self.assertEqual(self.ws.marker(), b'ETag: "new"\r')

    def test_stalled_head_leaves_the_cache_as_it_was(self):
        launcher = self.ws.pack()
        archive = make_agent_archive("cached")
        with ScriptedServer(serve_archive(archive, etag=b'"v1"')) as server:
            self.assertRecovers(launcher, server, self.ws.home, "cached", self.GET_AGENT)
        for number, target in self.CASES:
            with self.subTest(signal=signal.Signals(number).name, to=target):
                before = tree_snapshot(self.ws.cache_dir())
                with ScriptedServer(lambda request: Reply(stall=True)) as server:
                    run = self.start(launcher, url=server.url("/agent"))
                    self.assertTrue(server.wait_for_requests(1), run.describe())
                    work = work_directories_holding(self.ws.bundle)
                    self.send(run, number, target)
                    run.finish()
                self.assertEndedBy(run, number)
                self.assertGone(work, run)
                self.assertEqual(tree_snapshot(self.ws.cache_dir()), before)
                with ScriptedServer(serve_archive(archive, etag=b'"v1"')) as server:
                    self.assertRecovers(launcher, server, self.ws.home, "cached",
                                        [("HEAD", "/agent")])


class UnzipInterruptionTests(InterruptionTestCase):
    """Interrupted while unzip writes: the launcher waits for it, then cleans up."""

    def test_during_the_extraction_of_a_large_bundle(self):
        bundle_file = write_random_file(self.ws.path("large-bundle.zip"), LARGE_BUNDLE_SIZE)
        launcher = pack_files(self.ws, self.ws.path("large", "setup.run"), bundle_file)
        archive = make_agent_archive("after-unzip")
        cases = [(signal.SIGINT, TO_GROUP), (signal.SIGTERM, TO_PROCESS),
                 (signal.SIGINT, TO_PROCESS), (signal.SIGTERM, TO_GROUP)]
        with ScriptedServer(serve_archive(archive, etag=b'"v1"')) as server:
            for number, target in cases:
                with self.subTest(signal=signal.Signals(number).name, to=target):
                    server.clear()
                    run = self.start(launcher, url=server.url("/agent"))
                    work = wait_until(lambda: running_unzip_target(run.pid), "unzip to start")
                    bundle = os.path.join(work, "bundle.zip")
                    wait_until(lambda: os.path.exists(bundle) and os.path.getsize(bundle) > 0,
                               "the work directory to fill")
                    self.send(run, number, target)
                    run.finish()
                    self.assertEndedBy(run, number)
                    self.assertGone([work], run)
                    self.assertEqual(server.requests, [],
                                     "the run went on past the extraction (did unzip end "
                                     "before the signal came?)")
                    self.assertIsNone(run.agent)
        # The interrupted runs made no cache; a whole run still works.
        self.ws.bundle = open(bundle_file, "rb").read()
        with ScriptedServer(serve_archive(archive, etag=b'"v1"')) as server:
            self.assertRecovers(launcher, server, self.ws.home, "after-unzip",
                                [("HEAD", "/agent"), ("GET", "/agent")])

    def test_during_the_unpacking_of_a_large_agent_into_the_cache(self):
        launcher = self.ws.pack()
        payload_file = write_random_file(self.ws.path("payload.bin"), LARGE_AGENT_PAYLOAD_SIZE)
        with open(payload_file, "rb") as stream:
            payload_digest = hashlib.sha256(stream.read()).hexdigest()
        archive_file = self.ws.path("large-agent.zip")
        with zipfile.ZipFile(archive_file, "w", zipfile.ZIP_STORED) as agent:
            agent.writestr(zipfile.ZipInfo("install", (2024, 1, 2, 3, 4, 6)),
                           make_script_of(make_agent_archive("large")))
            agent.write(payload_file, "payload.bin")
        cases = [(signal.SIGINT, TO_GROUP), (signal.SIGTERM, TO_PROCESS),
                 (signal.SIGTERM, TO_GROUP)]
        for number, target in cases:
            with self.subTest(signal=signal.Signals(number).name, to=target):
                home = self.ws.path("home-%d-%s" % (number, target))
                os.makedirs(home)
                agent_dir = self.ws.agent_dir(home)
                staging = agent_dir + ".new"
                with ScriptedServer(serve_file(archive_file, etag=b'"large"')) as server:
                    run = self.start(launcher, url=server.url("/agent"), home=home)
                    wait_until(lambda: running_unzip_target(run.pid) == staging,
                               "the agent's unzip to start")
                    work = work_directories_holding(self.ws.bundle)
                    payload = os.path.join(staging, "payload.bin")
                    wait_until(lambda: os.path.exists(payload) and os.path.getsize(payload) > 0,
                               "the cached agent directory to fill")
                    self.send(run, number, target)
                    run.finish()
                    self.assertEndedBy(run, number)
                    self.assertGone(work, run)
                    self.assertIsNone(run.agent)

                    # Whatever the interrupted unzip left, the next run must run a whole
                    # agent, never the half-written one.
                    result = self.assertRecoversWithWholePayload(launcher, server, home)
                    with open(os.path.join(agent_dir, "payload.bin"), "rb") as stream:
                        self.assertEqual(hashlib.sha256(stream.read()).hexdigest(),
                                         payload_digest, result.describe())

    def assertRecoversWithWholePayload(self, launcher, server, home):
        server.clear()
        result = self.ws.run(launcher, args=["again"], url=server.url("/agent"), home=home)
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, arguments=["again"], ident="large", home=home)
        self.assertWorkDirectoryGone(result)
        return result


def make_script_of(agent_archive_bytes):
    """The "install" script out of an agent archive made by the harness."""
    with zipfile.ZipFile(io.BytesIO(agent_archive_bytes)) as archive:
        return archive.read("install")


# Starts the program named by the first argument as the leader of a new session whose
# controlling terminal is the pseudo-terminal named in SETUP_HARDENING_TTY, on its
# standard input, as a login shell runs a command in the foreground.
TERMINAL_PARENT = r"""
import os, sys
terminal = os.open(os.environ.pop("SETUP_HARDENING_TTY"), os.O_RDWR)
os.dup2(terminal, 0)
os.close(terminal)
os.execv(sys.argv[1], sys.argv[1:])
"""


def process_state(pid):
    """The state letter of a process (R, S, T, ...) from /proc."""
    with open("/proc/%d/stat" % pid, "rb") as stream:
        text = stream.read()
    return text[text.rfind(b")") + 2:].split()[0].decode()


class AgentInterruptionTests(InterruptionTestCase):
    """Interrupted while the agent runs: the agent learns of it, the launcher then stops."""

    def test_signal_while_the_agent_runs(self):
        """An agent that does not handle the signal dies by it, whoever sent it."""
        launcher = self.ws.pack()
        archive = waiting_agent_archive("waiting")
        cases = [(signal.SIGINT, TO_PROCESS), (signal.SIGINT, TO_GROUP),
                 (signal.SIGTERM, TO_PROCESS), (signal.SIGTERM, TO_GROUP),
                 (signal.SIGHUP, TO_PROCESS)]
        with ScriptedServer(serve_archive(archive, etag=b'"w1"')) as server:
            for number, target in cases:
                with self.subTest(signal=signal.Signals(number).name, to=target):
                    run = self.start(launcher, args=["x"], url=server.url("/agent"))
                    wait_until(run.agent_started, "the agent to start")
                    work = [os.path.dirname(run.agent.bundle_path)]
                    self.send(run, number, target)
                    # Never released: only the signal can end this agent in time.
                    run.finish()
                    self.assertEndedBy(run, number)
                    self.assertGone(work, run)
                    self.assertFalse(run.agent_finished())
            # The cached agent is intact: the next run takes it with a HEAD alone.
            server.clear()
            run = self.start(launcher, url=server.url("/agent"))
            wait_until(run.agent_started, "the agent to start")
            run.release_agent()
            run.finish()
            self.assertEqual((run.returncode, run.stderr_lines), (0, []), run.describe())
            self.assertEqual([(r.method, r.path) for r in server.requests], [("HEAD", "/agent")])

    def run_trapping_agent(self, launcher, server, interrupt, signals_to_stop=1, **options):
        """Starts a trapping agent, lets interrupt(run) act on it, and waits for the end."""
        env = dict(options.pop("env", {}), SETUP_HARDENING_SIGNALS_TO_STOP=str(signals_to_stop))
        run = self.start(launcher, url=server.url("/agent"), env=env, **options)
        wait_until(run.agent_started, "the agent to start")
        work = [os.path.dirname(run.agent.bundle_path)]
        # The shell replaced itself with the agent's command: the launcher's own child.
        with open(os.path.join(run.agent_log, "parent"), encoding="ascii") as stream:
            self.assertEqual(int(stream.read()), run.pid, "the agent is not the launcher's child")
        interrupt(run)
        run.finish()
        self.assertTrue(os.path.exists(os.path.join(run.agent_log, "stopped")), run.describe())
        self.assertGone(work, run)
        return run

    def test_signal_to_the_launcher_alone_reaches_a_trapping_agent_once(self):
        launcher = self.ws.pack()
        with ScriptedServer(serve_archive(trapping_agent_archive(), etag=b'"t1"')) as server:
            for number in (signal.SIGTERM, signal.SIGINT):
                with self.subTest(signal=signal.Signals(number).name):
                    run = self.run_trapping_agent(launcher, server,
                                                  lambda run: run.signal_process(number))
                    self.assertEqual(received_signals(run.agent_log),
                                     [signal.Signals(number).name])
                    self.assertEndedBy(run, number)

            # A second signal is passed on as well; the launcher ends by the first.
            def term_then_hup(run):
                run.signal_process(signal.SIGTERM)
                wait_until(lambda: received_signals(run.agent_log), "the first signal to arrive")
                run.signal_process(signal.SIGHUP)

            run = self.run_trapping_agent(launcher, server, term_then_hup, signals_to_stop=2)
            self.assertEqual(received_signals(run.agent_log), ["SIGTERM", "SIGHUP"])
            self.assertEndedBy(run, signal.SIGTERM)

    def test_ctrl_c_on_the_terminal_reaches_a_trapping_agent_once(self):
        """The terminal signals the whole foreground group; the launcher adds nothing."""
        launcher = self.ws.pack()
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        terminal = os.ttyname(slave)
        os.close(slave)

        def ctrl_c(run):
            # The launcher is held stopped until the agent has taken the ^C: a copy that
            # the launcher passed on could not then merge with the original while both
            # are pending for the agent, and would show.
            os.kill(run.pid, signal.SIGSTOP)
            wait_until(lambda: process_state(run.pid) == "T", "the launcher to stop")
            os.write(master, b"\x03")
            wait_until(lambda: received_signals(run.agent_log), "the agent to get the ^C")
            os.kill(run.pid, signal.SIGCONT)

        with ScriptedServer(serve_archive(trapping_agent_archive(), etag=b'"t1"')) as server:
            run = self.run_trapping_agent(
                launcher, server, ctrl_c, env={"SETUP_HARDENING_TTY": terminal},
                wrap=[sys.executable, "-c", TERMINAL_PARENT])
        self.assertEqual(received_signals(run.agent_log), ["SIGINT"])
        self.assertEndedBy(run, signal.SIGINT)

    def test_hang_up_of_the_terminal_of_a_session_leader_reaches_the_agent(self):
        """ssh -t host ./setup.run: the kernel sends SIGHUP to the launcher alone."""
        master, wrap, env = on_a_terminal()
        with ScriptedServer(serve_archive(trapping_agent_archive(), etag=b'"t1"')) as server:
            run = self.run_trapping_agent(self.ws.pack(), server, lambda run: os.close(master),
                                          env=env, wrap=wrap)
        self.assertEqual(received_signals(run.agent_log), ["SIGHUP"])
        self.assertEndedBy(run, signal.SIGHUP)

    def test_signal_to_the_group_during_the_removal_of_the_work_directory(self):
        """timeout(1) signals the whole group: the removal finishes all the same."""
        filling = b'#!/bin/sh\ncd "${2%/*}" && mkdir many && cd many && seq 40000 | xargs touch\n'

        def removal_of_the_work_directory():
            for pid in process_descendants(run.pid):
                words = process_arguments(pid)
                if words[:2] == ["rm", "-rf"] and words[-1].startswith("/tmp/qx"):
                    return pid
            return None

        with ScriptedServer(serve_archive(make_zip([("install", filling)]))) as server:
            run = self.start(self.ws.pack(), url=server.url("/agent"))
            removal = wait_until(removal_of_the_work_directory, "the removal to start")
            os.kill(removal, signal.SIGSTOP)  # held mid-way, with much left to remove
            try:
                work = process_arguments(removal)[-1:]
                self.assertTrue(os.path.isdir(work[0]), run.describe())
                run.signal_group(signal.SIGTERM)
            finally:
                os.kill(removal, signal.SIGCONT)
            run.finish()
        # The agent had ended well: the launcher ends by the signal and says nothing.
        self.assertEqual((run.returncode, run.stderr_lines), (-signal.SIGTERM, []),
                         run.describe())
        self.assertGone(work, run)


# Starts the program named by the first argument with the dispositions given in
# SETUP_HARDENING_DISPOSITIONS ("HUP=ignore,INT=default"), as a parent shell or nohup would.
DISPOSITION_PARENT = r"""
import os, signal, sys
for item in os.environ.pop("SETUP_HARDENING_DISPOSITIONS").split(","):
    name, _, action = item.partition("=")
    signal.signal(getattr(signal, "SIG" + name),
                  signal.SIG_IGN if action == "ignore" else signal.SIG_DFL)
os.execv(sys.argv[1], sys.argv[1:])
"""

STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


class IgnoredSignalTests(InterruptionTestCase):
    """nohup setup, or setup run as a background job: what was ignored stays ignored."""

    def run_under(self, launcher, server, dispositions, signals_to_send):
        run = self.start(launcher, args=["y"], url=server.url("/agent"),
                         env={"SETUP_HARDENING_DISPOSITIONS": dispositions},
                         wrap=[sys.executable, "-c", DISPOSITION_PARENT])
        wait_until(run.agent_started, "the agent to start")
        for number in signals_to_send:
            run.signal_process(number)
            run.signal_group(number)
        run.release_agent()
        run.finish()
        return run

    def test_ignored_signals_stay_ignored(self):
        launcher = self.ws.pack()
        with ScriptedServer(serve_archive(waiting_agent_archive(), etag=b'"w1"')) as server:
            for ignored in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
                with self.subTest(ignored=signal.Signals(ignored).name):
                    others = ",".join("%s=default" % signal.Signals(n).name[3:]
                                      for n in STOP_SIGNALS - {ignored})
                    dispositions = "%s=ignore,%s" % (signal.Signals(ignored).name[3:], others)
                    run = self.run_under(launcher, server, dispositions, [ignored])
                    # Neither the launcher nor the agent was stopped by it.
                    self.assertEqual((run.returncode, run.stderr_lines), (0, []),
                                     run.describe())
                    self.assertTrue(run.agent_finished())
                    self.assertEqual(signal_mask(run.agent_log, "SigIgn") & STOP_SIGNALS,
                                     {ignored})

    def test_nohup_keeps_the_agent_immune_to_hangups(self):
        launcher = self.ws.pack()
        with ScriptedServer(serve_archive(waiting_agent_archive(), etag=b'"w1"')) as server:
            run = self.start(launcher, url=server.url("/agent"), wrap=[real_program("nohup")])
            wait_until(run.agent_started, "the agent to start")
            run.signal_group(signal.SIGHUP)
            run.release_agent()
            run.finish()
        self.assertEqual((run.returncode, run.stderr_lines), (0, []), run.describe())
        self.assertIn(signal.SIGHUP, signal_mask(run.agent_log, "SigIgn"))

    def test_signals_the_launcher_catches_reach_the_agent_at_their_default(self):
        launcher = self.ws.pack()
        with ScriptedServer(serve_archive(waiting_agent_archive(), etag=b'"w1"')) as server:
            run = self.run_under(launcher, server, "HUP=default,INT=default,TERM=default", [])
        self.assertEqual((run.returncode, run.stderr_lines), (0, []), run.describe())
        self.assertEqual(signal_mask(run.agent_log, "SigIgn") & STOP_SIGNALS, set())


if __name__ == "__main__":
    run_main()
