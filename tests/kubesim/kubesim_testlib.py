"""Helpers for Python tests that run kubesim as a separate process."""

import http.client
import json
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "kubesim.py")

_CERT_CACHE = None


def shared_certs():
    """One set of TLS material per test process (generation takes a few hundred ms)."""
    global _CERT_CACHE
    if _CERT_CACHE is None:
        d = tempfile.mkdtemp(prefix="kubesim-certs.")
        subprocess.run([sys.executable, SCRIPT, "mkcerts", d, "--node", "node1"], check=True, stdout=subprocess.DEVNULL)
        _CERT_CACHE = d
        import atexit
        atexit.register(shutil.rmtree, d, True)
    return _CERT_CACHE


class Sim:
    def __init__(self, *extra, certs=None):
        self.dir = tempfile.mkdtemp(prefix="kubesim.")
        self.certs = certs or shared_certs()
        ready = os.path.join(self.dir, "ready.json")
        self.out = open(os.path.join(self.dir, "out"), "w")
        self.proc = subprocess.Popen([sys.executable, SCRIPT, "--port", "0", "--admin-port", "0", "--certs", self.certs,
                                      "--ready-file", ready, "--parent-pid", str(os.getpid())] + list(extra),
                                     stdout=self.out, stderr=subprocess.STDOUT)
        deadline = time.time() + 20
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.time() > deadline:
                self.stop()
                raise RuntimeError("kubesim did not start")
            time.sleep(0.02)
        with open(ready) as f:
            self.info = json.load(f)
        self.port = self.info["port"]
        self.admin_port = self.info["adminPort"]
        self.kubeconfig = self.info["kubeconfig"]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()
        shutil.rmtree(self.dir, True)

    # -- clients -------------------------------------------------------------
    def tls_context(self, cert="client"):
        ctx = ssl.create_default_context(cafile=os.path.join(self.certs, "ca.crt"))
        if cert:
            ctx.load_cert_chain(os.path.join(self.certs, cert + ".crt"), os.path.join(self.certs, cert + ".key"))
        return ctx

    def https(self, method, path, body=None, ctype="application/json", cert="client", headers=None, timeout=20):
        """One request over TLS; returns (status, parsed JSON or text)."""
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=self.tls_context(cert), timeout=timeout)
        try:
            return self._do(conn, method, path, body, ctype, headers)
        finally:
            conn.close()

    def admin(self, method, path, body=None, ctype="application/json"):
        conn = http.client.HTTPConnection("127.0.0.1", self.admin_port, timeout=20)
        try:
            return self._do(conn, method, path, body, ctype, None)
        finally:
            conn.close()

    @staticmethod
    def _do(conn, method, path, body, ctype, headers):
        data = None
        if body is not None:
            data = body if isinstance(body, (bytes, str)) else json.dumps(body)
        hdrs = {"Content-Type": ctype}
        hdrs.update(headers or {})
        conn.request(method, path, body=data, headers=hdrs)
        resp = conn.getresponse()
        raw = resp.read()
        try:
            return resp.status, json.loads(raw)
        except ValueError:
            return resp.status, raw.decode("utf-8", "replace")

    def watch_lines(self, path, timeout=20):
        """Runs a watch request to its end; returns the list of parsed events."""
        status, text = self.https("GET", path, timeout=timeout)
        assert status == 200, (status, text)
        if isinstance(text, dict):
            return [text]
        return [json.loads(line) for line in text.splitlines() if line.strip()]


def kubectl_available():
    return shutil.which("kubectl") is not None
