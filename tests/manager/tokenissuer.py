#!/usr/bin/env python3
"""Token issuer for registry tests: answers the registry's bearer challenge.

  tokenissuer.py --port-file F --cert C --key K --tls-cert TC --tls-key TK
                 [--user U:P]

GET /token?service=S&scope=repository:NAME:ACTIONS -> {"token": JWT, ...}
GET /oauth?...                                     -> {"access_token": JWT}
/oauth demands HTTP basic credentials (--user) and answers 401 otherwise.
/broken answers text that is not JSON; /notoken a JSON object without token.
Tokens are RS256 JWTs signed with K (via openssl) carrying the certificate C
in "x5c", so a registry trusting C as its root bundle accepts them.
"""
import argparse, base64, http.server, json, os, ssl, subprocess, sys, time, urllib.parse, uuid


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--tls-cert", required=True)
    ap.add_argument("--tls-key", required=True)
    ap.add_argument("--user", default="")
    ap.add_argument("--issuer", default="orrery-test-issuer")
    a = ap.parse_args()

    der = subprocess.run(["openssl", "x509", "-in", a.cert, "-outform", "DER"],
                         check=True, capture_output=True).stdout
    x5c = base64.b64encode(der).decode()

    def sign(claims):
        header = {"typ": "JWT", "alg": "RS256", "x5c": [x5c]}
        signing_input = (b64url(json.dumps(header).encode()) + "." +
                         b64url(json.dumps(claims).encode())).encode()
        sig = subprocess.run(["openssl", "dgst", "-sha256", "-sign", a.key],
                             input=signing_input, check=True, capture_output=True).stdout
        return signing_input.decode() + "." + b64url(sig)

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def reply(self, code, body, ctype="application/json", extra=None):
            data = body.encode()
            self.send_response(code)
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(data)))
            for k, v in (extra or {}).items():
                self.send_header(k, v)
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self):
            url = urllib.parse.urlparse(self.path)
            q = urllib.parse.parse_qs(url.query)
            if url.path == "/broken":
                return self.reply(200, "this is not json", "text/plain")
            if url.path == "/notoken":
                return self.reply(200, json.dumps({"expires_in": 300}))
            if url.path not in ("/token", "/oauth"):
                return self.reply(404, "{}")
            if url.path == "/oauth":
                want = "Basic " + base64.b64encode(a.user.encode()).decode()
                if self.headers.get("Authorization", "") != want:
                    return self.reply(401, json.dumps({"errors": [{"code": "UNAUTHORIZED"}]}),
                                      extra={"WWW-Authenticate": 'Basic realm="issuer"'})
            access = []
            for scope in q.get("scope", []):
                parts = scope.split(":")
                if len(parts) >= 3 and parts[0] == "repository":
                    access.append({"type": "repository", "name": ":".join(parts[1:-1]),
                                   "actions": parts[-1].split(",")})
            now = int(time.time())
            claims = {"iss": a.issuer, "sub": "tester", "aud": q.get("service", [""])[0],
                      "exp": now + 600, "nbf": now - 60, "iat": now,
                      "jti": uuid.uuid4().hex, "access": access}
            token = sign(claims)
            if url.path == "/oauth":
                body = {"access_token": token, "expires_in": 600}
            else:
                body = {"token": token, "expires_in": 600}
            self.reply(200, json.dumps(body))

    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(a.tls_cert, a.tls_key)
    srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
    tmp = a.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(srv.server_address[1]))
    os.rename(tmp, a.port_file)
    srv.serve_forever()


if __name__ == "__main__":
    main()
