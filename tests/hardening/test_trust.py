#!/usr/bin/python3
"""Attacks on a launcher file that carries its publisher's keys: each tries to make it run a
program that the publisher never signed.

The attacker is a download host that rewrites what it serves, or a second local user who
can write a directory that the victim's run passes through (a shared sticky TMPDIR or
home). The victim is this process's own user running the launcher; the local attacker is a
user made for the class, acting from a child process under its own uid. Each race is made
deterministic: the server holds the body of the GET until the attacker has acted, the
attacker watches with inotify, and where the attacker must act between two of the
launcher's own commands, the test's stand-in for the next command waits until the attacker
has said it is done (a real attacker, reacting to inotify, is far quicker than the
launcher's next command). Every case also checks that the attacker's steps took place, so
that a case passes by the defence only, never by a staging mistake.
"""

import grp
import json
import os
import pwd
import secrets
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from hardening_support import (INSTALLATION_FAILED, require_root,  # noqa: E402
                               work_directories_holding)
from launcher_harness import (AGENT_PATH, AGENT_SCRIPT, CACHE_ROOT, NOT_OWN,  # noqa: E402
                              PLATFORM_TAG, PYTHON, RELEASE_LABEL, LauncherTestCase,
                              make_agent_archive, real_program, run_main, tree_snapshot)
import other_user  # noqa: E402
from scripted_server import ScriptedServer, serve_archive  # noqa: E402

HEAD, GET = ("HEAD", AGENT_PATH), ("GET", AGENT_PATH)
HIGHEST_VERSION = (1 << 63) - 1
PATIENCE = 20


def refusal(reason):
    return ["Error: The downloaded install agent failed verification - " + reason + ".", "",
            "Please rerun the installer. If this persists, contact the publisher."]


def older_note(offered, installed):
    return ("Note: the download server offers an older install agent (version %d) than the "
            "installed one (version %d); the installed one is used." % (offered, installed))


# -- a second archive in the signature's unsigned line ----------------------------------

def _stored_member(name, data, offset):
    """The local header (with data) and the central header of a stored member."""
    crc, raw = zlib.crc32(data), name.encode()
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0x6000, 0x5821, crc, len(data),
                        len(data), len(raw), 0) + raw + data
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x031E, 20, 0, 0, 0x6000, 0x5821,
                          crc, len(data), len(data), len(raw), 0, 0, 0, 0, 0o100755 << 16,
                          offset) + raw
    return local, central


def _archive_at(base, script, zip64):
    """A whole ZIP holding "install", with offsets for a file in which it starts at base. Its
    end record's comment length is 0, so it never passes for the record of the whole file."""
    local, central = _stored_member("install", script, base)
    directory_offset = base + len(local)
    data = local + central
    if zip64:
        record_offset = base + len(data)
        data += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, 1, 1, len(central),
                            directory_offset)
        data += struct.pack("<IIQI", 0x07064B50, 0, record_offset, 1)
        return data + struct.pack("<IHHHHIIH", 0x06054B50, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF,
                                  0xFFFFFFFF, 0xFFFFFFFF, 0)
    return data + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central),
                              directory_offset, 0)


def smuggle(signed, ident, zip64=False):
    """The signed archive with a second complete ZIP in its "untrusted comment:" line, and the
    outer end record's comment length made to cover the longer comment. The signed bytes stay
    as they were; unzip, which takes the last end record in the file, finds the second one."""
    end = signed.rfind(b"PK\x05\x06")
    first_line, rest = signed[end + 22:].split(b"\n", 1)
    prefix = b"untrusted comment: "
    assert first_line.startswith(prefix)
    script = ('log=$SETUP_E2E_AGENT_LOG; printf "%%s\\0" "$0" "$@" > "$log/argv"; pwd > '
              '"$log/cwd"; printf %s > "$log/ident"' % ident).encode()
    for pad in range(256):  # shift offsets and vary the CRC until no byte is a line feed
        inner = _archive_at(end + 22 + len(prefix) + pad, script + b" " * pad, zip64)
        if b"\n" not in inner:
            comment = prefix + b"x" * pad + inner + b"\n" + rest
            return signed[:end + 20] + struct.pack("<H", len(comment)) + comment
    raise AssertionError("no layout without a line feed")


# -- the second local user ----------------------------------------------------------------

ATTACKER_PRELUDE = r'''
import ctypes, json, os, select, signal, struct, sys, time
signal.alarm(60)  # the attacker never outlives a test
libc = ctypes.CDLL(None, use_errno=True)
PARAMS = json.loads(sys.argv[1])

def say(**message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()

class Watch:
    """Names made in, or moved into, a directory (inotify: IN_CREATE, IN_MOVED_TO)."""
    def __init__(self, directory):
        self.fd = libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, os.fsencode(directory), 0x180) < 0:
            raise OSError(ctypes.get_errno(), "inotify on " + directory)
        self.pending = []
    def read(self):
        data = os.read(self.fd, 65536)
        offset = 0
        while offset < len(data):
            length = struct.unpack_from("iIII", data, offset)[3]
            self.pending.append(data[offset + 16:offset + 16 + length].rstrip(b"\0").decode())
            offset += 16 + length

def next_event(watch, timeout=30):
    """("made", name), ("told", message from the test) or ("timeout", None); what the
    directory saw comes before what the test says."""
    deadline = time.monotonic() + timeout
    while not watch.pending:
        left = deadline - time.monotonic()
        ready = select.select([watch.fd, sys.stdin], [], [], left)[0] if left > 0 else []
        if not ready:
            return ("timeout", None)
        if watch.fd in ready:
            watch.read()
            continue
        line = sys.stdin.readline()
        return ("told", json.loads(line) if line else {"stop": True})
    return ("made", watch.pending.pop(0))

def repoint(link, target):
    """Points the attacker's own link elsewhere in one step: a new link renamed over it."""
    os.symlink(target, link + ".new")
    os.rename(link + ".new", link)

def plant(directory, script):
    os.makedirs(directory)
    with open(os.path.join(directory, "install"), "wb") as stream:
        stream.write(bytes.fromhex(script))
'''

# TMPDIR=S/victim, where S is shared and sticky: the attacker's link S/victim -> S passes a
# check by stat. When the victim's work directory S/qxXXXXXX appears, the attacker makes a
# directory of that name of its own, holding its InstallAgent.zip. "at_once": it repoints the
# link at once (before the launcher looks for a local agent archive); otherwise when told,
# while the server holds the GET (after the launcher opened its archive file).
TMPDIR_ATTACKER = r'''
shared, link, own = PARAMS["shared"], PARAMS["link"], PARAMS["own"]
os.symlink(shared, link)
watch = Watch(shared)
say(event="ready")
made = None
while True:
    kind, value = next_event(watch)
    if kind == "made" and made is None and value.startswith("qx"):
        made = value
        os.mkdir(os.path.join(own, made))
        with open(os.path.join(own, made, "InstallAgent.zip"), "wb") as stream:
            stream.write(bytes.fromhex(PARAMS["archive"]))
        if PARAMS["at_once"]:
            repoint(link, own)
            open(PARAMS["done"], "w").close()
            say(event="repointed", name=made)
    elif kind == "told" and value.get("act"):
        if made:
            repoint(link, own)
        say(event="repointed" if made else "idle", name=made)
    elif kind != "made":
        say(event="stopped", made=made)
        break
'''

# HOME is the victim's, shared and sticky; .quenth is the attacker's link to a directory of the
# victim's. While the server holds the GET, the attacker repoints it at its own tree, which
# holds an installagent/ of its own. When the launcher writes its marker there (after it
# unpacked the genuine agent into that tree), the attacker puts its reserve agent in place.
HOME_ATTACKER = r'''
link, tree = PARAMS["link"], PARAMS["tree"]
cache = os.path.join(tree, PARAMS["cache_path"])
plant(os.path.join(cache, "installagent"), PARAMS["agent"])
plant(os.path.join(cache, "reserve"), PARAMS["agent"])
os.symlink(PARAMS["victims"], link)
watch = Watch(cache)
say(event="ready")
swapped = False
while True:
    kind, value = next_event(watch)
    if kind == "told" and value.get("act"):
        repoint(link, tree)
        say(event="repointed")
    elif kind == "made" and value == ".validatestring" and not swapped:
        os.rename(os.path.join(cache, "installagent"), os.path.join(cache, "unpacked"))
        os.rename(os.path.join(cache, "reserve"), os.path.join(cache, "installagent"))
        open(PARAMS["done"], "w").close()
        swapped = True
    elif kind != "made":
        say(event="stopped", swapped=swapped)
        break
'''


class OtherUser:
    """A local user of its own for the attacker, with a group it shares with the victim."""

    def __init__(self):
        self.name = "qxatk" + secrets.token_hex(3)
        subprocess.run(["groupadd", self.name], check=True, capture_output=True, timeout=60)
        try:
            subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", "-N",
                            "-g", self.name, self.name], check=True, capture_output=True,
                           timeout=60)
            self.uid = pwd.getpwnam(self.name).pw_uid
            self.gid = grp.getgrnam(self.name).gr_gid
        except BaseException:
            self.remove()
            raise

    def remove(self):
        subprocess.run(["userdel", self.name], capture_output=True, timeout=60)
        subprocess.run(["groupdel", self.name], capture_output=True, timeout=60)


class Attacker:
    """The attacker's program (ATTACKER_PRELUDE + code), run as the other user. It reports
    one JSON object a line; the test answers with JSON lines on its standard input."""

    def __init__(self, user, code, cwd, **params):
        self.process = subprocess.Popen(
            ["setpriv", "--reuid=%d" % user.uid, "--regid=%d" % user.gid, "--init-groups",
             PYTHON, "-c", ATTACKER_PRELUDE + code, json.dumps(params)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd,
            text=True)
        self.said = []
        self._changed = threading.Condition()
        threading.Thread(target=self._listen, daemon=True).start()

    def _listen(self):
        for line in self.process.stdout:
            with self._changed:
                self.said.append(json.loads(line))
                self._changed.notify_all()
        with self._changed:
            self.said.append({"event": "ended"})
            self._changed.notify_all()

    def tell(self, **message):
        self.process.stdin.write(json.dumps(message) + "\n")
        self.process.stdin.flush()

    def wait_for(self, *events):
        """The first report of one of these events; fails when it does not come in time."""
        def found():
            return next((m for m in self.said if m["event"] in events + ("ended",)), None)
        with self._changed:
            message = self._changed.wait_for(found, PATIENCE)
        if message is None or message["event"] == "ended":
            self.kill()
            raise AssertionError("the attacker did not report %s: %r\n%s"
                                 % ("/".join(events), self.said, self.process.stderr.read()))
        return message

    def stop(self):
        self.tell(stop=True)
        return self.wait_for("stopped")

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=PATIENCE)


def hold_command(ws, tool, match, done, real=None):
    """Makes the test's stand-in for tool wait, when its arguments hold match, until the file
    done exists (at most PATIENCE s): it holds the launcher's next command until the attacker
    has acted. Other calls pass straight on."""
    stand_in = os.path.join(ws.tools, tool)
    if real is None:  # the recording stand-in of the harness stays next in line
        real = stand_in + ".recorded"
        os.rename(stand_in, real)
    with open(stand_in, "w") as stream:
        stream.write('#!/bin/sh\ncase "$*" in *%s*) n=0\n  until [ -e %s ] || [ $n -ge %d ]; do '
                     'sleep 0.05; n=$((n + 1)); done ;;\nesac\nexec %s "$@"\n'
                     % (shlex.quote(match), shlex.quote(done), PATIENCE * 20, shlex.quote(real)))
    os.chmod(stand_in, 0o755)


class TrustAttackTests(LauncherTestCase):
    @classmethod
    def setUpClass(cls):
        if shutil.which("minisign") is None:
            raise unittest.SkipTest("minisign is not installed")
        cls.keys_dir = tempfile.mkdtemp(prefix="setup-trust-keys-")
        cls.addClassCleanup(shutil.rmtree, cls.keys_dir, True)
        cls.keys = {}
        for name in ("k1", "k2", "k3"):
            public, secret = (os.path.join(cls.keys_dir, name + end) for end in (".pub", ".key"))
            subprocess.run(["minisign", "-G", "-W", "-p", public, "-s", secret], check=True,
                           capture_output=True, timeout=60)
            with open(public) as stream:
                key_id = "%016X" % int(stream.readline().split()[-1], 16)
            cls.keys[name] = (public, secret, key_id)
        cls.user = None
        if os.geteuid() == 0:
            cls.user = OtherUser()
            cls.addClassCleanup(cls.user.remove)

    def setUp(self):
        super().setUp()
        self.server = ScriptedServer(serve_archive(b"")).start()
        self.addCleanup(self.server.stop)
        self.genuine = self.signed("genuine", 1)
        self.launcher = self.pack_with("k1")

    # -- helpers ----------------------------------------------------------------------

    def pack_with(self, *keys):
        options = []
        for name in keys:
            options += ["--agent-key", self.keys[name][0]]
        return self.ws.pack(options=options)

    def signed(self, ident, version, key="k1"):
        """A stored agent archive signed with real minisign, the signature attached."""
        path = self.ws.path("%s-%s.zip" % (ident, key))
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
            archive.writestr("install", (AGENT_SCRIPT % {"ident": ident}).encode())
        subprocess.run(["minisign", "-S", "-s", self.keys[key][1], "-m", path, "-t",
                        "agent-version=%d agent-release=%s/%s" % (version, RELEASE_LABEL,
                                                                  PLATFORM_TAG)],
                       check=True, capture_output=True, timeout=60)
        subprocess.run([self.ws.binaries.setup_pack, "--attach-signature", path + ".minisig",
                        path], check=True, capture_output=True, timeout=60)
        with open(path, "rb") as stream:
            return stream.read()

    def serve(self, archive, etag, launcher=None, before_body=None, **options):
        """One run against the server, which answers the GET only once before_body returned."""
        plain = serve_archive(archive, etag=etag.encode())

        def handle(request):
            if request.method == "GET" and before_body is not None:
                before_body()
            return plain(request)

        self.server.set_handler(handle)
        self.server.clear()
        return self.ws.run(launcher or self.launcher, url=self.server.url(), timeout=60,
                           **options)

    def assertNotPlanted(self, result):
        self.assertFalse(result.agent and result.agent.ident.startswith(("host", "planted")),
                         "the attacker's agent ran\n" + result.describe())

    def scratch(self):
        """A scratch directory under /tmp that the other user can enter."""
        require_root("a second local user, to act as the attacker")
        root = tempfile.mkdtemp(prefix="setup-trust-", dir="/tmp")
        self.addCleanup(shutil.rmtree, root, True)
        problem = other_user.open_scratch(root)
        if problem:
            self.skipTest(problem)
        return root

    def directory(self, path, owner, mode):
        os.mkdir(path)
        os.chown(path, owner, self.user.gid)
        os.chmod(path, mode)
        return path

    def attack(self, code, cwd, **params):
        attacker = Attacker(self.user, code, cwd, **params)
        self.addCleanup(attacker.kill)
        attacker.wait_for("ready")
        return attacker

    # -- the cases --------------------------------------------------------------------

    def test_a_second_archive_in_the_unsigned_comment_line(self):
        unzip = real_program("unzip")
        for zip64 in (False, True):
            with self.subTest(zip64=zip64):
                ident = "host-zip64" if zip64 else "host"
                path = self.ws.path(ident + ".zip")
                with open(path, "wb") as stream:
                    stream.write(smuggle(self.genuine, ident, zip64))
                # The attack is real: unzip takes the host's archive from the whole file.
                listing = subprocess.run([unzip, "-p", path, "install"], capture_output=True,
                                         timeout=60)
                self.assertIn(b"printf %s >" % ident.encode(), listing.stdout)
                with open(path, "rb") as stream:
                    result = self.serve(stream.read(), '"%s"' % ident)
                self.assertNotPlanted(result)
                self.assertFailedWith(result, refusal("its signature cannot be read"))
                self.assertIsNone(result.agent)
                self.assertRequests(self.server, [HEAD, GET])
                verify = subprocess.run([self.ws.binaries.setup_pack, "--verify-agent",
                                         self.keys["k1"][0], path], capture_output=True,
                                        timeout=60)
                self.assertNotEqual(verify.returncode, 0, verify.stdout)

    def tmpdir_attack(self, at_once):
        """The link TMPDIR=S/victim -> S of the other user's, in a shared sticky S."""
        root = self.scratch()
        shared = self.directory(os.path.join(root, "shared"), 0, 0o1770)
        own = self.directory(os.path.join(root, "attacker"), self.user.uid, 0o755)
        link = os.path.join(shared, "victim")
        attacker = self.attack(TMPDIR_ATTACKER, root, shared=shared, link=link, own=own,
                               at_once=at_once, done=os.path.join(own, "done"),
                               archive=make_agent_archive("planted").hex())
        # Staged as meant: a link of the other user's that a check by stat takes for S.
        self.assertEqual((os.lstat(link).st_uid, os.stat(link).st_ino),
                         (self.user.uid, os.stat(shared).st_ino))
        return attacker, link, own

    def test_tmpdir_link_repointed_while_the_archive_downloads(self):
        attacker, link, _ = self.tmpdir_attack(at_once=False)
        acted = []

        def repoint():
            attacker.tell(act=True)
            acted.append(attacker.wait_for("repointed", "idle"))

        result = self.serve(self.genuine, '"v1"', before_body=repoint, env={"TMPDIR": link})
        self.assertEqual(len(acted), 1, "the GET was not held for the attacker")
        made = attacker.stop()["made"]
        self.assertNotPlanted(result)
        # The place is refused for the other user's link: /tmp holds the work directory.
        self.assertEqual((made, os.listdir(os.path.dirname(link))), (None, ["victim"]),
                         "the work directory was made through the other user's link")
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="genuine")
        self.assertRequests(self.server, [HEAD, GET])
        # With the attacker gone, the cache holds the genuine agent.
        result = self.serve(self.genuine, '"v1"')
        self.assertNotPlanted(result)
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="genuine")
        self.assertRequests(self.server, [HEAD])

    def test_tmpdir_link_turns_a_planted_archive_into_a_local_agent(self):
        attacker, link, own = self.tmpdir_attack(at_once=True)
        hold_command(self.ws, "unzip", " -d %s/" % link, os.path.join(own, "done"))
        result = self.serve(self.genuine, '"v1"', env={"TMPDIR": link})
        made = attacker.stop()["made"]
        self.assertNotPlanted(result)
        self.assertEqual((made, os.listdir(os.path.dirname(link))), (None, ["victim"]),
                         "the work directory was made through the other user's link")
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="genuine")
        self.assertRequests(self.server, [HEAD, GET])

    def test_home_link_repointed_while_the_archive_downloads(self):
        root = self.scratch()
        home = self.directory(os.path.join(root, "home"), 0, 0o1770)
        victims = self.directory(os.path.join(root, "victims"), 0, 0o700)
        own = self.directory(os.path.join(root, "attacker"), self.user.uid, 0o755)
        tree = self.directory(os.path.join(own, "tree"), self.user.uid, 0o755)
        done = os.path.join(own, "done")
        link = os.path.join(home, ".quenth")
        attacker = self.attack(HOME_ATTACKER, root, link=link, tree=tree, victims=victims,
                               done=done, cache_path=CACHE_ROOT.split("/", 1)[1],
                               agent=(AGENT_SCRIPT % {"ident": "planted"}).encode().hex())
        self.assertEqual((os.lstat(link).st_uid, os.stat(link).st_ino),
                         (self.user.uid, os.stat(victims).st_ino))
        planted = tree_snapshot(tree)
        hold_command(self.ws, "sh", link + "/", done, real="/bin/sh")
        acted = []

        def repoint():
            attacker.tell(act=True)
            acted.append(attacker.wait_for("repointed"))

        result = self.serve(self.genuine, '"v1"', before_body=repoint, home=home)
        self.assertEqual(len(acted), 1, "the GET was not held for the attacker")
        attacker.stop()
        self.assertNotPlanted(result)
        self.assertRanRunPrivateAgent(result, self.ws.cache_dir(home), NOT_OWN, "genuine")
        self.assertRequests(self.server, [HEAD, GET])
        # Nothing was made in the victim's directory, nor written into the attacker's tree.
        self.assertEqual(os.listdir(victims), [])
        self.assertEqual(tree_snapshot(tree), planted)

    def test_a_floor_raised_through_a_key_this_launcher_does_not_trust(self):
        first = self.pack_with("k1", "k2")
        result = self.serve(self.signed("k1-highest", HIGHEST_VERSION, "k1"), '"a"', first)
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="k1-highest")
        second = self.pack_with("k2", "k3")
        result = self.serve(self.signed("k2-v5", 5, "k2"), '"b"', second)
        self.assertRequests(self.server, [HEAD, GET])
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="k2-v5")
        cache = self.ws.cache_dir()
        with open(cache + ".agentversionfloors") as stream:
            floors = set(stream.read().split("\n")) - {""}
        self.assertEqual(floors, {"key=%s version=%d" % (self.keys["k1"][2], HIGHEST_VERSION),
                                  "key=%s version=5" % self.keys["k2"][2]})
        self.assertFalse(os.path.lexists(cache + ".agentversionfloor"))

    def test_a_kill_at_any_rename_never_lets_an_older_agent_in(self):
        # v10 installed, then a v20 install killed at its first, second, ... rename until one
        # completes; after each killed run that had begun to put v20 in v10's place (its agent
        # or its record), v15 is offered and must not be accepted.
        strace = real_program("strace")
        v10, v20, v15 = (self.signed(ident, int(ident[1:])) for ident in ("v10", "v20", "v15"))
        checked = 0
        for number in range(1, 16):
            home = self.ws.path("home-%d" % number)
            os.mkdir(home)
            self.assertSucceeded(self.serve(v10, '"v10"', home=home))
            installed = self.installed_state(home)
            # The leak checker cannot run under ptrace; it is off for the traced run only.
            leaks_off = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))
            killed = self.serve(v20, '"v20"', home=home,
                                env={"PYTHONDONTWRITEBYTECODE": "1", "ASAN_OPTIONS": leaks_off},
                                wrap=[strace, "-f", "-qq", "-o", "/dev/null", "-e",
                                      "inject=rename,renameat,renameat2:signal=KILL:when=%d"
                                      % number])
            for directory in work_directories_holding(self.ws.bundle):
                shutil.rmtree(directory)
            if killed.status != -signal.SIGKILL:
                self.assertSucceeded(killed)
                self.assertAgentRanFromCache(killed, ident="v20", home=home)
                break
            if self.installed_state(home) == installed:
                continue  # nothing of v20 had reached the cache: v15 may yet be accepted
            checked += 1
            with self.subTest(killed_at_rename=number):
                result = self.serve(v15, '"v15-%d"' % number, home=home)
                self.assertFalse(result.agent is not None and result.agent.ident == "v15",
                                 "v15 ran after v20 was being installed\n" + result.describe())
                self.assertIn(result.stderr_lines, [
                    refusal("it is older than the agent last accepted (version 15, last "
                            "accepted 20)") + [INSTALLATION_FAILED], [older_note(15, 20)]])
        else:
            self.fail("every run was killed")
        self.assertGreater(checked, 0, "no killed run had begun to replace v10")
        result = self.serve(v15, '"v15"', home=home)
        self.assertEqual((result.status, result.stderr_lines), (0, [older_note(15, 20)]))
        self.assertAgentRanFromCache(result, ident="v20", home=home)

    def installed_state(self, home):
        """Which agent the cache holds and which record vouches for it."""
        contents = []
        for path in (os.path.join(self.ws.agent_dir(home), "install"),
                     self.ws.cache_dir(home) + ".agentverification"):
            try:
                with open(path, "rb") as stream:
                    contents.append(stream.read())
            except FileNotFoundError:
                contents.append(None)
        return contents

    def test_an_unreadable_floor_record_refuses_the_agent(self):
        cache = self.ws.cache_dir()
        os.makedirs(cache, 0o700)
        floors = cache + ".agentversionfloors"
        with open(os.open(floors, os.O_WRONLY | os.O_CREAT, 0o600), "w") as stream:
            stream.write("no floor here\n\x01\x02 key=? version=-1\n")
        result = self.serve(self.genuine, '"v1"')
        self.assertFailedWith(result, refusal(
            "the record of the agents last accepted cannot be read (%s); removing the agent "
            "cache directory resets it" % floors))
        self.assertIsNone(result.agent)
        self.assertRequests(self.server, [HEAD, GET])
        with open(floors) as stream:
            self.assertEqual(stream.read(), "no floor here\n\x01\x02 key=? version=-1\n")


if __name__ == "__main__":
    run_main()
