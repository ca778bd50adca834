#!/usr/bin/env bash
# The local default: runs the node agent against a local Kubernetes API
# server emulator, with the runtime daemon beside it.
#
#   scripts/demo.sh            start, show the node and its lease renewing,
#                              then shut everything down in order
#   scripts/demo.sh --keep     start and leave it running
#   scripts/demo.sh stop       stop what --keep left running
#
# Environment: BUILD_DIR (build), OZ_DEMO_DIR ($BUILD_DIR/demo),
# OZ_DEMO_NODE (orrery-node), OZ_DEMO_SECONDS (how long the default run
# watches the node, 12).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
BUILD_DIR=${BUILD_DIR:-build}
DEMO_DIR=${OZ_DEMO_DIR:-$BUILD_DIR/demo}
NODE=${OZ_DEMO_NODE:-orrery-node}
SECONDS_TO_WATCH=${OZ_DEMO_SECONDS:-12}
mkdir -p "$DEMO_DIR"
DEMO_DIR=$(cd "$DEMO_DIR" && pwd)
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$top/$BUILD_DIR" ;; esac

FERRY=$BUILD_DIR/container/ferry/ferryService
OZCD=$BUILD_DIR/container/runtime/tools/ozcd
SIM=$top/tests/kubesim/kubesim.py

say() { printf 'demo: %s\n' "$*"; }

pid_of() { [ -f "$DEMO_DIR/$1.pid" ] && cat "$DEMO_DIR/$1.pid" || true; }

alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

stop_one() {
  local name=$1 pid
  pid=$(pid_of "$name")
  if alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do alive "$pid" || break; sleep 0.1; done
    alive "$pid" && kill -KILL "$pid" 2>/dev/null || true
    say "$name stopped"
  fi
  rm -f "$DEMO_DIR/$name.pid"
}

stop_all() {
  stop_one ferryService
  stop_one ozcd
  stop_one kubesim
}

if [ "${1:-}" = stop ]; then
  stop_all
  exit 0
fi
keep=0
[ "${1:-}" = --keep ] && keep=1

for f in "$FERRY" "$SIM"; do
  [ -e "$f" ] || { echo "demo: $f is missing; run scripts/install.sh first" >&2; exit 1; }
done
stop_all

# 1. The API server emulator on loopback, TLS with generated certificates.
rm -f "$DEMO_DIR/ready.json"
python3 "$SIM" --port 0 --admin-port 0 --certs "$DEMO_DIR/certs" --node "$NODE" \
  --ready-file "$DEMO_DIR/ready.json" --scheduler --log "$DEMO_DIR/kubesim-requests.log" \
  >"$DEMO_DIR/kubesim.log" 2>&1 &
echo $! >"$DEMO_DIR/kubesim.pid"
for _ in $(seq 100); do [ -s "$DEMO_DIR/ready.json" ] && break; sleep 0.1; done
[ -s "$DEMO_DIR/ready.json" ] || { cat "$DEMO_DIR/kubesim.log" >&2; stop_all; exit 1; }
url=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["url"])' "$DEMO_DIR/ready.json")
export KUBECONFIG=$DEMO_DIR/certs/kubeconfig
say "API server emulator at $url (KUBECONFIG=$KUBECONFIG)"

# 2. The runtime daemon, unless one already serves this machine.
if [ -x "$OZCD" ]; then
  "$OZCD" >"$DEMO_DIR/ozcd.log" 2>&1 &
  echo $! >"$DEMO_DIR/ozcd.pid"
  sleep 0.3
  if alive "$(pid_of ozcd)"; then say "runtime daemon ozcd running"; else
    say "ozcd did not start: $(tail -n 1 "$DEMO_DIR/ozcd.log")"; rm -f "$DEMO_DIR/ozcd.pid"; fi
fi

# 3. The node agent with the node's client certificate.
"$FERRY" -C "$DEMO_DIR/certs/ca.crt" -c "$DEMO_DIR/certs/client.crt" -k "$DEMO_DIR/certs/client.key" \
  -n "$NODE" -u "$url" -N 5 -v 2 >"$DEMO_DIR/ferryService.log" 2>&1 &
echo $! >"$DEMO_DIR/ferryService.pid"
say "ferryService started for node $NODE (log: $DEMO_DIR/ferryService.log)"

# 4. Show what the cluster sees.
ready=0
for _ in $(seq 100); do
  alive "$(pid_of ferryService)" || break
  if kubectl get node "$NODE" -o jsonpath='{.status.conditions[?(@.type=="Ready")].status}' 2>/dev/null | grep -q True; then
    ready=1; break
  fi
  sleep 0.2
done
if [ $ready != 1 ]; then
  say "the node did not become Ready"; cat "$DEMO_DIR/ferryService.log" >&2; stop_all; exit 1
fi
kubectl get nodes -o wide
kubectl get lease -n kube-node-lease "$NODE" -o custom-columns=NAME:.metadata.name,HOLDER:.spec.holderIdentity,RENEWED:.spec.renewTime

if [ $keep = 1 ]; then
  say "running; stop with: scripts/demo.sh stop"
  exit 0
fi

sleep "$SECONDS_TO_WATCH"
kubectl get lease -n kube-node-lease "$NODE" -o custom-columns=NAME:.metadata.name,HOLDER:.spec.holderIdentity,RENEWED:.spec.renewTime
pid=$(pid_of ferryService)
alive "$pid" || { say "ferryService ended early"; cat "$DEMO_DIR/ferryService.log" >&2; stop_all; exit 1; }
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
rm -f "$DEMO_DIR/ferryService.pid"
say "ferryService shut down with status $status"
stop_all
exit "$status"
