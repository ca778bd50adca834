#!/usr/bin/env python3
"""A TLS proxy in front of the API server emulator, for the node agent's
tests of what happens between the two: it forwards every HTTPS request over
its own TLS connection (with the node's client certificate) and hands the
answer back, unless a rule says otherwise:

  drop    forward the request, read the answer, then close the client's
          connection without answering (the answer is lost on the way back)
  delay   hold the answer for `delay` seconds
  garble  replace the answer's body with bytes that are no JSON

Rules are read from the rules file (a JSON list, replaced atomically by the
test) whenever it changes:

  [{"method": "POST", "path": "/api/v1/nodes", "action": "drop", "count": 1}]

`method` "*" matches any, `path` is a regular expression that must match
the whole path (without query), `count` -1 means for ever. The proxy writes
what it saw to the stats file (atomically, after each connection and each
answer): {"connections": N, "requests": M, "log": [{"conn": i, "method",
"path", "status", "action"}, ...]}.

  tlsproxy.py --upstream https://127.0.0.1:PORT --certs DIR --dir WORKDIR
              [--parent-pid PID]

DIR holds the emulator's material (ca.crt, server.crt/key for the clients,
client.crt/key towards the emulator). The proxy listens on a free loopback
port and writes {"port": P} to WORKDIR/ready.json; the rules file is
WORKDIR/rules.json and the stats file WORKDIR/stats.json. Test code only.
"""
import argparse
import http.client
import json
import os
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kubesim"))
from kubesim import rule_take  # noqa: E402

HOP_BY_HOP = {"connection", "keep-alive", "transfer-encoding", "content-length", "proxy-connection"}


class State:
    def __init__(self, workdir):
        self.lock = threading.Lock()
        self.rules_path = os.path.join(workdir, "rules.json")
        self.stats_path = os.path.join(workdir, "stats.json")
        self.rules = []
        self.rules_stamp = None
        self.connections = 0
        self.log = []
        self.write_stats()

    def _reload(self):
        try:
            st = os.stat(self.rules_path)
        except OSError:
            return
        stamp = (st.st_mtime_ns, st.st_ino, st.st_size)
        if stamp == self.rules_stamp:
            return
        self.rules_stamp = stamp
        with open(self.rules_path) as f:
            rules = json.load(f)
        self.rules = [{"method": (r.get("method") or "*").upper(), "path": r.get("path") or ".*",
                       "action": r["action"], "count": int(r.get("count", 1)),
                       "delay": float(r.get("delay") or 0)} for r in (rules if isinstance(rules, list) else [rules])]

    def take(self, method, path):
        with self.lock:
            self._reload()
            return rule_take(self.rules, method, path)

    def new_connection(self):
        with self.lock:
            self.connections += 1
            n = self.connections
            self.write_stats()
            return n

    def record(self, entry):
        with self.lock:
            self.log.append(entry)
            self.write_stats()

    def write_stats(self):
        tmp = self.stats_path + ".tmp"
        with open(tmp, "w") as f:
            json.dump({"connections": self.connections, "requests": len(self.log), "log": self.log}, f)
        os.replace(tmp, self.stats_path)


def read_request(rfile):
    """One request from the client: (method, target, headers, body), or None at the end."""
    line = rfile.readline(65537)
    if not line:
        return None
    parts = line.decode("latin-1").rstrip("\r\n").split(" ")
    if len(parts) != 3:
        return None
    headers = []
    while True:
        h = rfile.readline(65537)
        if h in (b"\r\n", b"\n", b""):
            break
        name, _, value = h.decode("latin-1").partition(":")
        headers.append((name.strip(), value.strip()))
    length = next((int(v) for k, v in headers if k.lower() == "content-length"), 0)
    body = rfile.read(length) if length else b""
    return parts[0], parts[1], headers, body


def send_head(sock, status, reason, headers):
    head = "HTTP/1.1 %d %s\r\n" % (status, reason)
    head += "".join("%s: %s\r\n" % (k, v) for k, v in headers) + "\r\n"
    return head.encode("latin-1")


def serve_client(state, conn, args, upstream_ctx):
    n = state.new_connection()
    up_url = urllib.parse.urlsplit(args.upstream)
    upstream = http.client.HTTPSConnection(up_url.hostname, up_url.port, context=upstream_ctx, timeout=60)
    rfile = conn.makefile("rb")
    try:
        while True:
            req = read_request(rfile)
            if req is None:
                return
            method, target, headers, body = req
            path = urllib.parse.urlsplit(target).path.rstrip("/") or "/"
            rule = state.take(method, path)
            fwd = {k: v for k, v in headers if k.lower() not in HOP_BY_HOP and k.lower() != "host"}
            upstream.request(method, target, body=body if body or method in ("POST", "PUT", "PATCH") else None,
                             headers=fwd)
            resp = upstream.getresponse()
            out = [(k, v) for k, v in resp.getheaders() if k.lower() not in HOP_BY_HOP]
            entry = {"conn": n, "method": method, "path": path, "status": resp.status,
                     "action": rule["action"] if rule else ""}
            if (resp.getheader("Transfer-Encoding") or "").lower() == "chunked":
                # a stream (watch): relayed as it comes
                conn.sendall(send_head(conn, resp.status, resp.reason, out + [("Transfer-Encoding", "chunked")]))
                while True:
                    chunk = resp.read1(65536)
                    if not chunk:
                        break
                    conn.sendall(b"%x\r\n%s\r\n" % (len(chunk), chunk))
                conn.sendall(b"0\r\n\r\n")
                state.record(entry)
                continue
            data = resp.read()
            if rule and rule["action"] == "drop":
                state.record(entry)
                return
            if rule and rule["action"] == "delay":
                time.sleep(rule["delay"])
            if rule and rule["action"] == "garble":
                data = b"\x00<garbled>" + bytes(reversed(data))[:64]
            conn.sendall(send_head(conn, resp.status, resp.reason, out + [("Content-Length", str(len(data)))]) + data)
            state.record(entry)
    except (OSError, ssl.SSLError, http.client.HTTPException, ValueError):
        return
    finally:
        upstream.close()
        try:
            conn.close()
        except OSError:
            pass


def main(argv=None):
    p = argparse.ArgumentParser(description="TLS proxy with faults for the node agent's tests")
    p.add_argument("--upstream", required=True)
    p.add_argument("--certs", required=True)
    p.add_argument("--dir", required=True)
    p.add_argument("--parent-pid", type=int, default=0)
    args = p.parse_args(argv)

    state = State(args.dir)
    server_ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_ctx.load_cert_chain(os.path.join(args.certs, "server.crt"), os.path.join(args.certs, "server.key"))
    server_ctx.load_verify_locations(os.path.join(args.certs, "ca.crt"))
    server_ctx.verify_mode = ssl.CERT_OPTIONAL
    upstream_ctx = ssl.create_default_context(cafile=os.path.join(args.certs, "ca.crt"))
    upstream_ctx.load_cert_chain(os.path.join(args.certs, "client.crt"), os.path.join(args.certs, "client.key"))

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    listener.settimeout(0.2)
    ready = os.path.join(args.dir, "ready.json")
    with open(ready + ".tmp", "w") as f:
        json.dump({"port": listener.getsockname()[1], "pid": os.getpid()}, f)
    os.replace(ready + ".tmp", ready)

    stopping = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopping.set())
    while not stopping.is_set():
        if args.parent_pid:
            try:
                os.kill(args.parent_pid, 0)
            except OSError:
                break
        try:
            raw, _ = listener.accept()
        except socket.timeout:
            continue
        raw.settimeout(None)
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        def handshake_and_serve(sock=raw):
            try:
                sock.settimeout(10)
                tls = server_ctx.wrap_socket(sock, server_side=True)
                tls.settimeout(None)
            except (ssl.SSLError, OSError):
                sock.close()
                return
            serve_client(state, tls, args, upstream_ctx)
        threading.Thread(target=handshake_and_serve, daemon=True).start()
    return 0


if __name__ == "__main__":
    sys.exit(main())
