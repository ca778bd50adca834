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
    """One emulator process with its own directory, ports and state file.
    halt() / resume() (or restart()) end and start the process again on the
    same ports: the objects and resourceVersions survive, as across an API
    server restart."""

    def __init__(self, *extra, certs=None):
        self.dir = tempfile.mkdtemp(prefix="kubesim.")
        self.certs = certs or shared_certs()
        self.extra = list(extra)
        self.state = os.path.join(self.dir, "state.json")
        self.out = open(os.path.join(self.dir, "out"), "a")
        self.proc = None
        self.port = self.admin_port = 0
        self._launch()

    def _launch(self):
        ready = os.path.join(self.dir, "ready.json")
        if os.path.exists(ready):
            os.remove(ready)
        argv = [sys.executable, SCRIPT, "--port", str(self.port), "--admin-port", str(self.admin_port),
                "--certs", self.certs, "--ready-file", ready, "--state", self.state,
                "--parent-pid", str(os.getpid())] + self.extra
        again = self.port != 0
        deadline = time.time() + 20
        self.proc = subprocess.Popen(argv, stdout=self.out, stderr=subprocess.STDOUT)
        while not os.path.exists(ready):
            if self.proc.poll() is not None and again and self.proc.returncode == 3 and time.time() < deadline:
                time.sleep(0.1)         # the old port is still taken for a moment
                self.proc = subprocess.Popen(argv, stdout=self.out, stderr=subprocess.STDOUT)
                continue
            if self.proc.poll() is not None or time.time() > deadline:
                self.stop()
                raise RuntimeError("kubesim did not start")
            time.sleep(0.02)
        with open(ready) as f:
            self.info = json.load(f)
        self.port = self.info["port"]
        self.admin_port = self.info["adminPort"]
        self.kubeconfig = self.info["kubeconfig"]

    def halt(self, kill=False):
        """Ends the process (SIGKILL when `kill`, as a crash) and keeps everything else."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill() if kill else self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def resume(self):
        self._launch()

    def restart(self, kill=False):
        self.halt(kill)
        self.resume()

    def stop(self):
        self.halt()
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
