#!/usr/bin/env bash
# The whole road of a pod on loopback, with the real parts: the Kubernetes
# API server emulator over TLS, Debian's docker-registry with basic
# authentication holding a busybox image, the runtime daemon ozcd and the
# node agent ferryService. kubectl creates the pull secret and the pods; the
# script shows a pod going Pending -> Running, its container process inside
# its own namespace and the file it wrote in its root, deletes the pod and
# shows that the container, its bundle and its namespace went with it, then
# runs a pod whose command exits 3 and shows it Failed with exit code 3.
#
#   scripts/demo.sh            run it all, then shut everything down in order
#   scripts/demo.sh --keep     run it all and leave everything running
#   scripts/demo.sh stop       stop what --keep left running
#
# Environment: BUILD_DIR (build), OZ_DEMO_DIR ($BUILD_DIR/demo),
# OZ_DEMO_NODE (orrery-node), OZC_DAEMON_QUEUE (the runtime daemon's queue,
# /ozc-demo, so that a daemon serving the machine is left alone).
# Logs and state of the run are in OZ_DEMO_DIR; the script exits non-zero
# when any step fails and names the step and its log.
set -Eeuo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
BUILD_DIR=${BUILD_DIR:-build}
DEMO_DIR=${OZ_DEMO_DIR:-$BUILD_DIR/demo}
NODE=${OZ_DEMO_NODE:-orrery-node}
export OZC_DAEMON_QUEUE=${OZC_DAEMON_QUEUE:-/ozc-demo}
mkdir -p "$DEMO_DIR"
DEMO_DIR=$(cd "$DEMO_DIR" && pwd)
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$top/$BUILD_DIR" ;; esac

FERRY=$BUILD_DIR/container/ferry/ferryService
OZCD=$BUILD_DIR/container/runtime/tools/ozcd
OZC=$BUILD_DIR/container/runtime/tools/ozc
SIM=$top/tests/kubesim/kubesim.py
MKIMAGE=$top/tests/fixtures/mkimage.sh
REGISTRY_BIN=${OZ_REGISTRY_BIN:-/usr/bin/docker-registry}
REG_DIR=$DEMO_DIR/registry
REG_USER=demo
REG_PASSWORD=demo-Pull-Secret
# The long-running pod gets this greeting in its environment from the pod
# spec and writes it into its root, then sleeps.
GREETING="hello from the orrery road"

export OZC_BASE=$DEMO_DIR/base
export OZC_IMAGE_PATH=$DEMO_DIR/images
export OZC_TLS_CA_CERT_FILE=$REG_DIR/certs/ca.crt
export KUBECONFIG=$DEMO_DIR/certs/kubeconfig

say() { printf 'demo [%3ds]: %s\n' "$SECONDS" "$*"; }

pid_of() { [ -f "$DEMO_DIR/$1.pid" ] && cat "$DEMO_DIR/$1.pid" || true; }

alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

stop_one() {
  local name=$1 pid
  pid=$(pid_of "$name")
  if alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do alive "$pid" || break; sleep 0.1; done
    alive "$pid" && kill -KILL "$pid" 2>/dev/null || true
    say "$name stopped"
  fi
  rm -f "$DEMO_DIR/$name.pid"
}

# In order: the agent first (at stop it deletes its pods and their
# containers), then the runtime daemon, the registry and the API server.
stop_all() {
  stop_one ferryService
  stop_one ozcd
  stop_one registry
  stop_one kubesim
}

# The step under way and its log, for the failure message.
STEP="start"
STEP_LOG=""
step() { STEP=$1; STEP_LOG=${2:-}; say "$STEP"; }

fail() {
  trap - ERR
  echo "demo: FAILED in step \"$STEP\": $*" >&2
  if [ -n "$STEP_LOG" ] && [ -f "$STEP_LOG" ]; then
    echo "demo: its log is $STEP_LOG; the last lines:" >&2
    tail -n 20 "$STEP_LOG" >&2
  fi
  echo "demo: logs of every part are in $DEMO_DIR" >&2
  stop_all
  exit 1
}
trap 'fail "command failed (line $LINENO)"' ERR

# Waits up to $1 seconds for the command in the remaining arguments.
wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}

if [ "${1:-}" = stop ]; then
  stop_all
  exit 0
fi
keep=0
case "${1:-}" in
  --keep) keep=1 ;;
  "") ;;
  *) echo "usage: $0 [--keep | stop]" >&2; exit 2 ;;
esac

for f in "$FERRY" "$OZCD" "$OZC" "$SIM" "$MKIMAGE" "$REGISTRY_BIN"; do
  [ -e "$f" ] || { echo "demo: $f is missing; run scripts/install.sh first" >&2; exit 1; }
done
for tool in kubectl skopeo htpasswd openssl curl python3; do
  command -v "$tool" >/dev/null || { echo "demo: $tool is missing; run scripts/install.sh first" >&2; exit 1; }
done
stop_all
# What an earlier run left: its emulator state, bundles, images and logs.
rm -rf "$OZC_BASE" "$OZC_IMAGE_PATH" "$REG_DIR" "$DEMO_DIR"/*.log "$DEMO_DIR/ready.json" "$DEMO_DIR/manifests"
mkdir -p "$OZC_BASE" "$OZC_IMAGE_PATH" "$REG_DIR/certs" "$DEMO_DIR/manifests"

# 1. The API server emulator on loopback, TLS with generated certificates.
step "starting the API server emulator" "$DEMO_DIR/kubesim.log"
python3 "$SIM" --port 0 --admin-port 0 --certs "$DEMO_DIR/certs" --node "$NODE" \
  --ready-file "$DEMO_DIR/ready.json" --scheduler --log "$DEMO_DIR/kubesim-requests.log" \
  >"$DEMO_DIR/kubesim.log" 2>&1 &
echo $! >"$DEMO_DIR/kubesim.pid"
wait_for 20 test -s "$DEMO_DIR/ready.json" || fail "the emulator wrote no ready file"
url=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["url"])' "$DEMO_DIR/ready.json")
say "API server emulator at $url"

# 2. The registry: basic authentication over TLS with a CA of its own.
step "starting docker-registry with basic authentication" "$REG_DIR/registry.log"
certs=$REG_DIR/certs
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=orrery demo registry CA" \
  -keyout "$certs/ca.key" -out "$certs/ca.crt" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$certs/server.ext"
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "$certs/server.key" \
  -out "$certs/server.csr" 2>/dev/null
openssl x509 -req -in "$certs/server.csr" -CA "$certs/ca.crt" -CAkey "$certs/ca.key" -CAcreateserial \
  -days 2 -extfile "$certs/server.ext" -out "$certs/server.crt" 2>/dev/null
# skopeo takes every *.crt of its certificate directory as a CA, and pairs
# *.cert with *.key as client certificates: the CA alone goes there.
mkdir -p "$REG_DIR/trust" && cp "$certs/ca.crt" "$REG_DIR/trust/"
htpasswd -Bbn "$REG_USER" "$REG_PASSWORD" >"$REG_DIR/htpasswd" 2>/dev/null
reg_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
REGISTRY=127.0.0.1:$reg_port
cat >"$REG_DIR/config.yml" <<EOF
version: 0.1
log: {level: info, accesslog: {disabled: true}}
storage:
  filesystem: {rootdirectory: $REG_DIR/storage}
http:
  addr: $REGISTRY
  secret: orrery-demo-secret
  tls: {certificate: $certs/server.crt, key: $certs/server.key}
auth:
  htpasswd: {realm: orrery-demo, path: $REG_DIR/htpasswd}
EOF
REGISTRY_HTTP_DEBUG_ADDR= "$REGISTRY_BIN" serve "$REG_DIR/config.yml" >"$REG_DIR/registry.log" 2>&1 &
echo $! >"$DEMO_DIR/registry.pid"
registry_up() { [ "$(curl -s -o /dev/null -w '%{http_code}' --cacert "$certs/ca.crt" "https://$REGISTRY/v2/")" = 401 ]; }
wait_for 20 registry_up || fail "the registry does not answer at https://$REGISTRY/v2/"
say "registry at https://$REGISTRY (user $REG_USER)"

# 3. The images, built from Debian's busybox-static and pushed with skopeo.
#    "box" is plain busybox (its own command is a shell); "three" exits with
#    status 3.
step "building the busybox images and pushing them with skopeo" "$DEMO_DIR/images.log"
push() { # NAME CMD-JSON [mkimage options]
  local name=$1 cmd=$2; shift 2
  "$MKIMAGE" --tag v1 --cmd "$cmd" "$@" "$DEMO_DIR/layouts/$name" >>"$DEMO_DIR/images.log" 2>&1
  skopeo copy -q --dest-cert-dir "$REG_DIR/trust" --dest-creds "$REG_USER:$REG_PASSWORD" \
    "oci:$DEMO_DIR/layouts/$name:v1" "docker://$REGISTRY/demo/$name:v1" >>"$DEMO_DIR/images.log" 2>&1
  say "pushed $REGISTRY/demo/$name:v1"
}
mkdir -p "$DEMO_DIR/layouts"
push box '["sh"]' --env PATH=/bin
push three '["sh","-c","exit 3"]'

# 4. The runtime daemon on its own queue.
step "starting the runtime daemon ozcd (queue $OZC_DAEMON_QUEUE)" "$DEMO_DIR/ozcd.log"
"$OZCD" >"$DEMO_DIR/ozcd.log" 2>&1 &
echo $! >"$DEMO_DIR/ozcd.pid"
wait_for 10 "$OZC" list || fail "ozcd does not answer"
alive "$(pid_of ozcd)" || fail "ozcd ended (another daemon serves $OZC_DAEMON_QUEUE?)"

# 5. The node agent with the node's client certificate.
step "starting ferryService for node $NODE" "$DEMO_DIR/ferryService.log"
"$FERRY" -C "$DEMO_DIR/certs/ca.crt" -c "$DEMO_DIR/certs/client.crt" -k "$DEMO_DIR/certs/client.key" \
  -n "$NODE" -u "$url" -i 127.0.0.1 -N 10 -v 2 >"$DEMO_DIR/ferryService.log" 2>&1 &
echo $! >"$DEMO_DIR/ferryService.pid"
node_ready() {
  alive "$(pid_of ferryService)" || fail "ferryService ended"
  kubectl get node "$NODE" -o jsonpath='{.status.conditions[?(@.type=="Ready")].status}' | grep -q True
}
wait_for 30 node_ready || fail "the node did not become Ready"
kubectl get nodes -o wide

# 6. The pull secret, made the way users make it.
step "creating the pull secret with kubectl create secret docker-registry" "$DEMO_DIR/kubesim.log"
kubectl create secret docker-registry demo-pull --docker-server="$REGISTRY" \
  --docker-username="$REG_USER" --docker-password="$REG_PASSWORD" --docker-email=demo@example.org

# A pod on the node with the pull secret and restart policy $POLICY (default
# Never). Its container runs the image's own command unless more members of
# the container (YAML, indented by four spaces) follow the image, such as a
# command and environment of the pod spec.
manifest() { # NAME IMAGE [MORE]
  cat >"$DEMO_DIR/manifests/$1.yaml" <<EOF
apiVersion: v1
kind: Pod
metadata:
  name: $1
spec:
  nodeName: $NODE
  restartPolicy: ${POLICY:-Never}
  imagePullSecrets:
  - name: demo-pull
  containers:
  - name: main
    image: $REGISTRY/demo/$2:v1
${3:-}
EOF
  echo "$DEMO_DIR/manifests/$1.yaml"
}

# Prints `kubectl get pod -o wide` each time the pod's row changes, until
# the pod's phase is $2 (or $3 seconds passed).
watch_pod() { # NAME PHASE LIMIT
  local name=$1 want=$2 limit=$3 last="" row key phase end=$((SECONDS + $3))
  kubectl get pod "$name" -o wide | sed -n 1p
  while :; do
    alive "$(pid_of ferryService)" || fail "ferryService ended"
    row=$(kubectl get pod "$name" -o wide --no-headers 2>&1)
    key=$(echo "$row" | awk '{print $2, $3, $6}') # READY STATUS IP
    if [ "$key" != "$last" ]; then echo "$row"; last=$key; fi
    phase=$(kubectl get pod "$name" -o jsonpath='{.status.phase}')
    [ "$phase" = "$want" ] && return 0
    [ $SECONDS -lt $end ] || fail "pod $name is not $want after $limit s (phase \"$phase\")"
    sleep 0.5
  done
}

# 7. The long-running pod.
# Its command and an environment value come from the pod spec; the
# restart policy Always keeps it running.
step "applying pod hello (image $REGISTRY/demo/box:v1, pull secret demo-pull, command sleep from the pod spec)" "$DEMO_DIR/ferryService.log"
kubectl apply -f "$(POLICY=Always manifest hello box '    command: [sh, -c, "echo \"$GREETING\" > /tmp/greeting; exec sleep 3600"]
    env: [{name: GREETING, value: "'"$GREETING"'"}]')"
watch_pod hello Running 90

step "looking at the container of pod hello" "$DEMO_DIR/ozcd.log"
cid=$(kubectl get pod hello -o jsonpath='{.status.containerStatuses[0].containerID}')
cid=${cid#ozc://}
[ -n "$cid" ] || fail "pod hello reports no container id"
"$OZC" list
state=$("$OZC" state "$cid")
echo "$state"
cpid=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["pid"])' "$state")
bundle=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["bundle"])' "$state")
ps -o pid,ppid,etime,args -p "$cpid"
host_mnt=$(readlink /proc/self/ns/mnt)
ctr_mnt=$(readlink "/proc/$cpid/ns/mnt")
say "mount namespace: host $host_mnt, container $ctr_mnt"
[ "$host_mnt" != "$ctr_mnt" ] || fail "the container process runs in the host's mount namespace"
wait_for 10 test -s "/proc/$cpid/root/tmp/greeting" || fail "the container wrote no /tmp/greeting"
written=$(cat "/proc/$cpid/root/tmp/greeting")
say "the container wrote /tmp/greeting in its root: \"$written\""
[ "$written" = "$GREETING" ] || fail "/tmp/greeting holds \"$written\", not \"$GREETING\""
[ -d "$bundle" ] || fail "the bundle $bundle is missing"
say "its root (the bundle's rootfs) holds: $(ls "/proc/$cpid/root/" | tr '\n' ' ')"

# 8. Delete it: the pod goes, and so do the container, its bundle and its
#    namespace (no process is left in it).
step "deleting pod hello" "$DEMO_DIR/ferryService.log"
kubectl delete pod hello --timeout=60s
gone_pod() { ! kubectl get pod hello >/dev/null 2>&1; }
wait_for 30 gone_pod || fail "pod hello is still there"
kubectl get pods -o wide
ns_gone() { for p in /proc/[0-9]*; do [ "$(readlink "$p/ns/mnt" 2>/dev/null)" = "$ctr_mnt" ] && return 1; done; return 0; }
ctr_gone() { ! "$OZC" state "$cid"; }
wait_for 30 ctr_gone || fail "container $cid is still known to ozcd"
wait_for 10 test ! -e "$bundle" || fail "bundle $bundle is still there"
wait_for 10 ns_gone || fail "a process still lives in the container's namespace $ctr_mnt"
alive "$cpid" && fail "the container process $cpid still runs"
say "container $cid, its process $cpid, its bundle and its namespace $ctr_mnt are gone"
"$OZC" list

# 9. A pod whose command exits 3.
step "applying pod three (its command exits 3)" "$DEMO_DIR/ferryService.log"
kubectl apply -f "$(manifest three three)"
watch_pod three Failed 90
code=$(kubectl get pod three -o jsonpath='{.status.containerStatuses[0].state.terminated.exitCode}')
reason=$(kubectl get pod three -o jsonpath='{.status.containerStatuses[0].state.terminated.reason}')
say "pod three: phase Failed, exit code $code, reason $reason"
[ "$code" = 3 ] || fail "pod three reports exit code \"$code\", not 3"

if [ $keep = 1 ]; then
  trap - ERR
  say "everything keeps running. Try:"
  echo "    export KUBECONFIG=$KUBECONFIG"
  echo "    kubectl get nodes,pods -o wide"
  echo "    kubectl apply -f $DEMO_DIR/manifests/hello.yaml"
  echo "    OZC_DAEMON_QUEUE=$OZC_DAEMON_QUEUE $OZC list"
  say "logs are in $DEMO_DIR; stop everything with: scripts/demo.sh stop"
  exit 0
fi

# 10. The orderly shutdown: the agent deletes what it still runs (pod three).
step "stopping ferryService" "$DEMO_DIR/ferryService.log"
pid=$(pid_of ferryService)
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
rm -f "$DEMO_DIR/ferryService.pid"
[ $status = 0 ] || fail "ferryService ended with status $status"
say "ferryService shut down with status 0; pods left: $(kubectl get pods --no-headers 2>&1)"
left=$("$OZC" list --quiet)
[ -z "$left" ] || fail "containers left after the agent stopped: $left"
trap - ERR
stop_all
say "done: the whole road ran"
