#!/usr/bin/env bash
# regfixture.sh - Debian's docker-registry on loopback for the image manager
# tests, in every authentication mode, on one throw-away storage.
#
#   regfixture.sh up DIR [--large]   start everything, push the test images,
#                                    write DIR/env (shell assignments)
#   regfixture.sh down DIR           stop what DIR/pids lists, remove DIR
#   regfixture.sh run CMD [ARGS...]  up in a fresh temp dir, run CMD with
#                                    DIR/env exported, down; CMD's status
#
# Registries (all on 127.0.0.1, free ports picked at start):
#   OZ_REG_TLS     anonymous, HTTPS with a certificate of our CA (OZ_REG_CA)
#   OZ_REG_HTTP    anonymous, plain HTTP
#   OZ_REG_BASIC   htpasswd (bcrypt) basic auth over HTTPS: OZ_REG_USER/OZ_REG_PASSWORD
#   OZ_REG_TOKEN   bearer tokens from our issuer (/token, anonymous, "token")
#   OZ_REG_OAUTH   bearer tokens from our issuer (/oauth, basic credentials
#                  needed at the issuer, "access_token" only)
# Images (pushed with skopeo from tests/fixtures/mkimage.sh layouts):
#   orrery/app:oci       OCI manifest          orrery/app:v2s2   Docker schema 2
#   other/app:oci        the same image in another repository of the same name
#   team/multi:oci       OCI index: orrery/amd64 (2 layers), linux/amd64 (1 layer),
#                        orrery/arm64 (3 layers)
#   team/multi:docker    Docker manifest list: orrery/amd64, linux/amd64
#   team/nomatch:latest  OCI index without an amd64 entry (linux/arm64, orrery/arm64)
#   team/noplat:latest   OCI index whose first entry has no platform
#   team/corrupt:latest  OCI manifest whose last layer is corrupted in storage
#   bench/large:latest   (--large) the ~64 MiB benchmark image
# Each registry logs at level info into DIR/<name>.log ("tls", "basic",
# "token", ...), so tests can tell which credentials reached it: a request
# it let in says "authorized request", one without credentials "invalid
# authorization credential", refused ones 'error authenticating user "U"'.
# Also: OZ_REG_ECR, a registry under an ECR-like "*.localhost" name (htpasswd
# user AWS) with its local exchange endpoint OZ_REG_ECR_ENDPOINT, and the
# misbehaving registry of badregistry.py (OZ_BAD_<MODE>).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/../.." && pwd)
MKIMAGE=${OZ_MKIMAGE:-$SRC/tests/fixtures/mkimage.sh}
REGISTRY_BIN=${OZ_REGISTRY_BIN:-/usr/bin/docker-registry}
# Names that look like an ECR registry and its API in region us-west-2; libcurl
# resolves every "*.localhost" name to loopback by itself, so nothing in the
# library needs a redirection of its own for the tests.
ECR_HOST=123456789012.dkr.ecr.us-west-2.amazonaws.com.localhost
ECR_API_HOST=api.ecr.us-west-2.amazonaws.com.localhost
ECR_ACCESS_KEY=AKIDORRERYTEST
ECR_SECRET=orrery/Secret+Access/Key0123456789abcdefgh
ECR_PASSWORD=ecr-registry-password-0123456789

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

wait_http() { # URL: wait until something answers (any status)
  for _ in $(seq 1 200); do
    code=$(curl -sk -o /dev/null -w '%{http_code}' "$1" 2>/dev/null || true)
    [ "$code" != "000" ] && [ -n "$code" ] && return 0
    sleep 0.05
  done
  echo "regfixture: $1 does not answer" >&2
  return 1
}

gen_certs() { # DIR
  local d=$1/certs
  mkdir -p "$d"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=orrery test CA" \
    -keyout "$d/ca.key" -out "$d/ca.crt" 2>/dev/null
  cat > "$d/server.ext" <<EXT
subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:$ECR_HOST,DNS:$ECR_API_HOST
basicConstraints=CA:FALSE
keyUsage=digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
EXT
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$d/server.key" -out "$d/server.csr" 2>/dev/null
  openssl x509 -req -in "$d/server.csr" -CA "$d/ca.crt" -CAkey "$d/ca.key" \
    -CAcreateserial -days 2 -extfile "$d/server.ext" -out "$d/server.crt" 2>/dev/null
  # Token signing key with a self-signed certificate: the registry's root bundle.
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=orrery token issuer" \
    -keyout "$d/token.key" -out "$d/token.crt" 2>/dev/null
}

write_config() { # DIR NAME PORT TLS(0/1) AUTH-YAML
  local dir=$1 name=$2 port=$3 tls=$4 auth=$5
  {
    echo "version: 0.1"
    echo "log: {level: info, accesslog: {disabled: true}}"
    echo "storage:"
    echo "  filesystem: {rootdirectory: $dir/storage}"
    echo "  maintenance: {uploadpurging: {enabled: false}}"
    echo "http:"
    echo "  addr: 127.0.0.1:$port"
    echo "  secret: orrery-test-secret"
    if [ "$tls" = 1 ]; then
      echo "  tls: {certificate: $dir/certs/server.crt, key: $dir/certs/server.key}"
    fi
    if [ -n "$auth" ]; then
      echo "auth:"
      echo "$auth"
    fi
  } > "$dir/$name.yml"
}

start_registry() { # DIR NAME TLS AUTH-YAML -> prints port
  local dir=$1 name=$2 tls=$3 auth=$4 port
  port=$(free_port)
  write_config "$dir" "$name" "$port" "$tls" "$auth"
  REGISTRY_HTTP_DEBUG_ADDR= "$REGISTRY_BIN" serve "$dir/$name.yml" > "$dir/$name.log" 2>&1 &
  echo $! >> "$dir/pids"
  local scheme=http
  [ "$tls" = 1 ] && scheme=https
  wait_http "$scheme://127.0.0.1:$port/v2/" >&2
  echo "$port"
}

push() { # LAYOUT:TAG DEST [skopeo options]
  local src=$1 dest=$2; shift 2
  skopeo copy -q --dest-tls-verify=false "$@" "oci:$src" "docker://$dest" >/dev/null
}

put_index() { # REGISTRY REPO TAG MEDIATYPE ENTRIES-JSON
  local reg=$1 repo=$2 tag=$3 mt=$4 entries=$5
  local body="{\"schemaVersion\":2,\"mediaType\":\"$mt\",\"manifests\":$entries}"
  local code
  code=$(curl -s -o /dev/null -w '%{http_code}' --cacert "$DIR/certs/ca.crt" -X PUT \
    -H "Content-Type: $mt" --data-binary "$body" "https://$reg/v2/$repo/manifests/$tag")
  [ "$code" = 201 ] || { echo "regfixture: PUT $repo:$tag gave $code" >&2; return 1; }
}

entry() { # REGISTRY REPO TAG OS ARCH  -> one index entry (platform omitted when OS is -)
  local reg=$1 repo=$2 tag=$3 os=$4 arch=$5 mt digest size
  local hdr
  hdr=$(curl -sI --cacert "$DIR/certs/ca.crt" \
    -H "Accept: application/vnd.oci.image.manifest.v1+json,application/vnd.docker.distribution.manifest.v2+json" \
    "https://$reg/v2/$repo/manifests/$tag" | tr -d '\r')
  mt=$(echo "$hdr" | awk -F': ' 'tolower($1)=="content-type"{print $2}')
  digest=$(echo "$hdr" | awk -F': ' 'tolower($1)=="docker-content-digest"{print $2}')
  size=$(echo "$hdr" | awk -F': ' 'tolower($1)=="content-length"{print $2}')
  if [ "$os" = - ]; then
    echo "{\"mediaType\":\"$mt\",\"digest\":\"$digest\",\"size\":$size}"
  else
    echo "{\"mediaType\":\"$mt\",\"digest\":\"$digest\",\"size\":$size,\"platform\":{\"architecture\":\"$arch\",\"os\":\"$os\"}}"
  fi
}

up() {
  DIR=$1; local large=${2:-}
  mkdir -p "$DIR/storage" "$DIR/layouts"
  : > "$DIR/pids"
  gen_certs "$DIR"

  # Images, pushed through an anonymous registry; the other modes serve the
  # same storage.
  local tls
  tls=$(start_registry "$DIR" tls 1 "")
  local reg=127.0.0.1:$tls L=$DIR/layouts
  "$MKIMAGE" --layers 2 --tag oci --os orrery "$L/app" >/dev/null
  push "$L/app:oci" "$reg/orrery/app:oci"
  push "$L/app:oci" "$reg/orrery/app:v2s2" --format v2s2
  push "$L/app:oci" "$reg/other/app:oci"
  "$MKIMAGE" --layers 1 --tag linux --os linux "$L/linux" >/dev/null
  "$MKIMAGE" --layers 3 --tag arm --os orrery --arch arm64 "$L/arm" >/dev/null
  push "$L/linux:linux" "$reg/team/multi:linux-amd64"
  push "$L/arm:arm" "$reg/team/multi:orrery-arm64"
  push "$L/app:oci" "$reg/team/multi:orrery-amd64"
  push "$L/linux:linux" "$reg/team/multi:d-linux-amd64" --format v2s2
  push "$L/app:oci" "$reg/team/multi:d-orrery-amd64" --format v2s2
  local e_linux e_arm e_app d_linux d_app
  e_linux=$(entry "$reg" team/multi linux-amd64 linux amd64)
  e_arm=$(entry "$reg" team/multi orrery-arm64 orrery arm64)
  e_app=$(entry "$reg" team/multi orrery-amd64 orrery amd64)
  d_linux=$(entry "$reg" team/multi d-linux-amd64 linux amd64)
  d_app=$(entry "$reg" team/multi d-orrery-amd64 orrery amd64)
  put_index "$reg" team/multi oci application/vnd.oci.image.index.v1+json "[$e_linux,$e_arm,$e_app]"
  put_index "$reg" team/multi docker application/vnd.docker.distribution.manifest.list.v2+json "[$d_linux,$d_app]"
  push "$L/linux:linux" "$reg/team/nomatch:linux"
  push "$L/arm:arm" "$reg/team/nomatch:arm"
  put_index "$reg" team/nomatch latest application/vnd.oci.image.index.v1+json \
    "[$(entry "$reg" team/nomatch linux linux arm64),$(entry "$reg" team/nomatch arm orrery arm64)]"
  push "$L/app:oci" "$reg/team/noplat:app"
  push "$L/linux:linux" "$reg/team/noplat:linux"
  put_index "$reg" team/noplat latest application/vnd.oci.image.index.v1+json \
    "[$(entry "$reg" team/noplat linux - -),$(entry "$reg" team/noplat app orrery amd64)]"
  # A layer whose stored bytes no longer match its digest (same size).
  "$MKIMAGE" --layers 4 --tag latest --os orrery "$L/corrupt" >/dev/null
  push "$L/corrupt:latest" "$reg/team/corrupt:latest"
  local bad
  bad=$(python3 - "$L/corrupt" <<'PY'
import json, sys
d = sys.argv[1]
idx = json.load(open(d + "/index.json"))
m = json.load(open(d + "/blobs/sha256/" + idx["manifests"][0]["digest"].split(":")[1]))
print(m["layers"][-1]["digest"].split(":")[1])
PY
)
  local data=$DIR/storage/docker/registry/v2/blobs/sha256/${bad:0:2}/$bad/data
  python3 -c 'import sys; p=sys.argv[1]; b=bytearray(open(p,"rb").read()); b[len(b)//2] ^= 0xff; open(p,"wb").write(b)' "$data"
  echo "$bad" > "$DIR/corrupt.hex"
  if [ "$large" = --large ]; then
    "$MKIMAGE" --large --no-volumes --tag latest --os orrery "$L/large" >/dev/null
    push "$L/large:latest" "$reg/bench/large:latest"
  fi

  local http basic token oauth tport
  http=$(start_registry "$DIR" http 0 "")
  htpasswd -Bbn puller 'pull-Secret-1' > "$DIR/htpasswd" 2>/dev/null
  basic=$(start_registry "$DIR" basic 1 "  htpasswd: {realm: orrery-basic, path: $DIR/htpasswd}")
  python3 "$HERE/tokenissuer.py" --port-file "$DIR/issuer.port" \
    --cert "$DIR/certs/token.crt" --key "$DIR/certs/token.key" \
    --tls-cert "$DIR/certs/server.crt" --tls-key "$DIR/certs/server.key" \
    --user 'oauth-user:oauth-Secret-2' > "$DIR/issuer.log" 2>&1 &
  echo $! >> "$DIR/pids"
  for _ in $(seq 1 200); do [ -s "$DIR/issuer.port" ] && break; sleep 0.05; done
  tport=$(cat "$DIR/issuer.port")
  token=$(start_registry "$DIR" token 1 "  token: {realm: \"https://127.0.0.1:$tport/token\", service: orrery-registry, issuer: orrery-test-issuer, rootcertbundle: $DIR/certs/token.crt}")
  oauth=$(start_registry "$DIR" oauth 1 "  token: {realm: \"https://127.0.0.1:$tport/oauth\", service: orrery-registry, issuer: orrery-test-issuer, rootcertbundle: $DIR/certs/token.crt}")

  # The ECR road: the exchange endpoint checks signatures with our test key
  # and hands out "AWS:$ECR_PASSWORD"; the registry knows user AWS with it.
  htpasswd -Bbn AWS "$ECR_PASSWORD" > "$DIR/htpasswd.ecr" 2>/dev/null
  local ecr eport
  ecr=$(start_registry "$DIR" ecr 1 "  htpasswd: {realm: orrery-ecr, path: $DIR/htpasswd.ecr}")
  python3 "$HERE/ecr_endpoint.py" --cert "$DIR/certs/server.crt" --key "$DIR/certs/server.key" \
    --access-key "$ECR_ACCESS_KEY" --secret "$ECR_SECRET" --password "$ECR_PASSWORD" \
    --log "$DIR/ecr-requests.log" > "$DIR/ecr.port" 2> "$DIR/ecr.log" &
  echo $! >> "$DIR/pids"
  for _ in $(seq 1 200); do [ -s "$DIR/ecr.port" ] && break; sleep 0.05; done
  eport=$(head -n1 "$DIR/ecr.port")

  python3 "$HERE/badregistry.py" --port-file "$DIR/bad.ports" \
    --tls-cert "$DIR/certs/server.crt" --tls-key "$DIR/certs/server.key" > "$DIR/bad.log" 2>&1 &
  echo $! >> "$DIR/pids"
  for _ in $(seq 1 200); do [ -s "$DIR/bad.ports" ] && break; sleep 0.05; done
  local badvars
  badvars=$(python3 -c 'import json,sys; [print("OZ_BAD_%s=127.0.0.1:%d" % (k.upper(), v)) for k, v in json.load(open(sys.argv[1])).items()]' "$DIR/bad.ports")

  cat > "$DIR/env" <<ENV
OZ_REG_DIR=$DIR
OZ_REG_CA=$DIR/certs/ca.crt
OZ_REG_TLS=127.0.0.1:$tls
OZ_REG_HTTP=127.0.0.1:$http
OZ_REG_BASIC=127.0.0.1:$basic
OZ_REG_USER=puller
OZ_REG_PASSWORD=pull-Secret-1
OZ_REG_TOKEN=127.0.0.1:$token
OZ_REG_OAUTH=127.0.0.1:$oauth
OZ_REG_OAUTH_USER=oauth-user
OZ_REG_OAUTH_PASSWORD=oauth-Secret-2
OZ_REG_ISSUER=127.0.0.1:$tport
OZ_REG_LAYOUTS=$DIR/layouts
OZ_REG_CORRUPT_HEX=$bad
OZ_REG_ECR=$ECR_HOST:$ecr
OZ_REG_ECR_ENDPOINT=https://$ECR_API_HOST:$eport
OZ_REG_ECR_ACCESS_KEY=$ECR_ACCESS_KEY
OZ_REG_ECR_SECRET=$ECR_SECRET
OZ_REG_ECR_LOG=$DIR/ecr-requests.log
$badvars
ENV
}

down() {
  local dir=$1
  if [ -f "$dir/pids" ]; then
    while read -r pid; do
      [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    done < "$dir/pids"
    while read -r pid; do
      [ -n "$pid" ] && { for _ in $(seq 1 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done; }
    done < "$dir/pids"
  fi
  case "$dir" in /tmp/*|"${TMPDIR:-/tmp}"/*) rm -rf "$dir" ;; esac
}

case "${1:-}" in
  up) up "$2" "${3:-}" ;;
  down) down "$2" ;;
  run)
    shift
    large=
    if [ "${1:-}" = --large ]; then large=--large; shift; fi
    dir=$(mktemp -d /tmp/ozreg.XXXXXX)
    trap 'down "$dir"' EXIT INT TERM
    up "$dir" $large
    set -a; . "$dir/env"; set +a
    set +e
    "$@"
    rc=$?
    exit $rc
    ;;
  *) echo "usage: $0 up DIR [--large] | down DIR | run [--large] CMD..." >&2; exit 2 ;;
esac
