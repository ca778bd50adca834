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
  (else)         404 with an error body
"""
import argparse, hashlib, http.server, json, os, socketserver, ssl, threading

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
        return self.send(200, b'{"token": "good-token"}')

    def route(self, head):
        path = self.path.split("?")[0]
        mode = self.server.mode
        if path == "/token":
            return self.token()
        if mode != "ok" and self.headers.get("Authorization") != "Bearer good-token":
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
                 "tokenarray", "notoken", "tokenlong", "issuer401", "longrealm"):
        srv = Server(("127.0.0.1", 0), Handler)
        srv.mode = mode
        srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
        ports[mode] = srv.server_address[1]
        threading.Thread(target=srv.serve_forever, daemon=True).start()
    tmp = a.port_file + ".tmp"
    with open(tmp, "w") as f:
        json.dump(ports, f)
    os.rename(tmp, a.port_file)
    threading.Event().wait()


if __name__ == "__main__":
    main()
