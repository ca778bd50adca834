#!/usr/bin/env python3
"""Local HTTPS stand-in for the ECR API action GetAuthorizationToken.

Checks every request the way the service does: it recomputes the
Signature Version 4 signature from the request it received (the headers named
in SignedHeaders, the body) and the secret access key it was started with,
independently of the library under test. A request whose signature does not
match gets 403 InvalidSignatureException.

The reply of a correctly signed request is chosen by the registry id in the
body (see REPLIES). One JSON line per request goes to the log file so that
tests can check what was sent.

Usage: ecr_endpoint.py --cert C --key K --access-key A --secret S
                       --password P --log FILE
Prints the listening port on the first line of standard output. Loopback only.
"""
import argparse
import base64
import hashlib
import hmac
import http.server
import json
import ssl
import sys

TARGET = "AmazonEC2ContainerRegistry_V20150921.GetAuthorizationToken"


def b64(text):
    return base64.b64encode(text.encode()).decode()


def token_reply(token):
    return 200, {"authorizationData": [{"authorizationToken": token,
                                         "expiresAt": 1.8e9,
                                         "proxyEndpoint": "https://registry.invalid"}]}


def replies(password):
    return {
        "123456789012": token_reply(b64("AWS:" + password)),
        "400000000000": (400, {"__type": "InvalidParameterException",
                               "message": "Invalid parameter at 'registryIds'"}),
        "200000000001": (200, {"somethingElse": 1}),
        "200000000002": (200, {"authorizationData": []}),
        "200000000003": (200, {"authorizationData": [{"expiresAt": 1.8e9}]}),
        "200000000004": token_reply(b64("user:" + password)),
        "200000000005": (200, "this is not json"),
        "200000000006": token_reply("!!!not*base64!!!"),
        "200000000007": token_reply(b64("AWS:" + "x" * 4096)),
        "200000000008": (200, [1, 2, 3]),
        "200000000009": token_reply(b64("xAWS")),
        "200000000010": token_reply(b64("NOTAWS:" + password)),
    }


def hmac256(key, msg):
    return hmac.new(key, msg.encode(), hashlib.sha256).digest()


def expected_signature(secret, method, path, query, headers, signed, body,
                       amz_date, scope):
    date, region, service, _ = scope.split("/")
    canonical_headers = "".join(
        "%s:%s\n" % (name, " ".join(headers.get(name, "").split()))
        for name in signed.split(";"))
    creq = "\n".join([method, path, query, canonical_headers, signed,
                      hashlib.sha256(body).hexdigest()])
    sts = "\n".join(["AWS4-HMAC-SHA256", amz_date, scope,
                     hashlib.sha256(creq.encode()).hexdigest()])
    key = hmac256(("AWS4" + secret).encode(), date)
    for part in (region, service, "aws4_request"):
        key = hmac256(key, part)
    return hmac.new(key, sts.encode(), hashlib.sha256).hexdigest()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, payload):
        data = (payload if isinstance(payload, str) else json.dumps(payload)).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/x-amz-json-1.1")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        self.reply(404, {"__type": "UnknownOperationException"})

    def do_POST(self):
        cfg = self.server.cfg
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        headers = {k.lower(): v for k, v in self.headers.items()}
        auths = self.headers.get_all("Authorization") or []
        entry = {"host": headers.get("host"), "path": self.path,
                 "amz_date": headers.get("x-amz-date"),
                 "target": headers.get("x-amz-target"),
                 "content_type": headers.get("content-type"),
                 "authorization": auths, "body": body.decode(errors="replace"),
                 "verified": False}
        status, payload = 403, {"__type": "InvalidSignatureException",
                                "message": "The request signature we calculated "
                                           "does not match the signature you provided."}
        try:
            if len(auths) != 1 or not auths[0].startswith("AWS4-HMAC-SHA256 "):
                raise ValueError("one AWS4-HMAC-SHA256 Authorization header expected")
            fields = dict(p.strip().split("=", 1)
                          for p in auths[0][len("AWS4-HMAC-SHA256 "):].split(","))
            access_key, scope = fields["Credential"].split("/", 1)
            signed = fields["SignedHeaders"]
            if access_key != cfg.access_key:
                raise ValueError("unknown access key")
            if "host" not in signed.split(";") or "x-amz-date" not in signed.split(";"):
                raise ValueError("host and x-amz-date must be signed")
            if not scope.endswith("/ecr/aws4_request") or \
                    scope.split("/")[0] != headers.get("x-amz-date", "")[:8]:
                raise ValueError("bad credential scope")
            path, _, query = self.path.partition("?")
            want = expected_signature(cfg.secret, "POST", path, query, headers,
                                      signed, body, headers["x-amz-date"], scope)
            if not hmac.compare_digest(want, fields["Signature"]):
                raise ValueError("signature mismatch")
            if headers.get("x-amz-target") != TARGET or \
                    headers.get("content-type") != "application/x-amz-json-1.1":
                raise ValueError("wrong target or content type")
            entry["verified"] = True
            entry["region"] = scope.split("/")[1]
            registry_id = json.loads(body)["registryIds"][0]
            status, payload = self.server.replies.get(
                registry_id, (400, {"__type": "RegistryNotFound"}))
        except (ValueError, KeyError, IndexError, TypeError) as exc:
            entry["error"] = str(exc)
        with open(cfg.log, "a") as f:
            f.write(json.dumps(entry) + "\n")
        self.reply(status, payload)


def main():
    ap = argparse.ArgumentParser()
    for opt in ("--cert", "--key", "--access-key", "--secret", "--password", "--log"):
        ap.add_argument(opt, required=True)
    cfg = ap.parse_args()
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    server.cfg = cfg
    server.replies = replies(cfg.password)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cfg.cert, cfg.key)
    server.socket = ctx.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    sys.stdout.close()
    server.serve_forever()


if __name__ == "__main__":
    main()
