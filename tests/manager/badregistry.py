#!/usr/bin/env python3
"""A misbehaving registry for the image manager tests (HTTPS, loopback).

  badregistry.py --port-file F --tls-cert C --tls-key K

Listens on several ports, one per behaviour of the base endpoint /v2/, and
writes {"mode": port, ...} as JSON to F once all of them listen:

  ok          /v2/ answers 200; repositories below pick the fault
  svcfirst    401 Bearer challenge with service before realm
  unknownauth 401 with a scheme that is neither Basic nor Bearer
  nochallenge 401 without any www-authenticate field
  tokenbroken 401 Bearer; the token service answers text that is not JSON
  tokenarray  401 Bearer; the token service answers a JSON array
  notoken     401 Bearer; the token service answers an object without token
  tokenlong   401 Bearer; the token is 5000 characters long
  issuer401   401 Bearer; the token service refuses with 401
  longrealm   401 Bearer whose realm is 2000 characters long
  expiring    401 Bearer; tokens "tok-N" from /token, each good for 3
              requests, then 401 again (a token that expires mid-pull)
  plain       plain HTTP (no TLS): counts what reaches it
  mute        plain TCP that accepts and never answers (not even TLS)

Repositories of the "ok" port (any tag):
  good/app       a valid OCI manifest, config and layer
  drop/app       the layer's connection is dropped half-way
  nodigest/app   manifest replies without docker-content-digest
  evil/app       manifest whose config digest is "sha256:../../../escape"
  evillayer/app  manifest whose layer digest climbs out of the layout
  badjson/app    manifest that is not JSON (its digest header is right)
  schema1/app    schema 1 manifest type
  blob404/app    the layer answers 404
  bigtags/app    tag list reply of more than 8191 bytes
  wrongdig/app   manifest served under a digest that is not its own
  plainjson/app  a good manifest served as "application/json"
  shop*/app      one image, the tag picks what goes wrong (see SHOP); a test
                 takes a repository of its own, so its counts are its own
  revoked/app    (expiring port) every blob request is refused with 401
  (else)         404 with an error body

GET /_stats (any port) answers what the server saw, for the tests to check:
{"requests": {"METHOD /path": count} ("PLAIN METHOD /path" on the plain
port), "times": {"METHOD /path": [unix
seconds]}, "sent": {"repo": bytes of the over-long blob sent}, "concurrent":
{"repo": most "par" blob requests at once}, "tokens": count of tokens issued}.
"""
import argparse, email.utils, hashlib, http.server, json, os, socket, socketserver, ssl, \
    threading, time

OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"
SCHEMA1 = "application/vnd.docker.distribution.manifest.v1+prettyjws"


def sha(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


CONFIG = json.dumps({"architecture": "amd64", "os": "orrery",
                     "rootfs": {"type": "layers", "diff_ids": []}}).encode()
LAYER = bytes(range(256)) * 1024  # 256 KiB


def manifest(config_digest, layer_digest):
    return json.dumps({
        "schemaVersion": 2, "mediaType": OCI_MANIFEST,
        "config": {"mediaType": "application/vnd.oci.image.config.v1+json",
                   "digest": config_digest, "size": len(CONFIG)},
        "layers": [{"mediaType": "application/vnd.oci.image.layer.v1.tar+gzip",
                    "digest": layer_digest, "size": len(LAYER)}]}).encode()


GOOD = manifest(sha(CONFIG), sha(LAYER))
BLOBS = {sha(CONFIG): CONFIG, sha(LAYER): LAYER}
MANIFESTS = {
    "good/app": (OCI_MANIFEST, GOOD, True),
    "drop/app": (OCI_MANIFEST, GOOD, True),
    "blob404/app": (OCI_MANIFEST, GOOD, True),
    "nodigest/app": (OCI_MANIFEST, GOOD, False),
    "evil/app": (OCI_MANIFEST, manifest("sha256:../../../escape", sha(LAYER)), True),
    "evillayer/app": (OCI_MANIFEST, manifest(sha(CONFIG), "sha256:../../../../escape"), True),
    "badjson/app": (OCI_MANIFEST, b"{\"schemaVersion\": 2, \"config\": ", True),
    "schema1/app": (SCHEMA1, b"{\"schemaVersion\": 1, \"name\": \"schema1/app\"}", True),
    "wrongdig/app": (OCI_MANIFEST, GOOD, True),
    "plainjson/app": ("application/json", GOOD, True),
}


OCI_INDEX = "application/vnd.oci.image.index.v1+json"
GZIP = "application/vnd.oci.image.layer.v1.tar+gzip"


def blob_bytes(seed, size):
    """Deterministic bytes that differ per seed."""
    out, block = bytearray(), hashlib.sha256(seed.encode()).digest()
    while len(out) < size:
        out += block
        block = hashlib.sha256(block).digest()
    return bytes(out[:size])


def image(tag, layers, declared=None, annotations=None):
    """A manifest for layers [(media type, bytes)]; declared overrides the
    size the manifest states for the first layer."""
    config = json.dumps({"architecture": "amd64", "os": "orrery", "created": tag,
                         "rootfs": {"type": "layers", "diff_ids": []}}).encode()
    descs = [{"mediaType": mt, "digest": sha(data), "size": len(data)} for mt, data in layers]
    if declared is not None:
        descs[0]["size"] = declared
    body = {"schemaVersion": 2, "mediaType": OCI_MANIFEST,
            "config": {"mediaType": "application/vnd.oci.image.config.v1+json",
                       "digest": sha(config), "size": len(config)},
            "layers": descs}
    if annotations:
        body["annotations"] = annotations
    blobs = {sha(config): config}
    blobs.update({sha(data): data for _, data in layers})
    return json.dumps(body).encode(), blobs


BASE = blob_bytes("base", 96 * 1024)
SHOP = {  # tag: (manifest, blobs)
    "v1": image("v1", [(GZIP, BASE)]),
    "v2": image("v2", [(GZIP, blob_bytes("v2", 64 * 1024)), (GZIP, BASE)]),
    "big": image("big", [(GZIP, blob_bytes("big", 1024))]),        # sent endlessly
    "stall": image("stall", [(GZIP, blob_bytes("stall", 256 * 1024))]),
    "slow": image("slow", [(GZIP, blob_bytes("slow", 4 * 1024 * 1024))]),
    "busy": image("busy", [(GZIP, BASE)]),
    "unavailable": image("unavailable", [(GZIP, BASE)]),
    "redirloop": image("redirloop", [(GZIP, blob_bytes("redirloop", 4096))]),
    "tohttp": image("tohttp", [(GZIP, blob_bytes("tohttp", 4096))]),
    "zstd": image("zstd", [("application/vnd.oci.image.layer.v1.tar+zstd",
                            blob_bytes("zstd", 8192))]),
    "foreign": image("foreign", [(GZIP, BASE), ("application/vnd.docker.image.rootfs.foreign"
                                                ".diff.tar.gzip", blob_bytes("foreign", 4096))]),
    "wide": image("wide", [(GZIP, BASE)], annotations={"org.example.note": "w" * 20000}),
    "bigmanifest": image("bigmanifest", [(GZIP, BASE)],
                         annotations={"org.example.note": "m" * (5 * 1024 * 1024)}),
    "par": image("par", [(GZIP, blob_bytes("par%d" % i, 32 * 1024)) for i in range(3)]),
    "drop": image("drop", [(GZIP, BASE)]),
}
# An index whose platform entries name manifests the registry does not have.
_missing = [{"mediaType": OCI_MANIFEST, "digest": sha(b"missing " + os_.encode()), "size": 100,
             "platform": {"os": os_, "architecture": "amd64"}} for os_ in ("linux", "orrery")]
SHOP["list404"] = (json.dumps({"schemaVersion": 2, "mediaType": OCI_INDEX,
                               "manifests": _missing}).encode(), {})
SHOP_TYPES = {"list404": OCI_INDEX}
SHOP_BY_DIGEST = {sha(m): (SHOP_TYPES.get(t, OCI_MANIFEST), m) for t, (m, _) in SHOP.items()}
SHOP_BLOB_DATA = {d: data for _manifest, blobs in SHOP.values() for d, data in blobs.items()}
# The layer each faulty tag misbehaves on (its first layer).
FAULT_LAYER = {t: json.loads(SHOP[t][0])["layers"][0]["digest"]
               for t in ("big", "stall", "slow", "redirloop", "tohttp")}
PAR_LAYERS = {d["digest"] for d in json.loads(SHOP["par"][0])["layers"]}


class Stats:
    """What the server saw; one lock for all of it."""
    def __init__(self):
        self.lock = threading.Lock()
        self.requests, self.times, self.sent, self.concurrent = {}, {}, {}, {}
        self.tokens = 0
        self.inflight, self.released = {}, set()
        self.par_cond = threading.Condition(self.lock)

    def seen(self, method, path):
        key = "%s %s" % (method, path)
        with self.lock:
            self.requests[key] = self.requests.get(key, 0) + 1
            self.times.setdefault(key, []).append(time.time())
            return self.requests[key]

    def dump(self):
        with self.lock:
            return json.dumps({"requests": self.requests, "times": self.times,
                               "sent": self.sent, "concurrent": self.concurrent,
                               "tokens": self.tokens}).encode()


STATS = Stats()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send(self, code, body=b"", ctype="application/json", headers=None, head=False):
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def challenge(self):
        mode, port = self.server.mode, self.server.server_address[1]
        realm = 'https://127.0.0.1:%d/token' % port
        if mode == "svcfirst":
            value = 'Bearer service="bad",realm="%s",scope="x"' % realm
        elif mode == "unknownauth":
            value = 'Negotiate realm="%s",service="bad"' % realm
        elif mode == "longrealm":
            value = 'Bearer realm="%s/%s",service="bad"' % (realm, "r" * 2000)
        elif mode == "nochallenge":
            return self.send(401, b'{"errors":[]}')
        else:
            value = 'Bearer realm="%s",service="bad"' % realm
        self.send(401, b'{"errors":[]}', headers={"WWW-Authenticate": value})

    def token(self):
        mode = self.server.mode
        if mode == "tokenbroken":
            return self.send(200, b"<html>no json</html>", "text/html")
        if mode == "tokenarray":
            return self.send(200, b"[1, 2]")
        if mode == "notoken":
            return self.send(200, b'{"expires_in": 60}')
        if mode == "issuer401":
            return self.send(401, b'{"errors":[]}')
        if mode == "tokenlong":
            return self.send(200, json.dumps({"token": "t" * 5000}).encode())
        if mode == "expiring":
            with STATS.lock:
                STATS.tokens += 1
                token = "tok-%d" % STATS.tokens
            return self.send(200, json.dumps({"token": token}).encode())
        return self.send(200, b'{"token": "good-token"}')

    def token_good(self):
        """Expiring mode: a token answers for three requests."""
        auth = self.headers.get("Authorization", "")
        if not auth.startswith("Bearer tok-"):
            return False
        uses = self.server.uses
        with STATS.lock:
            uses[auth] = uses.get(auth, 0) + 1
            return uses[auth] <= 3

    def route(self, head):
        path = self.path.split("?")[0]
        mode = self.server.mode
        if path == "/_stats":
            return self.send(200, STATS.dump())
        method = "HEAD" if head else "GET"
        STATS.seen(("PLAIN " if mode == "plain" else "") + method, path)
        if mode == "plain":
            return self.send(404, b'{"errors":[]}', head=head)
        if path == "/token":
            return self.token()
        if mode == "expiring":
            refused = "/blobs/" in path and path.startswith("/v2/revoked/app/")
            if refused or not self.token_good():
                return self.challenge()
        elif mode != "ok" and self.headers.get("Authorization") != "Bearer good-token":
            return self.challenge()
        if path == "/v2/":
            return self.send(200, b"{}", head=head)
        parts = path[len("/v2/"):].split("/")
        repo = "/".join(parts[:-2])
        kind, ref = parts[-2], parts[-1]
        if path.endswith("/tags/list"):
            repo = path[len("/v2/"):-len("/tags/list")]
            tags = ["tag-%04d" % i for i in range(800)] if repo == "bigtags/app" else ["v1"]
            return self.send(200, json.dumps({"name": repo, "tags": tags}).encode(), head=head)
        if repo.startswith("shop") and repo.endswith("/app") or repo == "revoked/app":
            return self.shop(repo, kind, ref, head)
        if kind == "manifests" and repo in MANIFESTS:
            ctype, body, with_digest = MANIFESTS[repo]
            headers = {}
            if with_digest:
                digest = sha(body)
                if repo == "wrongdig/app":
                    digest = sha(b"another manifest")
                headers["Docker-Content-Digest"] = digest
            return self.send(200, body, ctype, headers, head)
        if kind == "blobs" and ref in BLOBS:
            data = BLOBS[ref]
            if repo == "blob404/app" and data is LAYER:
                return self.send(404, b'{"errors":[{"code":"BLOB_UNKNOWN"}]}', head=head)
            if repo == "drop/app" and data is LAYER and not head:
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data[:len(data) // 2])
                self.wfile.flush()
                self.close_connection = True
                self.connection.shutdown(2)
                return None
            return self.send(200, data, "application/octet-stream", head=head)
        return self.send(404, b'{"errors":[{"code":"NAME_UNKNOWN"}]}', head=head)

    def shop(self, repo, kind, ref, head):
        if kind == "manifests":
            if ref in SHOP:
                tag, body, ctype = ref, SHOP[ref][0], SHOP_TYPES.get(ref, OCI_MANIFEST)
            elif ref in SHOP_BY_DIGEST:
                tag, (ctype, body) = None, SHOP_BY_DIGEST[ref]
            else:
                return self.send(404, b'{"errors":[{"code":"MANIFEST_UNKNOWN"}]}', head=head)
            if tag == "drop":
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
                return None
            if head and tag in ("busy", "unavailable"):
                n = STATS.requests.get("HEAD " + self.path.split("?")[0], 0)
                if tag == "unavailable":
                    return self.send(503, b"{}", headers={"Retry-After": "0"}, head=True)
                if n % 3 == 1:  # an HTTP date one second ahead, then seconds
                    when = email.utils.formatdate(time.time() + 1, usegmt=True)
                    return self.send(429, b"{}", headers={"Retry-After": when}, head=True)
                if n % 3 == 2:
                    return self.send(429, b"{}", headers={"Retry-After": "1"}, head=True)
            return self.send(200, body, ctype, {"Docker-Content-Digest": sha(body)}, head)
        if kind != "blobs" or ref not in SHOP_BLOB_DATA:
            return self.send(404, b'{"errors":[{"code":"BLOB_UNKNOWN"}]}', head=head)
        data = SHOP_BLOB_DATA[ref]
        fault = next((t for t, d in FAULT_LAYER.items() if d == ref), None)
        if head or fault is None and ref not in PAR_LAYERS:
            return self.send(200, data, "application/octet-stream", head=head)
        if ref in PAR_LAYERS:
            return self.par_blob(repo, data)
        if fault == "redirloop":
            return self.send(302, b"", headers={"Location": self.path})
        if fault == "tohttp":
            plain = self.server.ports["plain"]
            return self.send(302, b"", headers={
                "Location": "http://127.0.0.1:%d%s" % (plain, self.path)})
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if fault == "big":   # far more than the manifest declares, until the client goes
            self.send_header("Content-Length", str(200 * 1024 * 1024))
            self.end_headers()
            sent, chunk = 0, b"\0" * 65536
            try:
                while sent < 200 * 1024 * 1024:
                    with STATS.lock:  # counted before the client can see it
                        STATS.sent[repo] = STATS.sent.get(repo, 0) + len(chunk)
                    self.wfile.write(chunk)
                    sent += len(chunk)
            except OSError:
                pass
            self.close_connection = True
            return None
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        try:
            if fault == "stall":   # a little, then nothing for a long while
                self.wfile.write(data[:512])
                self.wfile.flush()
                time.sleep(60)
                self.wfile.write(data[512:])
            else:                  # slow: 16 KiB every 50 ms
                for i in range(0, len(data), 16384):
                    self.wfile.write(data[i:i + 16384])
                    self.wfile.flush()
                    time.sleep(0.05)
        except OSError:
            self.close_connection = True
        return None

    def par_blob(self, repo, data):
        """Holds each layer of "par" until all three are asked for at once
        (or ten seconds passed), and notes how many were asked at once."""
        with STATS.par_cond:
            STATS.inflight[repo] = STATS.inflight.get(repo, 0) + 1
            STATS.concurrent[repo] = max(STATS.concurrent.get(repo, 0), STATS.inflight[repo])
            if STATS.inflight[repo] >= 3:
                STATS.released.add(repo)   # stays until the last one is served
                STATS.par_cond.notify_all()
            STATS.par_cond.wait_for(lambda: repo in STATS.released, timeout=10)
        try:
            self.send(200, data, "application/octet-stream")
        finally:
            with STATS.par_cond:
                STATS.inflight[repo] -= 1
                if STATS.inflight[repo] == 0:
                    STATS.released.discard(repo)

    def do_GET(self):
        self.route(False)

    def do_HEAD(self):
        self.route(True)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--tls-cert", required=True)
    ap.add_argument("--tls-key", required=True)
    a = ap.parse_args()
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(a.tls_cert, a.tls_key)
    ports = {}
    for mode in ("ok", "svcfirst", "unknownauth", "nochallenge", "tokenbroken",
                 "tokenarray", "notoken", "tokenlong", "issuer401", "longrealm", "expiring",
                 "plain"):
        srv = Server(("127.0.0.1", 0), Handler)
        srv.mode, srv.ports, srv.uses = mode, ports, {}
        if mode != "plain":
            srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
        ports[mode] = srv.server_address[1]
        threading.Thread(target=srv.serve_forever, daemon=True).start()
    mute = socket.socket()
    mute.bind(("127.0.0.1", 0))
    mute.listen(64)
    ports["mute"] = mute.getsockname()[1]
    held = []
    threading.Thread(target=lambda: [held.append(mute.accept()) for _ in iter(int, 1)],
                     daemon=True).start()
    tmp = a.port_file + ".tmp"
    with open(tmp, "w") as f:
        json.dump(ports, f)
    os.rename(tmp, a.port_file)
    threading.Event().wait()


if __name__ == "__main__":
    main()
