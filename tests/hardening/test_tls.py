#!/usr/bin/python3
"""TLS for real: the launcher against nginx on 127.0.0.1 with certificates of a test CA.

The launcher sets no TLS option, so libcurl verifies the server with its default CA
bundle. Each run happens in a private mount namespace in which a bundle that holds only
the test CA lies over that default bundle, so the machine's trust store is never
touched. The URLs name "localhost", which is what the certificates are issued for.

Shown here: a valid certificate works, with the HEAD and the GET of a first run on one
connection and nginx's own ETag recorded; a certificate for another name, an expired
one and one from an unknown CA each fail with the download-failure message and run
nothing, not even a cached agent; https redirecting to http is refused; https redirecting
to https works; 30 redirects are followed and the 31st fails, so a redirect loop ends.
"""

import datetime
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from hardening_support import (CURLE_PEER_FAILED_VERIFICATION,  # noqa: E402
                               CURLE_TOO_MANY_REDIRECTS, CURLE_UNSUPPORTED_PROTOCOL,
                               download_failed_lines, require_mount_namespace)
from launcher_harness import (LauncherTestCase, closed_port, make_agent_archive,  # noqa: E402
                              run_main, tree_snapshot)
from tls_fixture import (TestAuthority, TlsServer, ca_bundle_wrap, utc_now,  # noqa: E402
                         verification_failure)

# OpenSSL's verification results (x509_vfy.h), to show each bad server fails for its reason.
X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY = 20
X509_V_ERR_CERT_HAS_EXPIRED = 10
X509_V_ERR_HOSTNAME_MISMATCH = 62

DAY = datetime.timedelta(days=1)
MAX_REDIRECTS = 30


class TlsTestCase(LauncherTestCase):
    """One PKI and one nginx for all tests of a class; a fresh workspace for each test."""

    @classmethod
    def setUpClass(cls):
        require_mount_namespace()
        cls.scratch = tempfile.mkdtemp(prefix="setup-hardening-pki-")
        try:
            now = utc_now()
            trusted = TestAuthority(os.path.join(cls.scratch, "trusted-ca"), "setup hardening test CA")
            stranger = TestAuthority(os.path.join(cls.scratch, "unknown-ca"), "unknown test CA")
            sites = {
                "good": trusted.issue("good", ["localhost"], now - DAY, now + 2 * DAY),
                "other": trusted.issue("other", ["localhost"], now - DAY, now + 2 * DAY),
                "wrong-name": trusted.issue("wrong-name", ["elsewhere.invalid"], now - DAY,
                                            now + 2 * DAY),
                "expired": trusted.issue("expired", ["localhost"], now - 10 * DAY, now - DAY),
                "unknown-ca": stranger.issue("unknown-ca", ["localhost"], now - DAY,
                                             now + 2 * DAY),
                "plain": None,
            }
            cls.bundle = os.path.join(cls.scratch, "bundle.pem")
            shutil.copy(trusted.certificate, cls.bundle)
            cls.stranger_bundle = os.path.join(cls.scratch, "stranger-bundle.pem")
            shutil.copy(stranger.certificate, cls.stranger_bundle)
            cls.wrap = ca_bundle_wrap(cls.bundle)
            cls.nginx = TlsServer(sites, make_agent_archive("tls-v1"))
        except BaseException:
            shutil.rmtree(cls.scratch, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.nginx.cleanup()
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.nginx.set_archive(make_agent_archive("tls-v1"), mtime=1700000000)
        self.nginx.clear_log()
        self.launcher = self.ws.pack()

    def launch(self, url):
        self.nginx.clear_log()
        return self.ws.run(self.launcher, url=url, wrap=self.wrap)

    def requests(self, site=None):
        entries = self.nginx.log() if site is None else self.nginx.log_of(site)
        return [(entry.method, entry.uri, entry.status) for entry in entries]

    def assertRanAgentFromCache(self, result, ident):
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident=ident)
        self.assertWorkDirectoryGone(result)

    def assertRefused(self, result, code):
        self.assertFailedWith(result, download_failed_lines(code))
        self.assertIsNone(result.agent, "an agent ran\n" + result.describe())
        self.assertEqual([call.argv[0] for call in result.unzip_calls], ["-qq"],
                         result.describe())
        self.assertWorkDirectoryGone(result)

    def fill_cache(self):
        result = self.launch(self.nginx.url("good"))
        self.assertRanAgentFromCache(result, "tls-v1")
        return tree_snapshot(self.ws.cache_dir())


class CertificateTests(TlsTestCase):
    def test_valid_certificate(self):
        result = self.launch(self.nginx.url("good"))
        self.assertRanAgentFromCache(result, "tls-v1")
        entries = self.nginx.log()
        self.assertEqual([(e.method, e.uri, e.status) for e in entries],
                         [("HEAD", "/agent", 200), ("GET", "/agent", 200)])
        self.assertEqual(len({e.connection for e in entries}), 1,
                         "the HEAD and the GET did not share one connection: %r" % entries)
        self.assertEqual(self.ws.marker(), self.nginx.etag_line())

        # Unchanged on the server: one HEAD, the cached agent.
        result = self.launch(self.nginx.url("good"))
        self.assertRanAgentFromCache(result, "tls-v1")
        self.assertEqual(self.requests(), [("HEAD", "/agent", 200)])

        # A new archive gets a new ETag from nginx, and is fetched.
        self.nginx.set_archive(make_agent_archive("tls-v2"), mtime=1700000100)
        result = self.launch(self.nginx.url("good"))
        self.assertRanAgentFromCache(result, "tls-v2")
        self.assertEqual(self.requests(), [("HEAD", "/agent", 200), ("GET", "/agent", 200)])
        self.assertEqual(self.ws.marker(), self.nginx.etag_line())

    def test_certificates_that_must_be_refused(self):
        cases = [
            ("wrong-name", X509_V_ERR_HOSTNAME_MISMATCH),
            ("expired", X509_V_ERR_CERT_HAS_EXPIRED),
            ("unknown-ca", X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY),
        ]
        # Fails for its own reason only: the same bundle accepts the good server.
        self.assertIsNone(verification_failure(self.nginx.ports["good"], self.bundle))
        for site, reason in cases:
            with self.subTest(site=site, cache="empty"):
                failure = verification_failure(self.nginx.ports[site], self.bundle)
                self.assertEqual(failure and failure[0], reason, failure)
                result = self.launch(self.nginx.url(site))
                self.assertRefused(result, CURLE_PEER_FAILED_VERIFICATION)
                self.assertEqual(self.requests(), [], "a request passed the handshake")
                self.assertFalse(os.path.lexists(os.path.join(self.ws.agent_dir(), "install")))
                self.assertIsNone(self.ws.marker())
        # With a cached agent, a refused server does not let the old agent run either.
        before = self.fill_cache()
        for site, _ in cases:
            with self.subTest(site=site, cache="complete"):
                result = self.launch(self.nginx.url(site))
                self.assertRefused(result, CURLE_PEER_FAILED_VERIFICATION)
                self.assertEqual(tree_snapshot(self.ws.cache_dir()), before)
        self.assertRanAgentFromCache(self.launch(self.nginx.url("good")), "tls-v1")


class CertificateChoiceTests(TlsTestCase):
    """SSL_CERT_FILE names the bundle when set and not empty, over every usual place."""

    def test_bundle_named_in_the_environment(self):
        # The machine's own bundle does not know the test CA; the named one does.
        result = self.ws.run(self.launcher, url=self.nginx.url("good"),
                             env={"SSL_CERT_FILE": self.bundle})
        self.assertRanAgentFromCache(result, "tls-v1")

        # A named bundle that lacks the CA is refused, though the usual place holds it.
        self.nginx.set_archive(make_agent_archive("tls-v2"), mtime=1700000100)
        result = self.ws.run(self.launcher, url=self.nginx.url("good"), wrap=self.wrap,
                             env={"SSL_CERT_FILE": self.stranger_bundle})
        self.assertRefused(result, CURLE_PEER_FAILED_VERIFICATION)
        # The details say which certificates were trusted and how to choose others.
        self.assertTrue(result.stderr_lines[3].endswith(
            "; the trusted certificates are those in %s, and SSL_CERT_FILE selects another "
            "bundle" % self.stranger_bundle), result.describe())

        # Empty counts as not set: the usual place is read.
        result = self.ws.run(self.launcher, url=self.nginx.url("good"), wrap=self.wrap,
                             env={"SSL_CERT_FILE": ""})
        self.assertRanAgentFromCache(result, "tls-v2")

    def test_proxy_reached_over_tls_is_trusted_through_the_same_bundle(self):
        # nginx, asked as a proxy for an http URL, serves it itself: nothing listens behind.
        proxy = "https://localhost:%d" % self.nginx.ports["good"]
        result = self.ws.run(self.launcher, url="http://localhost:%d/agent" % closed_port(),
                             env={"SSL_CERT_FILE": self.bundle, "http_proxy": proxy})
        self.assertRanAgentFromCache(result, "tls-v1")
        self.assertEqual(self.requests("good"), [("HEAD", "/agent", 200), ("GET", "/agent", 200)])


class RedirectTests(TlsTestCase):
    def test_https_redirecting_to_http_is_refused(self):
        before = self.fill_cache()
        result = self.launch(self.nginx.url("good", "/redirect-to/plain"))
        self.assertRefused(result, CURLE_UNSUPPORTED_PROTOCOL)
        self.assertEqual(self.requests("good"), [("HEAD", "/redirect-to/plain", 302)])
        self.assertEqual(self.requests("plain"), [], "the plain http server was asked")
        self.assertEqual(tree_snapshot(self.ws.cache_dir()), before)

    def test_https_redirecting_to_https_works(self):
        result = self.launch(self.nginx.url("good", "/redirect-to/other"))
        self.assertRanAgentFromCache(result, "tls-v1")
        self.assertEqual(self.requests("good"), [("HEAD", "/redirect-to/other", 302),
                                                 ("GET", "/redirect-to/other", 302)])
        self.assertEqual(self.requests("other"), [("HEAD", "/agent", 200),
                                                  ("GET", "/agent", 200)])
        self.assertEqual(self.ws.marker(), self.nginx.etag_line())

    def test_plain_http_url_may_redirect_to_https(self):
        result = self.launch(self.nginx.url("plain", "/redirect-to/good"))
        self.assertRanAgentFromCache(result, "tls-v1")
        self.assertEqual(self.requests("plain"), [("HEAD", "/redirect-to/good", 302),
                                                  ("GET", "/redirect-to/good", 302)])
        self.assertEqual(self.requests("good"), [("HEAD", "/agent", 200),
                                                 ("GET", "/agent", 200)])

    def test_thirty_redirects_are_followed(self):
        result = self.launch(self.nginx.url("good", "/hop/%d" % MAX_REDIRECTS))
        self.assertRanAgentFromCache(result, "tls-v1")
        chain = ["/hop/%d" % hop for hop in range(MAX_REDIRECTS, -1, -1)]
        self.assertEqual([uri for _, uri, _ in self.requests()], chain + chain)
        self.assertEqual([method for method, _, _ in self.requests()],
                         ["HEAD"] * len(chain) + ["GET"] * len(chain))

    def test_thirty_one_redirects_are_too_many(self):
        before = self.fill_cache()
        result = self.launch(self.nginx.url("good", "/hop/%d" % (MAX_REDIRECTS + 1)))
        self.assertRefused(result, CURLE_TOO_MANY_REDIRECTS)
        self.assertEqual(self.requests(), [("HEAD", "/hop/%d" % hop, 302)
                                           for hop in range(MAX_REDIRECTS + 1, 0, -1)])
        self.assertEqual(tree_snapshot(self.ws.cache_dir()), before)

    def test_redirect_loop_ends(self):
        result = self.launch(self.nginx.url("good", "/loop"))
        self.assertRefused(result, CURLE_TOO_MANY_REDIRECTS)
        self.assertEqual(self.requests(), [("HEAD", "/loop", 302)] * (MAX_REDIRECTS + 1))


if __name__ == "__main__":
    run_main()
