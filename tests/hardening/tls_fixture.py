"""A real HTTPS server for the launcher's TLS tests: Debian's nginx with certificates that
the test makes itself with openssl.

TestAuthority is a throw-away certificate authority in a temporary directory; it issues
server certificates for chosen names and validity periods. TlsServer runs one nginx in
the foreground (no daemon, no worker processes) with its prefix, pid, lock, temporary and
log files in its own temporary directory, listening only on 127.0.0.1, one port per
certificate. It stops when the test stops it and, at the latest, when its lifetime ends.
Its access log records, per request, the port, nginx's connection number, the method,
the URI and the status, so a test can tell which requests shared a connection.

Nothing here touches the machine's trust store: the launcher is run in a private mount
namespace in which a bundle holding only the test authority lies over libcurl's default
bundle (see ca_bundle_wrap).
"""

import datetime
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

from hardening_support import PATIENCE, SYSTEM_CA_BUNDLE, bind_over, namespace_wrap

LOOPBACK = "127.0.0.1"
SERVER_LIFETIME = 900
TIME_FORMAT = "%Y%m%d%H%M%SZ"


def find_program(name, package):
    for directory in ("/usr/sbin", "/usr/bin", "/sbin", "/bin"):
        candidate = os.path.join(directory, name)
        if os.access(candidate, os.X_OK):
            return candidate
    raise unittest.SkipTest("%s is not installed (Debian package %s)" % (name, package))


def default_ca_bundle():
    """The CA bundle that libcurl reads when no TLS option is set."""
    curl_config = shutil.which("curl-config")
    path = SYSTEM_CA_BUNDLE
    if curl_config:
        completed = subprocess.run([curl_config, "--ca"], capture_output=True, text=True)
        if completed.returncode == 0 and completed.stdout.strip():
            path = completed.stdout.strip()
    if not os.path.isfile(path):
        raise unittest.SkipTest("libcurl's default CA bundle %s does not exist, so nothing "
                                "can be mounted over it" % path)
    return path


def ca_bundle_wrap(bundle):
    """Runs the launcher with this bundle in place of libcurl's default one."""
    return namespace_wrap(bind_over(bundle, default_ca_bundle()))


def _run(command, directory):
    completed = subprocess.run(command, cwd=directory, capture_output=True, text=True)
    if completed.returncode != 0:
        raise AssertionError("%s failed (%d): %s" % (command[0:3], completed.returncode,
                                                     completed.stderr))
    return completed


class TestAuthority:
    """A certificate authority made with openssl for one test run."""

    def __init__(self, directory, name):
        self.openssl = find_program("openssl", "openssl")
        self.directory = directory
        self.name = name
        os.makedirs(os.path.join(directory, "issued"))
        self.key = os.path.join(directory, "ca.key")
        self.certificate = os.path.join(directory, "ca.pem")
        with open(os.path.join(directory, "index.txt"), "w"):
            pass
        with open(os.path.join(directory, "serial"), "w") as stream:
            stream.write("1000\n")
        self.config = os.path.join(directory, "ca.cnf")
        with open(self.config, "w") as stream:
            stream.write(
                "[ca]\ndefault_ca = authority\n"
                "[authority]\n"
                "database = %(d)s/index.txt\nnew_certs_dir = %(d)s/issued\n"
                "serial = %(d)s/serial\ncertificate = %(d)s/ca.pem\n"
                "private_key = %(d)s/ca.key\ndefault_md = sha256\npolicy = any_name\n"
                "unique_subject = no\nemail_in_dn = no\ncopy_extensions = none\n"
                "[any_name]\ncommonName = supplied\n" % {"d": directory})
        self._new_key(self.key)
        _run([self.openssl, "req", "-x509", "-new", "-key", self.key, "-subj", "/CN=" + name,
              "-days", "3", "-sha256",
              "-addext", "basicConstraints=critical,CA:TRUE",
              "-addext", "keyUsage=critical,keyCertSign,cRLSign",
              "-out", self.certificate], directory)

    def _new_key(self, path):
        _run([self.openssl, "genpkey", "-algorithm", "EC", "-pkeyopt",
              "ec_paramgen_curve:P-256", "-out", path], self.directory)

    def issue(self, label, dns_names, valid_from, valid_until):
        """A server certificate and its key: (certificate path, key path)."""
        key = os.path.join(self.directory, label + ".key")
        request = os.path.join(self.directory, label + ".csr")
        certificate = os.path.join(self.directory, label + ".pem")
        extensions = os.path.join(self.directory, label + ".ext")
        with open(extensions, "w") as stream:
            stream.write("[server]\nbasicConstraints = critical,CA:FALSE\n"
                         "keyUsage = critical,digitalSignature\n"
                         "extendedKeyUsage = serverAuth\nsubjectAltName = %s\n"
                         % ",".join("DNS:" + name for name in dns_names))
        self._new_key(key)
        _run([self.openssl, "req", "-new", "-key", key, "-subj", "/CN=" + dns_names[0],
              "-out", request], self.directory)
        _run([self.openssl, "ca", "-batch", "-config", self.config, "-in", request,
              "-out", certificate, "-notext",
              "-startdate", valid_from.strftime(TIME_FORMAT),
              "-enddate", valid_until.strftime(TIME_FORMAT),
              "-extfile", extensions, "-extensions", "server"], self.directory)
        return certificate, key


def free_ports(count):
    """Ports on 127.0.0.1 that were free a moment ago (nginx cannot report port 0)."""
    sockets = []
    try:
        for _ in range(count):
            probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            probe.bind((LOOPBACK, 0))
            sockets.append(probe)
        return [probe.getsockname()[1] for probe in sockets]
    finally:
        for probe in sockets:
            probe.close()


class LogEntry:
    def __init__(self, line):
        port, connection, method, uri, status = line.split(" ")
        self.port = int(port)
        self.connection = int(connection)
        self.method = method
        self.uri = uri
        self.status = int(status)

    def __repr__(self):
        return "%d#%d %s %s %d" % (self.port, self.connection, self.method, self.uri,
                                   self.status)


class TlsServer:
    """nginx on 127.0.0.1. sites: {name: (certificate, key) or None for plain http}.

    Every site serves the agent archive at /agent with nginx's own ETag and answers
    /redirect-to/<site> with a 302 to that site's /agent, /loop with a 302 to itself and
    /hop/<n> with a 302 to /hop/<n-1>, where /hop/0 is the agent again.
    """

    HOPS = 32

    def __init__(self, sites, archive, lifetime=SERVER_LIFETIME):
        self.nginx = find_program("nginx", "nginx-light")
        self.prefix = tempfile.mkdtemp(prefix="setup-hardening-nginx-")
        self.archive = os.path.join(self.prefix, "www", "InstallAgent.zip")
        os.makedirs(os.path.dirname(self.archive))
        os.makedirs(os.path.join(self.prefix, "temp"))
        self.set_archive(archive)
        self.sites = sites
        self.access_log = os.path.join(self.prefix, "access.log")
        self.error_log = os.path.join(self.prefix, "error.log")
        self.process = None
        for _ in range(5):
            self.ports = dict(zip(sites, free_ports(len(sites))))
            if self._start(lifetime):
                return
        raise AssertionError("nginx did not start: " + self._read(self.error_log))

    # -- the server's content ---------------------------------------------------------

    def set_archive(self, data, mtime=None):
        with open(self.archive, "wb") as stream:
            stream.write(data)
        if mtime is not None:
            os.utime(self.archive, (mtime, mtime))

    def etag_line(self):
        """The ETag line nginx sends for the archive now, as the marker records it."""
        info = os.stat(self.archive)
        return b'ETag: "%x-%x"\r' % (int(info.st_mtime), info.st_size)

    def url(self, site, path="/agent", host="localhost"):
        scheme = "https" if self.sites[site] else "http"
        return "%s://%s:%d%s" % (scheme, host, self.ports[site], path)

    # -- what it saw -------------------------------------------------------------------

    def log(self):
        with open(self.access_log, encoding="ascii") as stream:
            return [LogEntry(line.rstrip("\n")) for line in stream if line.strip()]

    def clear_log(self):
        with open(self.access_log, "w"):
            pass

    def log_of(self, site):
        return [entry for entry in self.log() if entry.port == self.ports[site]]

    # -- lifecycle ---------------------------------------------------------------------

    def _config(self):
        prefix = self.prefix
        lines = [
            "daemon off;", "master_process off;", "worker_processes 1;",
            "pid %s/nginx.pid;" % prefix, "lock_file %s/nginx.lock;" % prefix,
            "error_log %s info;" % self.error_log,
            "events { worker_connections 256; }",
            "http {",
            "  log_format hardening '$server_port $connection $request_method $request_uri "
            "$status';",
            "  access_log %s hardening;" % self.access_log,
            "  client_body_temp_path %s/temp/body;" % prefix,
            "  proxy_temp_path %s/temp/proxy;" % prefix,
            "  fastcgi_temp_path %s/temp/fastcgi;" % prefix,
            "  uwsgi_temp_path %s/temp/uwsgi;" % prefix,
            "  scgi_temp_path %s/temp/scgi;" % prefix,
            "  default_type application/octet-stream;",
            "  keepalive_timeout 60s;",
        ]
        for site, credentials in self.sites.items():
            lines.append("  server {")
            if credentials:
                lines.append("    listen %s:%d ssl;" % (LOOPBACK, self.ports[site]))
                lines.append("    ssl_certificate %s;" % credentials[0])
                lines.append("    ssl_certificate_key %s;" % credentials[1])
            else:
                lines.append("    listen %s:%d;" % (LOOPBACK, self.ports[site]))
            lines.append("    server_name localhost;")
            lines.append("    location = /agent { alias %s; }" % self.archive)
            for target in self.sites:
                lines.append("    location = /redirect-to/%s { return 302 %s; }"
                             % (target, self.url(target)))
            lines.append("    location = /loop { return 302 /loop; }")
            lines.append("    location = /hop/0 { alias %s; }" % self.archive)
            for hop in range(1, self.HOPS + 1):
                lines.append("    location = /hop/%d { return 302 /hop/%d; }" % (hop, hop - 1))
            lines.append("  }")
        lines.append("}")
        return "\n".join(lines) + "\n"

    def _start(self, lifetime):
        config = os.path.join(self.prefix, "nginx.conf")
        with open(config, "w") as stream:
            stream.write(self._config())
        self.clear_log()
        # timeout bounds the server's life even if the test never stops it.
        self.process = subprocess.Popen(
            [find_program("timeout", "coreutils"), str(lifetime), self.nginx, "-p", self.prefix,
             "-c", config, "-e", self.error_log],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + PATIENCE
        pending = set(self.ports.values())
        while pending and time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False  # most likely a port taken meanwhile: try others
            for port in list(pending):
                try:
                    socket.create_connection((LOOPBACK, port), timeout=1).close()
                    pending.discard(port)
                except OSError:
                    pass
            time.sleep(0.02)
        if pending:
            self.stop()
            raise AssertionError("nginx does not listen: " + self._read(self.error_log))
        # The probes above were connections too; start the log afresh.
        self.clear_log()
        return True

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=PATIENCE)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.prefix, ignore_errors=True)

    @staticmethod
    def _read(path):
        try:
            with open(path, encoding="utf-8", errors="replace") as stream:
                return stream.read()
        except OSError:
            return "(no log)"


def verification_failure(port, bundle, host="localhost"):
    """None when a TLS client trusting only the bundle accepts the server, else OpenSSL's
    verification code and text (so a test knows why a certificate is refused)."""
    context = ssl.create_default_context(cafile=bundle)
    try:
        with socket.create_connection((LOOPBACK, port), timeout=PATIENCE) as raw:
            with context.wrap_socket(raw, server_hostname=host):
                return None
    except ssl.SSLCertVerificationError as error:
        return error.verify_code, error.verify_message


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
